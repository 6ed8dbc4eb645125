"""`kelvo batch`: depth maps for many recordings on Ray, for users who do not
write Python. Without --address it starts a local Ray instance; with it, it
runs on that cluster (whose workers must see the same paths). A recording
that cannot be read does not stop the others: the failures are listed at the
end and the exit status is 1."""

from __future__ import annotations

import argparse
import glob
import json
import os
import sys
from typing import List, Optional

from .._cli_common import EXIT_FAILED, EXIT_INTERRUPTED, EXIT_USAGE, _controls, _Progress, _Usage


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="kelvo batch",
        description="Depth maps for many recordings on Ray: frame-exact, every frame once, "
                    "on this machine or on a Ray cluster. Writes per recording OUT/<name>/"
                    "disparity_NNNNNN.tiff (or depth_NNNNNN.tiff) with a .png preview, as "
                    "`kelvo depth` does, plus OUT/frames.parquet (one row per frame: pts, "
                    "calibration, file, timings, worker, error) and OUT/run.json.")
    p.add_argument("patterns", nargs="+", metavar="PATTERN",
                   help="recordings (.mkv) or glob patterns (quote them; ** recurses)")
    p.add_argument("--backend", required=True, metavar="KEY", help="registry key (stereo-bm, ...)")
    p.add_argument("--variant", default=None, metavar="SLUG",
                   help="variant slug; default: the back-end's first")
    p.add_argument("--set", dest="controls", action="append", default=[], metavar="NAME=VALUE",
                   help="a runtime control of the back-end (repeatable)")
    p.add_argument("--out", required=True, metavar="DIR",
                   help="folder for the maps, frames.parquet and run.json; must be new or empty "
                        "unless --force")
    p.add_argument("--address", default=None, metavar="RAY_ADDRESS",
                   help="an existing Ray cluster (ray://host:10001, or auto); default: a local "
                        "Ray instance on this machine")
    p.add_argument("--workers", type=int, default=None, metavar="N",
                   help="depth workers, one CPU and one OpenCV thread each; default: every "
                        "CPU of the instance")
    p.add_argument("--start", default=None, metavar="POS",
                   help="first frame of each recording: a frame index (120) or a time (2.5s)")
    p.add_argument("--end", default=None, metavar="POS",
                   help="end of each recording's range (excluded): a frame index or a time")
    p.add_argument("--every", type=int, default=1, metavar="N", help="every N-th frame")
    p.add_argument("--batch-size", type=int, default=None, metavar="N",
                   help="frames per depth call (default 32)")
    p.add_argument("--depth-png", action="store_true",
                   help="also depth_mm_NNNNNN.png (16-bit millimetres, 0 = no estimate)")
    p.add_argument("--ply", action="store_true",
                   help="also cloud_NNNNNN.ply (binary, coloured, metres)")
    p.add_argument("--confidence", action="store_true",
                   help="also confidence_NNNNNN.png (8-bit, the map's size: 0 = no estimate "
                        "up to 255)")
    p.add_argument("--force", action="store_true", help="write into a folder that is not empty")
    p.add_argument("--json", action="store_true",
                   help="print the summary as JSON: frames, expected, seconds, fps, backend, "
                        "variant, out, table, failed")
    return p


def _expand(patterns: List[str]):
    """The recordings the patterns name, in order, each once; and the patterns
    that name none."""
    paths, unmatched, seen = [], [], set()
    for pattern in patterns:
        found = sorted(glob.glob(pattern, recursive=True)) if glob.has_magic(pattern) else (
            [pattern] if os.path.exists(pattern) else [])
        found = [f for f in found if not os.path.isdir(f)]
        if not found:
            unmatched.append(pattern)
        for f in found:
            key = os.path.realpath(f)
            if key not in seen:
                seen.add(key)
                paths.append(f)
    return paths, unmatched


def main(argv: Optional[List[str]] = None) -> int:
    args = _parser().parse_args(argv)
    try:
        if args.workers is not None and args.workers < 1:
            raise _Usage(f"--workers must be at least 1; got {args.workers}")
        if args.every < 1:
            raise _Usage(f"--every must be at least 1; got {args.every}")
        controls = _controls(args.controls)
        paths, unmatched = _expand(args.patterns)
        if not paths:
            raise _Usage("no recording matches " + ", ".join(repr(p) for p in args.patterns))
        if os.path.exists(args.out) and not os.path.isdir(args.out):
            raise _Usage(f"--out {args.out} exists and is not a folder")
        if os.path.isdir(args.out) and os.listdir(args.out) and not args.force:
            raise _Usage(f"--out {args.out} is not empty; add --force to write into it")
        from .ranges import Position
        Position.parse(args.start, "--start")
        Position.parse(args.end, "--end")
    except (_Usage, ValueError) as e:
        print(f"kelvo batch: {e}\n(see `kelvo batch --help`)", file=sys.stderr)
        return EXIT_USAGE

    from .run import DEFAULT_BATCH_SIZE, run_batch

    os.makedirs(args.out, exist_ok=True)
    progress = _Progress(sys.stderr)
    try:
        result = run_batch(paths, args.backend, args.out, variant=args.variant, controls=controls,
                           start=args.start, end=args.end, every=args.every,
                           workers=args.workers, address=args.address,
                           batch_size=args.batch_size or DEFAULT_BATCH_SIZE,
                           depth_png=args.depth_png, point_clouds=args.ply,
                           confidence=args.confidence, progress=progress)
    except KeyboardInterrupt:
        progress.close()
        print("kelvo batch: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except ValueError as e:  # a bad back-end, variant, control or range
        progress.close()
        print(f"kelvo batch: {e}", file=sys.stderr)
        return EXIT_FAILED
    progress.close()

    failed = dict(result.failed)
    for pattern in unmatched:
        failed[pattern] = ["no recording matches this pattern"]
    if args.json:
        print(json.dumps({"frames": result.frames, "expected": result.expected,
                          "seconds": result.seconds, "fps": result.fps,
                          "backend": result.backend, "variant": result.variant,
                          "out": result.out, "table": result.table, "failed": failed}))
    else:
        skipped = sum(r["skipped"] for r in result.recordings.values())
        print(f"{result.frames} frames of {len(result.recordings)} recordings in "
              f"{result.seconds:.2f} s ({result.fps:.1f} fps) with {result.backend} -> "
              f"{result.out}" + (f" ({skipped} frames skipped)" if skipped else ""))
    sys.stdout.flush()
    if failed:
        print(f"kelvo batch: {len(failed)} recording(s) failed:", file=sys.stderr)
        for name, errors in failed.items():
            path = result.recordings.get(name, {}).get("path", name)
            for error in errors:
                print(f"  {path}: {error}", file=sys.stderr)
        return EXIT_FAILED
    return 0


if __name__ == "__main__":
    sys.exit(main())
