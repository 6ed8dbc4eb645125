"""Recordings as a Ray Data source: one row per frame, split into exact frame
ranges so many workers share a long recording and every frame is read once.

Planning (on the driver) opens each recording once for its frame index; a
range is a run of frame-index positions, and a read task seeks to the time of
its first frame, which the index makes exact. A recording that cannot be
opened, or that breaks off before the end its index promised, becomes an
error row (``error`` set, ``source_frame_idx`` -1) so that the other
recordings go on and the failure reaches whoever collects the results.
"""

from __future__ import annotations

import json
import math
import os
from dataclasses import dataclass
from typing import Iterable, Iterator, List, Optional, Sequence, Union

import pyarrow as pa

from .._native import MkvReplay, _CalibrationNames
from .ranges import Position, select_positions

# One row per frame; the maps' folder is `name`, unique per run.
SCHEMA = pa.schema(
    [
        ("recording", pa.string()),
        ("name", pa.string()),
        ("sequence", pa.int64()),
        ("pts_us", pa.int64()),
        ("source_frame_idx", pa.int64()),
        ("payload", pa.binary()),
        ("fourcc", pa.string()),
        ("width", pa.int32()),
        ("height", pa.int32()),
        ("calibration", pa.string()),
        ("calibration_id", pa.string()),
        ("camera_state", pa.string()),
        ("error", pa.string()),
    ]
)

_ROWS_PER_BLOCK = 32
_GRAB_TIMEOUT_S = 10.0


@dataclass(frozen=True)
class FrameRange:
    """Frame-index positions `positions` of one recording, read by one task."""

    recording: str
    name: str
    positions: tuple  # ascending frame-index positions to deliver
    pts_first: int  # the first position's time, where the read seeks to
    pts: tuple = ()  # each position's time: how the read task knows its frames
    first_position: int = 0  # the recording's first selected position: sequence 1
    error: Optional[str] = None  # the recording failed already at planning


@dataclass
class _Plan:
    recording: str
    name: str
    index: List[int]
    positions: List[int]
    error: Optional[str] = None  # nothing of it can be read
    damage: Optional[str] = None  # its readable frames are processed, the rest is lost


def output_names(paths: Sequence[str]) -> List[str]:
    """A folder name per recording: its file stem, numbered where stems repeat."""
    stems = [os.path.splitext(os.path.basename(p))[0] or "recording" for p in paths]
    seen: dict = {}
    names = []
    for stem in stems:
        n = seen.get(stem, 0) + 1
        seen[stem] = n
        names.append(stem if n == 1 else f"{stem}-{n}")
    return names


def _plan(path: str, name: str, start: Position, end: Position, every: int) -> _Plan:
    try:
        replay = MkvReplay(path, replay_mode="every_frame", build_frame_index=True)
        try:
            replay.open()
            index = list(replay.frame_index())
            duration_us = replay.duration_us
        finally:
            replay.close()
        if not index:
            raise RuntimeError("the recording has no frame index (no readable video frame)")
        return _Plan(path, name, index, select_positions(index, start, end, every),
                     damage=_cut_off(index, duration_us))
    except Exception as e:  # any failure of this recording is reported, the others go on
        return _Plan(path, name, [], [], error=f"{type(e).__name__}: {e}")


def _cut_off(index: List[int], duration_us) -> Optional[str]:
    """Why the recording looks cut off, or None: its header states a duration
    that its readable frames fall short of by more than two frame intervals
    (a copy truncated in transfer, a damaged disk). A recording whose writer
    died has no stated duration and reads to its last complete cluster."""
    if not duration_us or duration_us <= 0 or len(index) < 2:
        return None
    interval = (index[-1] - index[0]) / (len(index) - 1)
    if duration_us <= index[-1] + 2 * max(interval, 1):
        return None
    return (f"the recording is cut off: it states {duration_us / 1e6:.3f} s but its readable "
            f"frames end at {index[-1] / 1e6:.3f} s; the {len(index)} readable frames were "
            f"processed, about {round((duration_us - index[-1]) / interval) - 1} are lost")


def split_ranges(plans: Sequence[_Plan], tasks: int) -> List[FrameRange]:
    """Cuts the selected positions into about `tasks` ranges of equal size,
    never across recordings; a failed recording gives one error range."""
    total = sum(len(p.positions) for p in plans)
    chunk = max(1, math.ceil(total / max(1, tasks)))
    out = []
    for p in plans:
        if p.error is not None:
            out.append(FrameRange(p.recording, p.name, (), 0, error=p.error))
            continue
        for i in range(0, len(p.positions), chunk):
            part = tuple(p.positions[i:i + chunk])
            out.append(FrameRange(p.recording, p.name, part, p.index[part[0]],
                                  tuple(p.index[i] for i in part), p.positions[0]))
        if p.damage is not None:
            out.append(FrameRange(p.recording, p.name, (), 0, error=p.damage))
    return out


def _error_table(r: FrameRange, error: str) -> pa.Table:
    row = {f.name: [None] for f in SCHEMA}
    row.update(recording=[r.recording], name=[r.name], sequence=[-1], pts_us=[-1],
               source_frame_idx=[-1], error=[error])
    return pa.table(row, schema=SCHEMA)


def read_range(r: FrameRange) -> Iterator[pa.Table]:
    """The frames of one range as Arrow tables, in order."""
    if r.error is not None:
        yield _error_table(r, r.error)
        return
    # The planner's frame index names each frame by its time, so a task
    # needs no index of its own (building one reads the whole recording).
    wanted = dict(zip(r.pts, r.positions))
    last_pts = r.pts[-1]
    rows: dict = {f.name: [] for f in SCHEMA}
    delivered = 0
    try:
        replay = MkvReplay(r.recording, replay_mode="every_frame", build_frame_index=False)
        try:
            info = replay.open()
            names = _CalibrationNames(replay)
            if r.pts_first > 0:
                replay.seek_relative_us(r.pts_first)
            while delivered < len(r.positions):
                frame = replay.grab(_GRAB_TIMEOUT_S)
                if frame is None:
                    break
                idx = wanted.get(frame.pts_us)
                if idx is None:
                    # A seek lands on the frame at or before its time.
                    if frame.pts_us > last_pts:
                        break
                    continue
                # What was in force for this frame came with it.
                calibration = frame.calibration
                state = frame.camera_state
                values = dict(
                    # Counted from the recording's first selected frame, as a
                    # sequential `kelvo depth` run counts it, so the number
                    # does not depend on how the run was split.
                    recording=r.recording, name=r.name, sequence=idx - r.first_position + 1,
                    pts_us=frame.pts_us, source_frame_idx=idx, payload=bytes(frame.payload),
                    fourcc=replay.fourcc, width=info.width, height=info.height,
                    calibration=None if calibration is None else json.dumps(calibration.to_dict()),
                    calibration_id=names.at(frame.pts_us, calibration is not None),
                    camera_state=None if state is None else json.dumps(state), error=None)
                for k, v in values.items():
                    rows[k].append(v)
                delivered += 1
                if len(rows["sequence"]) >= _ROWS_PER_BLOCK:
                    yield pa.table(rows, schema=SCHEMA)
                    rows = {f.name: [] for f in SCHEMA}
        finally:
            replay.close()
    except Exception as e:
        error = f"{type(e).__name__}: {e}"
    else:
        error = None
    if rows["sequence"]:
        yield pa.table(rows, schema=SCHEMA)
    if delivered < len(r.positions):
        # Frames come in index order, so the missing ones are the last.
        missing = r.positions[delivered:]
        reason = error or "the recording ended before its frame index did"
        yield _error_table(
            r, f"frames {missing[0]}..{missing[-1]} could not be read ({len(missing)} of "
               f"{len(r.positions)} in this range): {reason}")


def _datasource_class():
    # Built on first use, so that importing the package never needs Ray.
    from ray.data import Datasource, ReadTask
    from ray.data.block import BlockMetadata

    class _RecordingDatasource(Datasource):
        def __init__(self, ranges_for):
            super().__init__()
            self._ranges_for = ranges_for

        def estimate_inmemory_data_size(self):
            return None

        def get_name(self):
            return "KelvoRecordings"

        def get_read_tasks(self, parallelism, per_task_row_limit=None, data_context=None):
            tasks = []
            for r in self._ranges_for(parallelism):
                meta = BlockMetadata(num_rows=len(r.positions) or 1, size_bytes=None,
                                     exec_stats=None, input_files=(r.recording,))
                tasks.append(ReadTask(lambda r=r: read_range(r), meta, schema=SCHEMA))
            return tasks

    return _RecordingDatasource


def plan_recordings(paths: Iterable[Union[str, os.PathLike]], start=None, end=None,
                    every: int = 1) -> List[_Plan]:
    """Opens every recording once and selects its frames (see read_recordings)."""
    if isinstance(every, bool) or not isinstance(every, int) or every < 1:
        raise ValueError(f"every must be a positive integer; got {every!r}")
    paths = [os.path.abspath(os.fspath(p)) for p in paths]
    if not paths:
        raise ValueError("no recording given")
    s, e = Position.parse(start, "start"), Position.parse(end, "end")
    return [_plan(p, n, s, e, every) for p, n in zip(paths, output_names(paths))]


def read_recordings(paths, start=None, end=None, every: int = 1, *, frames_per_task=None,
                    num_cpus=None, concurrency=None, plans=None):
    """A Ray Dataset of the recordings' frames, one row per frame.

    `start` and `end` select the frames of each recording as `kelvo depth
    --start/--end` do: a frame index (int, or "120") or a recording time with
    its unit ("2.5s", "1500ms", "250000us"); `end` is excluded. `every` keeps
    every n-th frame of that range. Columns: recording (absolute path), name
    (its output folder), sequence, pts_us, source_frame_idx, payload (the
    still-encoded frame), fourcc, width, height, calibration (the calibration
    in force, as JSON text, or null), calibration_id ("factory", "update:N",
    "none"), camera_state (the camera state in force for the frame, as
    JSON text, or null) and error (null, or why this
    recording, or part of it, could not be read; such a row has no frame).

    The work is split by recording and by exact frame ranges: about one range
    per block Ray asks for, or ranges of `frames_per_task` frames. `num_cpus`
    is what each read task reserves (Ray's default: 1).
    """
    import ray.data

    if plans is None:
        plans = plan_recordings(paths, start, end, every)

    def ranges_for(parallelism):
        if frames_per_task:
            total = sum(len(p.positions) for p in plans)
            tasks = math.ceil(total / frames_per_task)
        else:
            tasks = max(parallelism, len(plans))
        return split_ranges(plans, tasks)

    extra = {} if num_cpus is None else {"num_cpus": num_cpus}
    if concurrency is not None:
        extra["concurrency"] = concurrency
    return ray.data.read_datasource(_datasource_class()(ranges_for), **extra)
