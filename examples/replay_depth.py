"""Replay a recording frame by frame and show the depth of its centre.

    python examples/replay_depth.py REC.mkv
"""

import sys

import numpy as np

import kelvo_camera_sdk as k

source = k.MkvReplay(sys.argv[1], replay_mode="every_frame")
with k.Pipeline(source, backend="stereo-bm", stop_at_end=True, block_when_full=True) as pipeline:
    for packet in pipeline:
        depth = packet.depth  # metres, NaN where unknown; shares the kit's memory
        h, w = depth.shape
        centre = np.nanmedian(depth[h // 3 : 2 * h // 3, w // 3 : 2 * w // 3])
        print(f"frame {packet.source_frame_idx}: centre at {centre:.2f} m")
