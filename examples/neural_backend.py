"""Run a neural back-end over a recording (its model file must be in the
cache folder; `kelvo models` lists the paths).

    python examples/neural_backend.py REC.mkv [KEY] [VARIANT]
"""

import logging
import sys

import kelvo_camera_sdk as k

logging.basicConfig(level=logging.INFO)  # the kit's channels log through `logging`
key = sys.argv[2] if len(sys.argv) > 2 else "lightstereo"
variant = sys.argv[3] if len(sys.argv) > 3 else ""
for cls in k.registered_inferences():
    print(cls.key, [v.slug for v in cls.variants()])
source = k.MkvReplay(sys.argv[1], replay_mode="every_frame")
with k.Pipeline(source, backend=key, variant=variant, stop_at_end=True,
                block_when_full=True) as pipeline:
    for packet in pipeline:
        result = packet.disparity if packet.disparity is not None else packet.depth
        print(packet.source_frame_idx, result.shape, f"{packet.timings['inference_ms']:.1f} ms")
