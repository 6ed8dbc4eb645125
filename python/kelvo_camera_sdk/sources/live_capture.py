"""The frame source of an attached camera."""

from .._native import LiveCapture

__all__ = ["LiveCapture"]
