// Catalogue entry of the Fenwa camera family.
#pragma once

#include <array>

#include "kelvo/cameras/camera_spec.hpp"
#include "kelvo/export.hpp"

namespace kelvo {

/// The Fenwa family: 10 product codes; its modes and both control tables are
/// the very sequences of the Corvan entry (same firmware).
KELVO_API extern const CameraSpec KELVO_FENWA;

namespace detail {
inline constexpr std::array<const char*, 5> FENWA_LENSES = {"REGULAR", "NARROW", "WIDE",
                                                            "ULTRA-WIDE", "FISHEYE"};
}  // namespace detail

}  // namespace kelvo
