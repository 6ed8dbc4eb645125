"""ROS 2 bags both ways, without a ROS installation.

    from kelvo_camera_sdk import ros2

    ros2.export("run.mkv", "run_bag", backend="stereo-bm", points=True)
    ros2.import_bag("run_bag", "again.mkv", left="/kelvo/left/image_raw/compressed",
                    right="/kelvo/right/image_raw/compressed")

`export` writes a rosbag2 folder (metadata.yaml and one MCAP file, CDR
messages, the standard message definitions as the channels' schemas) that
`ros2 bag` and Foxglove open as it is; `import_bag` turns a bag's stereo
images and camera models into a kit recording. They need the package's
``ros2`` extra (rosbags, mcap, mcap-ros2-support).
"""

from ._libs import INSTALL_HINT, MissingLibraries
from .export import ExportResult, export
from .importer import ImportResult, import_bag

__all__ = ["INSTALL_HINT", "ExportResult", "ImportResult", "MissingLibraries", "export",
           "import_bag"]
