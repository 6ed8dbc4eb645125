"""The per-pipeline recording controller."""

from .._native import RecordingManager

__all__ = ["RecordingManager"]
