"""The platform camera layer."""

from .._native import CameraControls

__all__ = ["CameraControls"]
