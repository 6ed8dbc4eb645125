"""Frame selection of batch runs: the package's one home for it is
kelvo_camera_sdk.frame_ranges (shared with the ROS 2 export)."""

from ..frame_ranges import Position, select_positions

__all__ = ["Position", "select_positions"]
