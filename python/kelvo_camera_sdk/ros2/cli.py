"""`kelvo ros2 export` and `kelvo ros2 import`: recordings to ROS 2 bags and
back, for users who do not write Python. Exit status 0 done, 1 failed,
2 usage error, 130 interrupted, as every kelvo command."""

from __future__ import annotations

import argparse
import json
import sys
from typing import List, Optional

from .._cli_common import EXIT_FAILED, EXIT_INTERRUPTED, EXIT_USAGE, _controls, _Progress, _Usage


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="kelvo ros2",
                                description="ROS 2 bags (rosbag2: MCAP, CDR) from recordings and "
                                            "recordings from bags; no ROS installation needed.")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")
    e = sub.add_parser(
        "export", prog="kelvo ros2 export",
        help="a recording as a rosbag2 folder",
        description="Writes OUT_BAG (metadata.yaml and one .mcap file): both eyes as "
                    "/kelvo/{left,right}/image_raw/compressed (JPEG, cut without re-encoding "
                    "where the block grid allows), their CameraInfo for every frame, /tf_static, "
                    "/kelvo/camera_state, and with --backend /kelvo/depth/image_rect (32FC1 "
                    "metres), its camera_info and confidence; --points adds /kelvo/points.")
    e.add_argument("recording", metavar="REC", help="the recording (.mkv)")
    e.add_argument("out", metavar="OUT_BAG", help="the bag folder to write")
    e.add_argument("--backend", default=None, metavar="KEY",
                   help="also depth from this back-end (stereo-bm, ...; metric ones only)")
    e.add_argument("--variant", default=None, metavar="SLUG",
                   help="variant slug; default: the back-end's first")
    e.add_argument("--set", dest="controls", action="append", default=[], metavar="NAME=VALUE",
                   help="a runtime control of the back-end (repeatable)")
    e.add_argument("--points", action="store_true",
                   help="also /kelvo/points (PointCloud2 x y z rgb, metres); needs --backend")
    e.add_argument("--start", default=None, metavar="POS",
                   help="first frame: a frame index (120) or a time (2.5s)")
    e.add_argument("--end", default=None, metavar="POS",
                   help="end of the range (excluded): a frame index or a time")
    e.add_argument("--every", type=int, default=1, metavar="N", help="every N-th frame")
    e.add_argument("--max-frames", type=int, default=None, metavar="N",
                   help="at most N frames")
    e.add_argument("--force", action="store_true", help="replace an existing bag folder")
    e.add_argument("--json", action="store_true",
                   help="print the summary as JSON: frames, topics (messages per topic), out")
    i = sub.add_parser(
        "import", prog="kelvo ros2 import", help="a rosbag2's stereo images as a recording",
        description="Writes OUT.mkv from the left and right images of BAG (a rosbag2 folder, "
                    "MCAP or SQLite, or an .mcap file), paired by stamp within half a frame "
                    "period, with the CameraInfo messages as the calibration and its updates.")
    i.add_argument("bag", metavar="BAG", help="the bag (folder or .mcap file)")
    i.add_argument("out", metavar="OUT.mkv", help="the recording to write")
    i.add_argument("--left", required=True, metavar="TOPIC", help="the left images")
    i.add_argument("--right", required=True, metavar="TOPIC", help="the right images")
    i.add_argument("--left-info", default=None, metavar="TOPIC",
                   help="the left CameraInfo (default: camera_info beside the left images)")
    i.add_argument("--right-info", default=None, metavar="TOPIC",
                   help="the right CameraInfo (default: camera_info beside the right images)")
    i.add_argument("--force", action="store_true", help="replace an existing recording")
    i.add_argument("--json", action="store_true",
                   help="print the summary as JSON: frames, unpaired, calibrations, out")
    return p


def _run_export(args) -> dict:
    from .export import export

    progress = _Progress(sys.stderr, "kelvo ros2 export")
    try:
        result = export(args.recording, args.out, backend=args.backend, variant=args.variant,
                        controls=_controls(args.controls), points=args.points, start=args.start,
                        end=args.end, every=args.every, max_frames=args.max_frames,
                        force=args.force, progress=progress)
    finally:
        progress.close()
    if not args.json:
        print(f"{result.frames} frames -> {result.out} ("
              + ", ".join(f"{t}: {n}" for t, n in sorted(result.topics.items())) + ")")
    return result.to_dict()


def _run_import(args) -> dict:
    from .importer import import_bag

    result = import_bag(args.bag, args.out, left=args.left, right=args.right,
                        left_info=args.left_info, right_info=args.right_info, force=args.force)
    if not args.json:
        print(f"{result.frames} frames -> {result.out} ({result.unpaired} images unpaired, "
              f"{result.calibrations} calibrations)")
    return result.to_dict()


def main(argv: Optional[List[str]] = None) -> int:
    args = _parser().parse_args(argv)
    name = f"kelvo ros2 {args.command}"
    from ._libs import MissingLibraries

    try:
        summary = _run_export(args) if args.command == "export" else _run_import(args)
    except _Usage as e:
        print(f"{name}: {e}\n(see `{name} --help`)", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        print(f"{name}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except MissingLibraries as e:
        print(f"{name}: {e}", file=sys.stderr)
        return EXIT_FAILED
    except Exception as e:  # noqa: BLE001 - a bad bag or recording is reported, not a trace
        print(f"{name}: error: {e}", file=sys.stderr)
        return EXIT_FAILED
    if args.json:
        print(json.dumps(summary))
    return 0


if __name__ == "__main__":
    sys.exit(main())
