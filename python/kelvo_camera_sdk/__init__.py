"""kelvo_camera_sdk: Corvan and Fenwa stereo depth cameras from Python.

Live capture, frame-exact replay of recordings, the camera catalogue and
disparity/depth maps from block matching or neural networks on OpenVINO.
Images and maps arrive as NumPy arrays that share memory with the kit; every
call that can block releases the interpreter lock. The kit's log channels
("kelvo_camera_sdk.mkv_replay", ...) reach Python's ``logging``.
"""

from ._native import (
    KELVO_CORVAN,
    KELVO_FENWA,
    Calibration,
    CameraControl,
    CameraInfo,
    CameraSerialMismatch,
    CameraSpec,
    CaptureMode,
    FramePacket,
    KelvoCameraInfo,
    LiveCapture,
    MkvReplay,
    OpenVINORunner,
    Pipeline,
    RawFrame,
    RecordingManager,
    __version__,
    create_inference,
    get_connected_kelvo_camera_by_serial,
    list_connected_kelvo_cameras,
    registered_inferences,
    spec_by_sku,
)

__all__ = [
    "KELVO_CORVAN",
    "KELVO_FENWA",
    "Calibration",
    "CameraControl",
    "CameraInfo",
    "CameraSerialMismatch",
    "CameraSpec",
    "CaptureMode",
    "FramePacket",
    "KelvoCameraInfo",
    "LiveCapture",
    "MkvReplay",
    "OpenVINORunner",
    "Pipeline",
    "RawFrame",
    "RecordingManager",
    "__version__",
    "create_inference",
    "get_connected_kelvo_camera_by_serial",
    "list_connected_kelvo_cameras",
    "registered_inferences",
    "spec_by_sku",
]
