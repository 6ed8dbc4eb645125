"""Shared fixtures: a recording made by the kit's own `kelvo demo`, the
`kelvo` command of the environment under test, and a reader for the
32-bit float TIFF maps `kelvo depth` writes."""

import json
import shutil
import struct
import subprocess
import sys
import zlib
from pathlib import Path

import numpy as np
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


def run_json_lines(args):
    out = subprocess.run(args, check=True, capture_output=True, text=True).stdout
    return [json.loads(line) for line in out.splitlines() if line.strip()]


def read_float_tiff(path):
    """A single-channel float32 TIFF, deflate with the floating-point predictor."""
    data = Path(path).read_bytes()
    assert data[:4] == b"II*\x00", "little-endian TIFF expected"
    (ifd,) = struct.unpack_from("<I", data, 4)
    (count,) = struct.unpack_from("<H", data, ifd)
    tags = {}
    for i in range(count):
        tag, typ, n, value = struct.unpack_from("<HHII", data, ifd + 2 + 12 * i)
        if typ == 3 and n == 1:
            value &= 0xFFFF
        if n > 1 and typ in (3, 4):
            fmt = "<%d%s" % (n, "H" if typ == 3 else "I")
            value = list(struct.unpack_from(fmt, data, value))
        tags[tag] = value
    width, height = tags[256], tags[257]
    offsets, sizes = tags[273], tags[279]
    offsets = offsets if isinstance(offsets, list) else [offsets]
    sizes = sizes if isinstance(sizes, list) else [sizes]
    assert tags.get(259) in (8, 32946) and tags.get(317) == 3
    raw = b"".join(zlib.decompress(data[o:o + s]) for o, s in zip(offsets, sizes))
    rows = np.frombuffer(raw, np.uint8).reshape(height, 4 * width)
    rows = np.cumsum(rows, axis=1, dtype=np.uint8)  # undo the byte differencing
    planes = rows.reshape(height, 4, width).transpose(0, 2, 1)  # most significant byte first
    return planes.copy().view(">f4").reshape(height, width).astype(np.float32)
