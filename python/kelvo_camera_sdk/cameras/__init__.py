"""Connected cameras and the camera catalogue."""

from .._native import (
    KelvoCameraInfo,
    get_connected_kelvo_camera_by_serial,
    list_connected_kelvo_cameras,
)

__all__ = ["KelvoCameraInfo", "get_connected_kelvo_camera_by_serial", "list_connected_kelvo_cameras"]
