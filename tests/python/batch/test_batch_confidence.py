"""`kelvo batch --confidence`: the confidence PNGs of `kelvo depth`, byte for
byte, beside each map; their files in frames.parquet (null when not asked)
and in run.json with the other optional outputs; a second run over the same
folder leaves the very same files."""

import json
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("pyarrow")
pytest.importorskip("ray")

import pyarrow.parquet as pq  # noqa: E402

from kelvo_camera_sdk.batch import read_recordings, run_batch  # noqa: E402
from kelvo_camera_sdk.batch.depth import DepthStep  # noqa: E402

# The optional outputs: flag, frames.parquet column and run.json key, file prefix.
OPTIONAL = {"confidence": ("--confidence", "confidence_"),
            "depth_png": ("--depth-png", "depth_mm_"),
            "ply": ("--ply", "cloud_")}


def kelvo_batch(*args):
    code = "import sys; from kelvo_camera_sdk.batch.cli import main; sys.exit(main(sys.argv[1:]))"
    return subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True,
                          text=True)


def files(folder: Path):
    return {p.relative_to(folder).as_posix(): p.read_bytes()
            for p in folder.rglob("*") if p.is_file() and p.name != "run.json"
            and p.name != "frames.parquet"}


@pytest.mark.parametrize("asked", [
    set(),
    {"confidence"},
    {"confidence", "depth_png"},
])
def test_optional_outputs_are_written_listed_and_null_when_not_asked(ray_instance, archive,
                                                                     tmp_path, asked):
    rec, ref = archive["short"]
    out = tmp_path / "out"
    flags = [OPTIONAL[key][0] for key in sorted(asked)]
    p = kelvo_batch(rec, "--backend", "stereo-bm", "--out", out, "--address", ray_instance,
                    "--workers", "2", *flags)
    assert p.returncode == 0, p.stderr
    rows = pq.read_table(out / "frames.parquet").to_pylist()
    assert len(rows) == 10
    run = json.loads((out / "run.json").read_text())
    for key, (_, prefix) in OPTIONAL.items():
        written = sorted((out / "short").glob(prefix + "*"))
        if key not in asked:
            assert run["outputs"][key] is None, key
            assert all(r[key] is None for r in rows), key
            assert not written, key
            continue
        assert run["outputs"][key]["column"] == key
        assert run["outputs"][key]["files"].startswith(prefix)
        assert sorted(r[key] for r in rows) == sorted(f"short/{f.name}" for f in written)
        assert len(written) == 10
    if "confidence" in asked:
        assert "0 = no estimate" in run["outputs"]["confidence"]["format"]
        for r in rows:
            # The file `kelvo depth` wrote for that frame, byte for byte.
            name = Path(r["confidence"]).name
            assert (out / r["confidence"]).read_bytes() == (ref / name).read_bytes(), name


def test_second_run_over_the_same_folder_leaves_the_same_files(ray_instance, archive,
                                                              tmp_path):
    paths = [str(archive[n][0]) for n in ("short", "cut")]
    out = tmp_path / "out"
    run_batch(paths, "stereo-bm", str(out), workers=2, batch_size=4, confidence=True)
    first = files(out)
    assert any(name.startswith("short/confidence_") for name in first)
    run_batch(paths, "stereo-bm", str(out), workers=2, batch_size=4, confidence=True)
    second = files(out)
    assert sorted(second) == sorted(first)  # no temporary file left behind either
    assert all(second[name] == first[name] for name in first)


def test_in_memory_rows_carry_the_confidence_only_when_asked(ray_instance, archive):
    rows = read_recordings([archive["short"][0]], end=3).take_all()
    batch = {k: [r[k] for r in rows] for k in rows[0]}
    plain = DepthStep("stereo-bm")(batch)
    assert list(plain["confidence"]) == [None] * 3
    out = DepthStep("stereo-bm", confidence=True)(batch)
    assert len(out["confidence"]) == 3
    for confidence, disparity in zip(out["confidence"], out["disparity"]):
        assert confidence.dtype == np.uint8 and confidence.shape == disparity.shape
        np.testing.assert_array_equal(confidence == 0, np.isnan(disparity))
