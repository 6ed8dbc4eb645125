"""The Python package against the C++ kit on the same recording, same run:
  - an "every_frame" replay loop in Python (frames/s) vs the C++ grab loop
    (target >= 0.9x): only the loops are timed (construction and open are
    not), in interleaved rounds (C++, Python, C++, ...) on the same file, and
    the median of the rounds' ratios is reported;
  - a disparity map into NumPy: no copy (the array shares the packet's
    memory), and its cost against copying the same map.

    python bench/python_replay_bench.py [REC.mkv]   (default: a kelvo demo recording)
"""

import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import kelvo_camera_sdk as k
from kelvo_camera_sdk import _native


def python_loop(path):
    with k.MkvReplay(path, replay_mode="every_frame") as src:
        start = time.perf_counter()
        frames = 0
        for frame in src:
            frames += 1 if len(frame.payload) else 0
        took = time.perf_counter() - start
    return frames, took


def fastest(loop, path, repeats=3):
    """(frames, seconds) of the fastest of `repeats` loops: a loop lasts tens of
    milliseconds, so a single one mostly measures the other processes."""
    return min((loop(path) for _ in range(repeats)), key=lambda r: r[1])


def interleaved_ratios(path, rounds=9):
    """Python fps / C++ fps of each round; a round runs C++ then Python."""
    ratios, cpp_fps, py_fps = [], [], []
    for _ in range(rounds):
        cpp_frames, cpp_s = fastest(_native._bench_grab_loop, path)
        py_frames, py_s = fastest(python_loop, path)
        assert cpp_frames == py_frames, (cpp_frames, py_frames)
        cpp_fps.append(cpp_frames / cpp_s)
        py_fps.append(py_frames / py_s)
        ratios.append(py_fps[-1] / cpp_fps[-1])
    return cpp_frames, statistics.median(cpp_fps), statistics.median(py_fps), ratios


def main():
    if len(sys.argv) > 1:
        path = sys.argv[1]
    else:
        out = Path(tempfile.mkdtemp())
        kelvo = shutil.which("kelvo", path=str(Path(sys.executable).parent)) or "kelvo"
        subprocess.run([kelvo, "demo", "--out", str(out), "--frames", "150", "--quiet"],
                       check=True, stdout=subprocess.DEVNULL)
        path = str(out / "demo.mkv")

    python_loop(path)  # warm the file cache and the first-use paths of both
    frames, cpp, py, ratios = interleaved_ratios(path)
    ratio = statistics.median(ratios)
    print(f"every_frame loop, {frames} frames, {len(ratios)} interleaved rounds: "
          f"C++ {cpp:.0f} fps, Python {py:.0f} fps (medians); median ratio {ratio:.3f} "
          f"(rounds {min(ratios):.3f}..{max(ratios):.3f}; target >= 0.9)")

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
    ok = ratio >= 0.9 and shared
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
