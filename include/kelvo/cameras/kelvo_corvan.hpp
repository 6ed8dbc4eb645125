// Catalogue entry of the Corvan camera family.
#pragma once

#include "kelvo/cameras/camera_spec.hpp"
#include "kelvo/export.hpp"

namespace kelvo {

/// The Corvan family: 48 product codes, 108 capture modes, 13 V4L2 and 12
/// Windows controls. Built once when the library loads.
KELVO_API extern const CameraSpec KELVO_CORVAN;

/// The Windows control table derived from a V4L2 table: no power-line
/// frequency, exposure as log2 seconds; other records unchanged.
KELVO_API CameraControlList _build_windows_controls(const CameraControlList& controls);

}  // namespace kelvo
