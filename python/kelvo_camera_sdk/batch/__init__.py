"""Frame-exact batch depth over recording archives on Ray (Ray Data), on this
machine or on an existing cluster.

    import ray
    from kelvo_camera_sdk.batch import DepthStep, read_recordings

    ds = read_recordings(["a.mkv", "b.mkv"])
    out = ds.map_batches(DepthStep, fn_constructor_kwargs={"backend": "stereo-bm",
                         "out": "maps"}, concurrency=2, batch_size=16)
    rows = out.take_all()

`run_batch` does all of it (it is what `kelvo batch` runs). Ray places,
retries and balances the work; nothing here schedules. Ray (``ray[data]``)
and pyarrow are needed only by this sub-package.
"""

from .depth import META_COLUMNS, DepthStep
from .ranges import Position, select_positions
from .run import BatchResult, run_batch
from .source import SCHEMA, plan_recordings, read_recordings, split_ranges
from .writers import TABLE_NAME, metadata_table, write_frame, write_table

__all__ = [
    "META_COLUMNS",
    "SCHEMA",
    "TABLE_NAME",
    "BatchResult",
    "DepthStep",
    "Position",
    "metadata_table",
    "plan_recordings",
    "read_recordings",
    "run_batch",
    "select_positions",
    "split_ranges",
    "write_frame",
    "write_table",
]
