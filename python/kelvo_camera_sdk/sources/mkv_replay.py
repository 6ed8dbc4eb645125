"""A recording replayed as a frame source."""

from .._native import MkvReplay

__all__ = ["MkvReplay"]
