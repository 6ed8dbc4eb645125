"""Frame and camera-description records."""

from .._native import CameraInfo, RawFrame

__all__ = ["CameraInfo", "RawFrame"]
