"""The depth step for ``Dataset.map_batches``: a callable class, so Ray keeps
one instance, and with it one back-end (and OpenVINO engine), per actor for
all the batches that actor receives."""

from __future__ import annotations

import os
from typing import Dict, Optional, Sequence

import numpy as np

from .. import _native
from .writers import write_frame

# Columns of every output row; maps are added without `out`.
META_COLUMNS = (
    "recording", "name", "sequence", "pts_us", "source_frame_idx", "calibration_id",
    "file", "preview_min", "preview_max", "depth_png", "ply", "points", "confidence",
    "decode_ms", "rectify_ms", "canvas_ms", "inference_ms", "map_back_ms", "total_ms",
    "worker", "error",
)
_TIMINGS = ("decode_ms", "rectify_ms", "canvas_ms", "inference_ms", "map_back_ms", "total_ms")
_SKIPPED = "the frame did not decode or the back-end failed on it (skipped; see the log)"


class DepthStep:
    """Runs a registered back-end on the rows of ``read_recordings``.

    With `out`, each frame's map is written there (writers.write_frame: the
    files `kelvo depth` writes, in one folder per recording, plus a 16-bit
    depth PNG with `depth_png`, a coloured PLY with `point_clouds` and the
    8-bit confidence PNG with `confidence`) and the output rows carry
    metadata only; without it, rows carry the maps as arrays (``disparity``,
    ``depth``, and ``confidence`` with `confidence`, else that column is
    None). Rows whose frame was skipped, and the source's error rows, keep
    their ``error`` and have no map.

    `opencv_threads` limits OpenCV's threads in this worker (1 when one
    worker per core runs).
    """

    def __init__(self, backend: str = "stereo-bm", variant: Optional[str] = None, *,
                 controls: Optional[Dict[str, int]] = None, out: Optional[str] = None,
                 depth_png: bool = False, point_clouds: bool = False,
                 confidence: bool = False, device: str = "CPU",
                 nireq: int = 2, opencv_threads: Optional[int] = None,
                 _fault_marker: Optional[str] = None):
        if backend == "rectify-passthrough":
            raise ValueError("rectify-passthrough computes no map; use `kelvo export` for "
                             "rectified images")
        if opencv_threads is not None:
            _native._set_opencv_threads(opencv_threads)
        self._args = dict(variant=variant or "", controls=list((controls or {}).items()),
                          device=device, nireq=nireq)
        self._backend = backend
        self._out = out
        self._depth_png = depth_png
        self._point_clouds = point_clouds
        self._confidence = confidence
        # One back-end per recording format; archives normally have one.
        self._depth: Dict[tuple, object] = {}
        self._fault_marker = _fault_marker
        self._batches = 0
        self._worker = f"{os.uname().nodename}:{os.getpid()}"
        # Built now, so that a bad key, variant or control fails at start-up.
        self._backend_for("MJPG", 0, 0)

    def _backend_for(self, fourcc: str, width: int, height: int):
        # Only packed YUYV needs the frame size to decode.
        key = (fourcc, width, height) if fourcc == "YUYV" else (fourcc,)
        depth = self._depth.get(key)
        if depth is None:
            depth = _native._BatchDepth(self._backend, fourcc=fourcc, width=width,
                                        height=height,
                                        rectified_images=self._point_clouds, **self._args)
            self._depth[key] = depth
        return depth

    def _maybe_fail(self):
        # Fault injection for the tests of Ray's retries: the first worker to
        # reach its second batch dies there, once (the marker file says so).
        if self._fault_marker is None or self._batches != 2:
            return
        try:
            fd = os.open(self._fault_marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY)
        except FileExistsError:
            return
        os.write(fd, self._worker.encode())
        os.close(fd)
        os._exit(17)

    def __call__(self, batch: Dict[str, np.ndarray]) -> Dict[str, np.ndarray]:
        self._batches += 1
        self._maybe_fail()
        n = len(batch["sequence"])
        rows = [{k: batch[k][i] for k in batch} for i in range(n)]
        results = [None] * n
        # Frames of one format go through one back-end together, in order.
        groups: Dict[tuple, list] = {}
        for i, row in enumerate(rows):
            if row["error"] is None and row["payload"] is not None:
                key = (row["fourcc"], int(row["width"]), int(row["height"]))
                groups.setdefault(key, []).append(i)
        for (fourcc, width, height), members in groups.items():
            depth = self._backend_for(fourcc, width, height)
            done = depth.run([(rows[i]["payload"], rows[i]["calibration"], int(rows[i]["pts_us"]))
                              for i in members])
            for i, result in zip(members, done):
                results[i] = result
        return self._output(rows, results)

    def _output(self, rows: Sequence[dict], results: Sequence) -> Dict[str, np.ndarray]:
        out = {k: [] for k in META_COLUMNS}
        maps = {"disparity": [], "depth": []}
        if self._confidence:
            maps["confidence"] = []
        for row, result in zip(rows, results):
            meta = dict.fromkeys(META_COLUMNS)
            for k in ("recording", "name", "sequence", "pts_us", "source_frame_idx",
                      "calibration_id", "error"):
                meta[k] = row[k]
            meta["worker"] = self._worker
            if meta["error"] is None and (result is None or not result.ok):
                meta["error"] = _SKIPPED
            ok = meta["error"] is None
            if ok:
                meta.update(result.timings)
                if self._out is not None:
                    meta.update(write_frame(result, self._out, row, self._backend,
                                            depth_png=self._depth_png,
                                            point_cloud=self._point_clouds,
                                            confidence=self._confidence))
            for k in META_COLUMNS:
                out[k].append(meta[k])
            if self._out is None:
                maps["disparity"].append(result.disparity if ok else None)
                maps["depth"].append(result.depth if ok else None)
                if self._confidence:
                    maps["confidence"].append(result.confidence if ok else None)
        columns = {k: _column(k, v) for k, v in out.items()}
        if self._out is None:
            columns.update({k: _object_column(v) for k, v in maps.items()})
        return columns


_STRINGS = {"recording", "name", "calibration_id", "file", "depth_png", "ply", "confidence",
            "worker", "error"}
_INTS = {"sequence", "pts_us", "source_frame_idx", "points"}


def _column(name, values):
    """Typed columns: absent numbers are -1 (integers) or NaN (floats)."""
    if name in _STRINGS:
        return _object_column([None if v is None else str(v) for v in values])
    if name in _INTS:
        return np.asarray([-1 if v is None else int(v) for v in values], dtype=np.int64)
    return np.asarray([np.nan if v is None else float(v) for v in values], dtype=np.float64)


def _object_column(values):
    col = np.empty(len(values), dtype=object)
    for i, v in enumerate(values):  # element by element: arrays stay whole
        col[i] = v
    return col


__all__ = ["DepthStep", "META_COLUMNS"]
