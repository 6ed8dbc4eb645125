"""Stereo calibration and canvas fitting."""

from ._native import Calibration, CanvasLayout, fit_layout

__all__ = ["Calibration", "CanvasLayout", "fit_layout"]
