"""Shared fixtures: a recording made by the kit's own `kelvo demo`, the
`kelvo` command of the environment under test."""

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import kelvo_camera_sdk as k


def kelvo_command():
    found = shutil.which("kelvo", path=str(Path(sys.executable).parent)) or shutil.which("kelvo")
    if not found:
        pytest.skip("the kelvo command is not installed")
    return found


@pytest.fixture(scope="session")
def kelvo():
    return kelvo_command()


@pytest.fixture(scope="session")
def recording(tmp_path_factory, kelvo):
    out = tmp_path_factory.mktemp("demo")
    subprocess.run([kelvo, "demo", "--out", str(out), "--frames", "12", "--quiet"], check=True,
                   stdout=subprocess.DEVNULL)
    return out / "demo.mkv"
