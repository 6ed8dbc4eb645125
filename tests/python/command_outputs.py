"""Readers of what the `kelvo` command writes, shared by the Python tests."""

import json
import struct
import subprocess
import zlib
from pathlib import Path

import numpy as np


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
