"""Immutable catalogue records and the lookup by product code."""

from .._native import (
    CameraControl,
    CameraSpec,
    CaptureMode,
    catalogue,
    check_camera_control_value,
    spec_by_sku,
)

__all__ = [
    "CameraControl",
    "CameraSpec",
    "CaptureMode",
    "catalogue",
    "check_camera_control_value",
    "spec_by_sku",
]
