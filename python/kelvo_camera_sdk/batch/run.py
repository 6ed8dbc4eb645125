"""A whole batch run: recordings in, maps and the metadata table out, on the
Ray instance given (or a local one started for the run)."""

from __future__ import annotations

import json
import os
import time
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Sequence

from .depth import DepthStep
from .source import plan_recordings, read_recordings
from .writers import metadata_table, optional_outputs, write_table

# Frames per depth call: large enough to keep the per-call cost of Ray small
# against the frames' own (32 rather than 8 took kelvo batch from 0.83 to 0.94-0.96
# of kelvo depth on 2 cores), small enough to spread a short recording.
DEFAULT_BATCH_SIZE = 32


@dataclass
class BatchResult:
    frames: int  # maps written
    expected: int  # frames selected in the recordings that opened
    seconds: float
    backend: str
    variant: str
    out: str
    table: str
    recordings: Dict[str, dict]  # name -> {"path", "frames", "skipped", "errors"}
    rows: List[dict] = field(repr=False, default_factory=list)

    @property
    def failed(self) -> Dict[str, List[str]]:
        """Recordings that failed (could not be opened or read to the end, or
        gave no map at all), with their errors."""
        out = {}
        for name, r in self.recordings.items():
            if r["errors"] or r["frames"] == 0:
                out[name] = r["errors"] or ["no map written: every frame was skipped"]
        return out

    @property
    def fps(self) -> float:
        return self.frames / self.seconds if self.seconds > 0 else 0.0


def connect(address: Optional[str], workers: Optional[int]) -> bool:
    """Joins the cluster at `address`, or starts a local instance with
    `workers` CPUs (all of this machine's by default); True when this call
    started it (and the caller shuts it down)."""
    import ray

    if ray.is_initialized():
        return False
    if address:
        ray.init(address=address, log_to_driver=False)
    else:
        ray.init(num_cpus=workers or os.cpu_count(), include_dashboard=False,
                 log_to_driver=False)
    return True


def _cluster_cpus() -> int:
    import ray

    return max(1, int(ray.cluster_resources().get("CPU", 1)))


def resolve_backend(backend: str, variant: Optional[str]) -> str:
    """The variant slug a run uses; ValueError for an unknown back-end or
    variant, before any worker starts."""
    from .. import registered_inferences

    classes = {c.key: c for c in registered_inferences()}
    if backend not in classes:
        raise ValueError(f"unknown back-end '{backend}'; registered: {', '.join(sorted(classes))}")
    slugs = [v.slug for v in classes[backend].variants()]
    if variant and variant not in slugs:
        raise ValueError(f"back-end {backend} has no variant '{variant}'; its variants: "
                         f"{', '.join(slugs)}")
    return variant or (slugs[0] if slugs else "")


def run_batch(paths: Sequence[str], backend: str, out: str, *, variant: Optional[str] = None,
              controls: Optional[Dict[str, int]] = None, start=None, end=None, every: int = 1,
              workers: Optional[int] = None, address: Optional[str] = None,
              batch_size: int = DEFAULT_BATCH_SIZE, depth_png: bool = False,
              point_clouds: bool = False, confidence: bool = False,
              progress: Optional[Callable[[int, int], None]] = None,
              _fault_marker: Optional[str] = None) -> BatchResult:
    """Processes the recordings with `workers` depth actors (one per CPU of
    the instance by default), each with one back-end and one OpenCV thread;
    writes the maps (and, on request, the 16-bit depth PNGs, point clouds and
    confidence PNGs) under `out`, the table out/frames.parquet and out/run.json.
    `progress(done, expected)` is called on this thread as frames finish."""
    import ray
    from ray.data import ActorPoolStrategy, DataContext

    t0 = time.monotonic()
    variant = resolve_backend(backend, variant)
    plans = plan_recordings(paths, start, end, every)
    expected = sum(len(p.positions) for p in plans)
    started = connect(address, workers)
    try:
        workers = workers or _cluster_cpus()
        ctx = DataContext.get_current()
        ctx.enable_progress_bars = False
        ctx.print_on_execution_start = False
        # Reading is light next to depth: readers take no CPU of their own,
        # so the depth actors get every core.
        ds = read_recordings(None, plans=plans, frames_per_task=max(batch_size * 8, 1),
                             num_cpus=0, concurrency=workers)
        kwargs = dict(backend=backend, variant=variant, controls=controls, out=os.path.abspath(out),
                      depth_png=depth_png, point_clouds=point_clouds, confidence=confidence,
                      opencv_threads=1, _fault_marker=_fault_marker)
        mapped = ds.map_batches(DepthStep, fn_constructor_kwargs=kwargs,
                                compute=ActorPoolStrategy(size=workers), num_cpus=1,
                                batch_size=batch_size)
        rows: List[dict] = []
        done = 0
        for batch in mapped.iter_batches(batch_size=None, batch_format="pyarrow"):
            part = batch.to_pylist()
            rows.extend(part)
            done += sum(1 for r in part if r["error"] is None)
            if progress:
                progress(done, expected)
    finally:
        if started:
            ray.shutdown()
    seconds = time.monotonic() - t0
    outputs = optional_outputs(depth_png=depth_png, point_clouds=point_clouds,
                               confidence=confidence)
    return _finish(plans, rows, backend, variant, out, expected, seconds, outputs)


def _finish(plans, rows, backend, variant, out, expected, seconds, outputs) -> BatchResult:
    recordings = {p.name: {"path": p.recording, "selected": len(p.positions), "frames": 0,
                           "skipped": 0, "errors": [p.error] if p.error else []} for p in plans}
    for r in rows:
        rec = recordings[r["name"]]
        if r["source_frame_idx"] < 0:
            if r["error"] not in rec["errors"]:
                rec["errors"].append(r["error"])
        elif r["error"] is None:
            rec["frames"] += 1
        else:
            rec["skipped"] += 1
    table = write_table(metadata_table(rows, backend=backend, variant=variant), out)
    result = BatchResult(frames=sum(r["frames"] for r in recordings.values()), expected=expected,
                         seconds=seconds, backend=backend, variant=variant,
                         out=os.path.abspath(out), table=table, recordings=recordings, rows=rows)
    summary = {"command": "batch", "backend": backend, "variant": variant,
               "frames": result.frames, "expected": expected, "seconds": seconds,
               "fps": result.fps, "table": os.path.basename(table),
               "outputs": outputs, "recordings": recordings, "failed": sorted(result.failed)}
    tmp = os.path.join(out, ".run.json.tmp")
    with open(tmp, "w") as f:
        json.dump(summary, f, indent=2)
        f.write("\n")
    os.replace(tmp, os.path.join(out, "run.json"))
    return result
