"""The frame-source base class."""

from .._native import FrameSource

__all__ = ["FrameSource"]
