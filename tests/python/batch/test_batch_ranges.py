"""Frame selection and splitting: the frames a run processes are exactly
those `kelvo replay` delivers for the same --start/--end/--every, and the
ranges of any split cover them exactly once."""

import json
import subprocess

import pytest

pytest.importorskip("pyarrow")
pytest.importorskip("ray")

from kelvo_camera_sdk.batch import plan_recordings, select_positions, split_ranges  # noqa: E402
from kelvo_camera_sdk.batch.ranges import Position  # noqa: E402
from kelvo_camera_sdk.batch.source import read_range  # noqa: E402

CASES = [
    (None, None, 1),
    (3, None, 1),
    (None, 7, 1),
    (2, 11, 3),
    ("100ms", "300ms", 1),
    ("0.12s", None, 4),
    (5, "1s", 2),
    (0, 1000, 5),  # an end past the last frame is the end
]


@pytest.mark.parametrize("start, end, every", CASES)
def test_selection_matches_kelvo_replay(kelvo, recording, start, end, every):
    args = [kelvo, "replay", str(recording), "--mode", "every_frame", "--every", str(every),
            "--json"]
    if start is not None:
        args += ["--start", str(start)]
    if end is not None:
        args += ["--end", str(end)]
    out = subprocess.run(args, check=True, capture_output=True, text=True).stdout
    expected = [json.loads(line)["source_frame_idx"] for line in out.splitlines() if line]
    (plan,) = plan_recordings([recording], start, end, every)
    assert plan.positions == expected


@pytest.mark.parametrize("start, end, message", [
    (99, None, "past the last frame"),
    (5, 5, "must come after"),
    ("1h", None, "expects a frame index"),
    (-1, None, "must not be negative"),
    ("50s", None, "past the end of the recording"),
])
def test_selection_refusals(start, end, message):
    index = [i * 33333 for i in range(12)]
    with pytest.raises(ValueError, match=message):
        select_positions(index, Position.parse(start, "start"), Position.parse(end, "end"), 1)


@pytest.mark.parametrize("tasks", [1, 2, 5, 12, 100])
def test_every_split_reads_each_frame_once(recording, tasks):
    plans = plan_recordings([recording, recording], 1, None, 2)
    ranges = split_ranges(plans, tasks)
    read = []
    for r in ranges:
        for t in read_range(r):
            read += list(zip(t.column("name").to_pylist(), t.column("source_frame_idx").to_pylist()))
    assert sorted(read) == sorted((p.name, i) for p in plans for i in p.positions)
    total = sum(len(p.positions) for p in plans)
    assert max(len(r.positions) for r in ranges) <= -(-total // tasks)


def test_unreadable_recording_becomes_an_error_row(tmp_path, recording):
    bad = tmp_path / "bad.mkv"
    bad.write_bytes(b"\x1aE\xdf\xa3" + b"\0" * 64)
    plans = plan_recordings([recording, bad])
    assert plans[0].error is None and plans[1].error
    ranges = [r for r in split_ranges(plans, 4) if r.name == "bad"]
    (table,) = [t for r in ranges for t in read_range(r)]
    (row,) = table.to_pylist()
    assert row["source_frame_idx"] == -1 and row["error"] == plans[1].error
