// The batch-processing part of the extension module (bind_batch.cpp).
#pragma once

#include "native.hpp"

namespace kelvo::py {

/// _BatchDepth, _BatchResult and _frame_stem, used by kelvo_camera_sdk.batch.
void bind_batch(nb::module_& m);
/// _split_eyes, _join_eyes, _rectification, _RecordingWriter: used by kelvo_camera_sdk.ros2.
void bind_ros2(nb::module_& m);

}  // namespace kelvo::py
