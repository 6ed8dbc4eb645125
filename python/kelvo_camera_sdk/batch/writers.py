"""Idempotent writers of a batch run. A frame's files are named by its
recording's folder and its frame index and written under a temporary name,
then renamed (the `kelvo` command's own writers), so a retried task rewrites
the same files with the same content; the metadata table is written once, by
the driver, from every row sorted by recording and frame."""

from __future__ import annotations

import json
import os
import tempfile
from typing import Dict, Iterable, Optional

import pyarrow as pa
import pyarrow.parquet as pq

from .. import _native

TABLE_NAME = "frames.parquet"

TABLE_SCHEMA = pa.schema([
    ("recording", pa.string()),
    ("name", pa.string()),
    ("sequence", pa.int64()),
    ("pts_us", pa.int64()),
    ("source_frame_idx", pa.int64()),
    ("calibration_id", pa.string()),
    ("file", pa.string()),
    ("preview_min", pa.float64()),
    ("preview_max", pa.float64()),
    ("depth_png", pa.string()),
    ("ply", pa.string()),
    ("points", pa.int64()),
    ("confidence", pa.string()),
    ("decode_ms", pa.float64()),
    ("rectify_ms", pa.float64()),
    ("canvas_ms", pa.float64()),
    ("inference_ms", pa.float64()),
    ("map_back_ms", pa.float64()),
    ("total_ms", pa.float64()),
    ("worker", pa.string()),
    ("error", pa.string()),
])


def write_frame(result, out: str, row: dict, backend: str, *, depth_png: bool = False,
                point_cloud: bool = False, confidence: bool = False) -> Dict[str, object]:
    """Writes one frame's files under out/<name>/: the map as `kelvo depth`
    writes it (disparity_NNNNNN.tiff in pixels, or depth_NNNNNN.tiff, with its
    .png preview), and on request depth_mm_NNNNNN.png (16-bit millimetres),
    cloud_NNNNNN.ply and confidence_NNNNNN.png (8-bit, `kelvo depth`'s).
    Returns the table cells it fills (paths relative to `out`)."""
    folder = os.path.join(out, row["name"])
    os.makedirs(folder, exist_ok=True)
    index = int(row["source_frame_idx"])
    stem = _native._frame_stem(result.kind, index)
    lo, hi, any_valid = result.write_map(os.path.join(folder, stem))
    cells = {
        "file": f"{row['name']}/{stem}.tiff",
        "preview_min": lo if any_valid else None,
        "preview_max": hi if any_valid else None,
    }
    if depth_png:
        name = _native._frame_stem("depth_mm", index) + ".png"
        if result.write_depth_png(os.path.join(folder, name)):
            cells["depth_png"] = f"{row['name']}/{name}"
    if point_cloud:
        name = _native._frame_stem("cloud", index) + ".ply"
        comment = (f"kelvo batch: {os.path.basename(row['recording'])} frame {index} at "
                   f"{int(row['pts_us'])} us, back-end {backend}")
        points = result.write_ply(os.path.join(folder, name), comment)
        if points is not None:
            cells["ply"] = f"{row['name']}/{name}"
            cells["points"] = points
    if confidence:
        name = _native._frame_stem("confidence", index) + ".png"
        if result.write_confidence(os.path.join(folder, name)):
            cells["confidence"] = f"{row['name']}/{name}"
    return cells


def optional_outputs(*, depth_png: bool, point_clouds: bool,
                     confidence: bool) -> Dict[str, Optional[dict]]:
    """run.json's account of the per-frame files asked for beside the maps:
    each one's file names, what it holds and its frames.parquet column, or
    None when not asked."""
    outputs = (
        ("depth_png", depth_png, "depth_mm_NNNNNN.png",
         "16-bit grey PNG of depth in millimetres, 0 = no estimate"),
        ("ply", point_clouds, "cloud_NNNNNN.ply",
         "binary PLY with colour, metres in the rectified left camera"),
        ("confidence", confidence, "confidence_NNNNNN.png", _native._CONFIDENCE_FORMAT),
    )
    return {column: {"files": files, "format": fmt, "column": column} if wanted else None
            for column, wanted, files, fmt in outputs}


def metadata_table(rows: Iterable[dict], *, backend: str = "", variant: str = "") -> pa.Table:
    """Every row's metadata in one table, sorted by recording and frame, error
    rows of a recording after its frames; the back-end in the schema's metadata."""
    rows = sorted(rows, key=lambda r: (r["name"], r["source_frame_idx"] < 0,
                                       r["source_frame_idx"]))
    columns = {f.name: [_cell(r.get(f.name), f.type) for r in rows] for f in TABLE_SCHEMA}
    meta = {"backend": backend, "variant": variant,
            "file_index": "NNNNNN is the frame's source_frame_idx in the recording",
            "absent": "-1 for integers, NaN for numbers, null for text"}
    schema = TABLE_SCHEMA.with_metadata({"kelvo": json.dumps(meta)})
    return pa.table(columns, schema=schema)


def _cell(value, typ):
    if value is None:
        return None
    if pa.types.is_integer(typ):
        return int(value)
    if pa.types.is_floating(typ):
        return float(value)
    return str(value)


def write_table(table: pa.Table, out: str, name: str = TABLE_NAME) -> str:
    """Writes the table as out/<name> through a temporary file and a rename."""
    os.makedirs(out, exist_ok=True)
    final = os.path.join(out, name)
    fd, tmp = tempfile.mkstemp(prefix="." + name + ".", dir=out)
    os.close(fd)
    try:
        pq.write_table(table, tmp)
        os.replace(tmp, final)
    except BaseException:
        _remove(tmp)
        raise
    return final


def _remove(path: str) -> Optional[str]:
    try:
        os.remove(path)
    except FileNotFoundError:
        pass
    return None
