"""The Python package against the C++ kit on the same recording, same run:
  - an "every_frame" replay loop in Python (frames/s) vs the C++ grab loop
    (target >= 0.9x);
  - a disparity map into NumPy: no copy (the array shares the packet's
    memory), and its cost against copying the same map.

    python bench/python_replay_bench.py [REC.mkv]   (default: a kelvo demo recording)
"""

import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import kelvo_camera_sdk as k
from kelvo_camera_sdk import _native


def python_loop(path):
    start = time.perf_counter()
    frames = 0
    with k.MkvReplay(path, replay_mode="every_frame") as src:
        for frame in src:
            frames += 1 if len(frame.payload) else 0
    return frames, time.perf_counter() - start


def best_fps(run, path, repeats=5):
    best = 0.0
    for _ in range(repeats):
        frames, seconds = run(path)
        best = max(best, frames / seconds)
    return frames, best


def main():
    if len(sys.argv) > 1:
        path = sys.argv[1]
    else:
        out = Path(tempfile.mkdtemp())
        kelvo = shutil.which("kelvo", path=str(Path(sys.executable).parent)) or "kelvo"
        subprocess.run([kelvo, "demo", "--out", str(out), "--frames", "150", "--quiet"],
                       check=True, stdout=subprocess.DEVNULL)
        path = str(out / "demo.mkv")

    frames, cpp = best_fps(_native._bench_grab_loop, path)
    _, py = best_fps(python_loop, path)
    print(f"every_frame loop, {frames} frames: C++ {cpp:.0f} fps, Python {py:.0f} fps, "
          f"ratio {py / cpp:.3f} (target >= 0.9)")

    src = k.MkvReplay(path, replay_mode="every_frame")
    with k.Pipeline(src, stop_at_end=True, block_when_full=True) as pipeline:
        packet = pipeline.get_packet(timeout=30)
    first, second = packet.disparity, packet.disparity
    shared = np.shares_memory(first, second) and not first.flags.owndata
    n = 2000
    start = time.perf_counter()
    for _ in range(n):
        packet.disparity
    view_s = (time.perf_counter() - start) / n
    start = time.perf_counter()
    for _ in range(n):
        first.copy()
    copy_s = (time.perf_counter() - start) / n
    print(f"disparity {first.shape} into NumPy: shares memory {shared}, "
          f"{view_s * 1e6:.1f} us vs {copy_s * 1e6:.1f} us for a copy "
          f"(ratio {view_s / copy_s:.3f})")
    ok = py / cpp >= 0.9 and shared
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
