"""Frame sources: recordings (MkvReplay) and attached cameras (LiveCapture)."""

from .base import FrameSource
from .live_capture import LiveCapture
from .mkv_replay import MkvReplay
from .types import CameraInfo, RawFrame

__all__ = ["CameraInfo", "FrameSource", "LiveCapture", "MkvReplay", "RawFrame"]
