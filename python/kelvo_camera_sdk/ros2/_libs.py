"""The ROS 2 bag libraries of the package's ``ros2`` extra, loaded when first
needed, with the way to get them when they are missing."""

from __future__ import annotations

import importlib

INSTALL_HINT = ("kelvo ros2 needs the package's ros2 extra (rosbags, mcap, mcap-ros2-support): "
                "pip install 'kelvo_camera_sdk[ros2]'")


class MissingLibraries(RuntimeError):
    """A library of the ``ros2`` extra is not installed."""


def need(module: str):
    try:
        return importlib.import_module(module)
    except ImportError as e:
        raise MissingLibraries(f"{INSTALL_HINT} ({e})") from None
