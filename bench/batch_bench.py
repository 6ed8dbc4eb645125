"""Benchmark of batch depth on Ray against the `kelvo` command.

On the same recordings (made here by `kelvo demo`) with stereo-bm:
  - baseline: one `kelvo depth` process per recording, one after the other,
    each using both cores (OpenCV's default);
  - batch: `run_batch` with 2 depth workers (one OpenCV thread each) on a
    local Ray instance with 2 CPUs, started before the clock (its start-up
    is reported apart);
  - the same depth step in this process with one OpenCV thread and no Ray:
    the per-frame cost of the work itself, from which Ray's scheduling
    overhead per frame follows: (batch wall time x workers - local time) /
    frames, in CPU milliseconds; and the driver's own CPU per frame.

Prints the ratio batch fps / kelvo depth fps (target >= 0.9).

    PYTHONPATH=build/python PATH=build/bin:$PATH .venv-batch/bin/python \\
        bench/batch_bench.py [--recordings 4] [--frames 150]
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path


def make_archive(kelvo, root: Path, recordings: int, frames: int):
    paths = []
    for i in range(recordings):
        folder = root / f"gen{i}"
        subprocess.run([kelvo, "demo", "--out", str(folder), "--frames", str(frames), "--quiet"],
                       check=True, stdout=subprocess.DEVNULL)
        path = root / f"rec{i}.mkv"
        shutil.move(folder / "demo.mkv", path)
        shutil.rmtree(folder)
        paths.append(str(path))
    return paths


def kelvo_depth(kelvo, paths, root: Path) -> float:
    t0 = time.monotonic()
    for i, p in enumerate(paths):
        subprocess.run([kelvo, "depth", p, "--backend", "stereo-bm", "--out",
                        str(root / f"depth{i}"), "--quiet"], check=True,
                       stdout=subprocess.DEVNULL)
    return time.monotonic() - t0


def local_step(paths, out: Path) -> float:
    """The depth step and writers alone: no Ray, one OpenCV thread."""
    import numpy as np

    from kelvo_camera_sdk.batch import DepthStep, plan_recordings, split_ranges
    from kelvo_camera_sdk.batch.source import read_range

    plans = plan_recordings(paths)
    step = DepthStep("stereo-bm", out=str(out), opencv_threads=1)
    blocks = [t for r in split_ranges(plans, 1) for t in read_range(r)]
    t0 = time.monotonic()
    for t in blocks:
        step({c: np.array(t.column(c).to_pylist(), dtype=object) for c in t.column_names})
    return time.monotonic() - t0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--recordings", type=int, default=4)
    ap.add_argument("--frames", type=int, default=150)
    ap.add_argument("--workers", type=int, default=2)
    args = ap.parse_args()
    kelvo = shutil.which("kelvo")
    if not kelvo:
        sys.exit("batch_bench: the kelvo command is not on PATH")
    os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
    import ray

    from kelvo_camera_sdk.batch import run_batch

    with tempfile.TemporaryDirectory(prefix="kelvo_batch_bench_") as tmp:
        root = Path(tmp)
        paths = make_archive(kelvo, root, args.recordings, args.frames)
        frames = args.recordings * args.frames

        t_depth = kelvo_depth(kelvo, paths, root)

        t0 = time.monotonic()
        ray.init(num_cpus=args.workers, include_dashboard=False, log_to_driver=False)
        t_ray_start = time.monotonic() - t0
        cpu0 = time.process_time()
        result = run_batch(paths, "stereo-bm", str(root / "batch"), workers=args.workers)
        driver_cpu = time.process_time() - cpu0
        ray.shutdown()
        assert result.frames == frames, (result.frames, frames)
        t_batch = result.seconds

        t_local = local_step(paths, root / "local")

    fps_depth = frames / t_depth
    fps_batch = frames / t_batch
    work_ms = 1000 * t_local / frames
    overhead_ms = 1000 * (t_batch * args.workers - t_local) / frames
    print(f"frames                          {frames} ({args.recordings} recordings x "
          f"{args.frames}, 1280x360 MJPEG, stereo-bm 256x512)")
    print(f"kelvo depth (1 process, 2 cores) {fps_depth:8.1f} fps  ({t_depth:.2f} s)")
    print(f"kelvo batch ({args.workers} workers x 1 thread) {fps_batch:8.1f} fps  "
          f"({t_batch:.2f} s; Ray start-up {t_ray_start:.1f} s apart)")
    print(f"ratio batch / depth             {fps_batch / fps_depth:8.2f}  (target >= 0.90)")
    print(f"work per frame, 1 thread        {work_ms:8.1f} ms  (depth step + writers, no Ray)")
    print(f"Ray overhead per frame          {overhead_ms:8.1f} CPU ms  "
          f"(({args.workers} x batch wall - work) / frames)")
    print(f"driver CPU per frame            {1000 * driver_cpu / frames:8.2f} ms")


if __name__ == "__main__":
    main()
