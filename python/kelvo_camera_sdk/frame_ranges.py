"""Frame selection exactly as `kelvo depth --start/--end/--every` makes it:
a frame index selects that frame's time, a time is used as it is, the end is
excluded, and every n-th frame of the range is kept."""

from __future__ import annotations

import bisect
from dataclasses import dataclass
from typing import List, Optional

from ._native import parse_position


@dataclass(frozen=True)
class Position:
    value: Optional[int] = None  # absent: the recording's first frame / its end
    is_time: bool = False
    text: str = ""

    @staticmethod
    def parse(value, what: str) -> "Position":
        """None, a frame index (int or "120") or a time with its unit ("2.5s"),
        read by the command line's own parser."""
        if value is None:
            return Position()
        if isinstance(value, bool) or not isinstance(value, (int, str)):
            raise ValueError(f"{what} must be a frame index or a time; got {value!r}")
        text = str(value)
        is_time, number = parse_position(text, what)
        return Position(number, is_time, text)


def select_positions(index: List[int], start: Position, end: Position, every: int) -> List[int]:
    """Frame-index positions of `index` (frame times, ascending) that a run
    with this start, end and step processes. ValueError for a start past the
    last frame or an end not after the start, as `kelvo depth` refuses them."""
    frames = len(index)

    def resolve(p: Position, is_end: bool) -> Optional[int]:
        if p.value is None:
            return None
        if p.is_time:
            return p.value
        if p.value >= frames:
            if is_end:
                return None  # an end past the last frame is the end
            raise ValueError(f"start {p.text} is past the last frame (the recording holds "
                             f"{frames} frames, 0..{frames - 1})")
        return index[p.value]

    start_pts = resolve(start, False) or 0
    end_pts = resolve(end, True)
    if end_pts is not None and end_pts <= start_pts:
        raise ValueError(f"end {end.text} must come after start {start.text or '0'}")
    if start_pts > index[-1]:
        raise ValueError(f"start {start.text} is past the end of the recording (its last "
                         f"frame is at {index[-1]} us)")
    first = bisect.bisect_left(index, start_pts)
    last = frames if end_pts is None else bisect.bisect_left(index, end_pts, lo=first)
    return list(range(first, last, every))
