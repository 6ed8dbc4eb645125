"""Fixtures of the batch tests: one local Ray instance with 2 CPUs for the
whole session, and a small archive made by the kit itself (`kelvo demo`):
two whole recordings with a calibration update and one cut off at the end,
each with the maps `kelvo depth` writes for it as the reference."""

import shutil
import subprocess
from pathlib import Path

import pytest


@pytest.fixture(scope="session")
def ray_instance():
    ray = pytest.importorskip("ray")
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    yield ray.get_runtime_context().gcs_address
    ray.shutdown()


def _demo(kelvo, folder: Path, frames: int) -> Path:
    subprocess.run([kelvo, "demo", "--out", str(folder), "--frames", str(frames), "--quiet"],
                   check=True, stdout=subprocess.DEVNULL)
    return folder / "demo.mkv"


@pytest.fixture(scope="session")
def archive(tmp_path_factory, kelvo):
    """{name: (recording, reference folder of `kelvo depth`)}."""
    root = tmp_path_factory.mktemp("archive")
    whole_a = _demo(kelvo, root / "a", 16)
    whole_b = _demo(kelvo, root / "b", 10)
    cut = _demo(kelvo, root / "c", 16)
    recordings = {"long": root / "long.mkv", "short": root / "short.mkv", "cut": root / "cut.mkv"}
    shutil.copy(whole_a, recordings["long"])
    shutil.copy(whole_b, recordings["short"])
    data = cut.read_bytes()
    recordings["cut"].write_bytes(data[: len(data) * 2 // 3])  # a copy that broke off
    out = {}
    for name, rec in recordings.items():
        ref = root / f"ref_{name}"
        subprocess.run([kelvo, "depth", str(rec), "--backend", "stereo-bm", "--out", str(ref)],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        out[name] = (rec, ref)
    return out
