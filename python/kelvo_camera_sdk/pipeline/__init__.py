"""The frame pipeline and its packets."""

from .._native import FramePacket, Pipeline
from .recording_manager import RecordingManager

__all__ = ["FramePacket", "Pipeline", "RecordingManager"]
