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


def read_png16(path):
    """A 16-bit grey PNG (what `kelvo export --what depth` writes), unfiltered row by row."""
    data = Path(path).read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat, header = 8, b"", None
    while pos < len(data):
        (n,) = struct.unpack_from(">I", data, pos)
        kind, body = data[pos + 4:pos + 8], data[pos + 8:pos + 8 + n]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + n
    width, height, depth, colour, _, _, interlace = header
    assert (depth, colour, interlace) == (16, 0, 0), "16-bit grey, not interlaced"
    raw = np.frombuffer(zlib.decompress(idat), np.uint8).reshape(height, 1 + 2 * width)
    bpp, stride = 2, 2 * width
    out = np.zeros((height, stride), np.int32)
    prev = np.zeros(stride, np.int32)
    for y in range(height):
        kind, line = raw[y, 0], raw[y, 1:].astype(np.int32)
        if kind == 0:
            row = line
        elif kind == 2:
            row = (line + prev) & 0xFF
        else:  # Sub, Average and Paeth depend on the bytes just decoded
            row = np.zeros(stride, np.int32)
            for x in range(stride):
                a = row[x - bpp] if x >= bpp else 0
                b = prev[x]
                c = prev[x - bpp] if x >= bpp else 0
                if kind == 1:
                    p = a
                elif kind == 3:
                    p = (a + b) // 2
                else:
                    pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - 2 * c)
                    p = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
                row[x] = (line[x] + p) & 0xFF
        out[y], prev = row, row
    return (out[:, 0::2] * 256 + out[:, 1::2]).astype(np.uint16)
