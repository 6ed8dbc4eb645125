"""Batch runs on a local Ray instance give, frame for frame, the maps of
`kelvo depth` on each recording: every frame exactly once, the cut-off
recording's readable frames processed and its failure reported, and the same
output when a worker dies in the middle and Ray retries its work."""

import csv
import json
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("pyarrow")
pytest.importorskip("ray")

import pyarrow.parquet as pq  # noqa: E402

from kelvo_camera_sdk.batch import read_recordings, run_batch  # noqa: E402


def reference_frames(ref: Path):
    with open(ref / "frames.csv") as f:
        return {int(r["source_frame_idx"]): r for r in csv.DictReader(f)}


def assert_same_maps(out: Path, name: str, ref: Path):
    """Byte for byte the files `kelvo depth` wrote: maps and previews."""
    ours = sorted(p.name for p in (out / name).iterdir())
    theirs = sorted(p.name for p in ref.iterdir() if p.name.startswith("disparity_"))
    assert ours == theirs
    for f in theirs:
        assert (out / name / f).read_bytes() == (ref / f).read_bytes(), f"{name}/{f} differs"


def frame_rows(table):
    return [r for r in table.to_pylist() if r["source_frame_idx"] >= 0]


@pytest.fixture(scope="module")
def first_run(ray_instance, archive, tmp_path_factory):
    out = tmp_path_factory.mktemp("batch")
    paths = [str(archive[n][0]) for n in ("long", "short", "cut")]
    return out, run_batch(paths, "stereo-bm", str(out), workers=2, batch_size=4)


def test_every_frame_once_with_the_maps_of_kelvo_depth(first_run, archive):
    out, result = first_run
    table = pq.read_table(out / "frames.parquet")
    rows = frame_rows(table)
    keys = [(r["name"], r["source_frame_idx"]) for r in rows]
    assert len(keys) == len(set(keys)), "a frame was processed twice"
    for name, (_, ref) in archive.items():
        expected = reference_frames(ref)
        mine = {r["source_frame_idx"]: r for r in rows if r["name"] == name}
        assert sorted(mine) == sorted(expected), name
        for idx, r in mine.items():
            assert r["error"] is None
            assert r["pts_us"] == int(expected[idx]["pts_us"])
            assert r["sequence"] == int(expected[idx]["sequence"])
            assert r["calibration_id"] == expected[idx]["calibration"]
            assert r["file"] == f"{name}/{expected[idx]['file']}"
        assert_same_maps(out, name, ref)
    # The calibration update is in force part-way through the whole recordings.
    ids = {r["calibration_id"] for r in rows if r["name"] == "long"}
    assert ids == {"factory", "update:0"}
    assert result.frames == len(rows) == result.expected
    assert json.loads(table.schema.metadata[b"kelvo"])["backend"] == "stereo-bm"


def test_cut_off_recording_is_reported_and_its_readable_frames_kept(first_run, archive):
    out, result = first_run
    assert sorted(result.failed) == ["cut"]
    (error,) = result.failed["cut"]
    assert "cut off" in error
    readable = len(reference_frames(archive["cut"][1]))
    assert 0 < readable < 16
    assert result.recordings["cut"]["frames"] == readable
    run = json.loads((out / "run.json").read_text())
    assert run["failed"] == ["cut"] and run["frames"] == result.frames


def test_worker_killed_mid_way_changes_nothing(first_run, archive, tmp_path):
    out0, result0 = first_run
    marker = tmp_path / "killed"
    out = tmp_path / "out"
    paths = [str(archive[n][0]) for n in ("long", "short", "cut")]
    result = run_batch(paths, "stereo-bm", str(out), workers=2, batch_size=4,
                       _fault_marker=str(marker))
    assert marker.exists(), "no worker was killed"
    for name, (_, ref) in archive.items():
        assert_same_maps(out, name, ref)
    strip = ("worker", "decode_ms", "rectify_ms", "canvas_ms", "inference_ms", "map_back_ms",
             "total_ms")

    def table(folder):
        return [{k: None if v != v else v for k, v in r.items() if k not in strip}  # NaN
                for r in pq.read_table(folder / "frames.parquet").to_pylist()]

    assert table(out0) == table(out)
    assert result.failed == result0.failed


def test_rows_carry_the_frame_and_what_was_in_force(ray_instance, archive):
    rec = archive["long"][0]
    rows = read_recordings([rec], start=3, end="400ms", every=2).take_all()
    got = sorted(rows, key=lambda r: r["source_frame_idx"])
    assert [r["source_frame_idx"] for r in got] == list(range(3, 12, 2))
    ref = reference_frames(archive["long"][1])
    for r in got:
        assert r["error"] is None and r["fourcc"] == "MJPG"
        assert r["pts_us"] == int(ref[r["source_frame_idx"]]["pts_us"])
        assert r["sequence"] == r["source_frame_idx"] - 3 + 1  # as `kelvo depth --start 3`
        assert r["calibration_id"] == ref[r["source_frame_idx"]]["calibration"]
        assert json.loads(r["calibration"])["image_size"] == [640, 360]
        assert isinstance(json.loads(r["camera_state"]), dict)
        assert r["payload"][:2] == b"\xff\xd8"  # a JPEG, still encoded


def kelvo_batch(*args):
    code = "import sys; from kelvo_camera_sdk.batch.cli import main; sys.exit(main(sys.argv[1:]))"
    return subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True,
                          text=True)


def test_command_lists_unreadable_recordings_and_fails(ray_instance, archive, tmp_path):
    folder = tmp_path / "recs"
    folder.mkdir()
    (folder / "a.mkv").write_bytes(archive["short"][0].read_bytes())
    (folder / "bad.mkv").write_bytes(b"not a recording at all" * 100)
    out = tmp_path / "out"
    p = kelvo_batch(folder / "*.mkv", tmp_path / "none*.mkv", "--backend", "stereo-bm",
                    "--out", out, "--address", ray_instance, "--workers", "2", "--json")
    assert p.returncode == 1, p.stderr
    summary = json.loads(p.stdout)
    assert summary["frames"] == len(reference_frames(archive["short"][1]))
    assert sorted(summary["failed"]) == sorted(["bad", str(tmp_path / "none*.mkv")])
    assert "bad.mkv: RuntimeError" in p.stderr and "recording(s) failed" in p.stderr
    assert_same_maps(out, "a", archive["short"][1])


@pytest.mark.parametrize("args, message", [
    (["--backend", "no-such-key"], "unknown back-end 'no-such-key'"),
    (["--backend", "stereo-bm", "--variant", "1x1"], "has no variant '1x1'"),
    (["--backend", "stereo-bm", "--workers", "0"], "--workers must be at least 1"),
    (["--backend", "stereo-bm", "--start", "soon"], "expects a frame index"),
    (["--backend", "stereo-bm", "--set", "x"], "--set expects NAME=VALUE"),
])
def test_command_refuses_bad_arguments_before_any_work(archive, tmp_path, args, message):
    p = kelvo_batch(archive["short"][0], "--out", tmp_path / "o", *args)
    assert p.returncode in (1, 2) and message in p.stderr, p.stderr
    assert not list((tmp_path / "o").glob("*/*.tiff")) if (tmp_path / "o").exists() else True
