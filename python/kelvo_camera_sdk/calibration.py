"""Stereo calibration and canvas fitting, and the calibration tools.

``calibrate`` makes a calibration from views of a board, ``check`` judges the
calibration a recording has in force, ``correct`` writes a copy of a
recording with a correction of it; each gives what the ``kelvo calibrate``
and ``kelvo calibration --check/--correct`` commands print.
"""

import os
from typing import NamedTuple, Optional, Sequence, Union

from ._native import Calibration, CanvasLayout, fit_layout
from ._native import _calibrate, _check, _correct

__all__ = [
    "Calibration",
    "CanvasLayout",
    "fit_layout",
    "CalibrationOutcome",
    "calibrate",
    "check",
    "correct",
]

Files = Union[str, Sequence[Union[str, os.PathLike]]]


class CalibrationOutcome(NamedTuple):
    """A calibration (None when the verdict is poor) and its report."""

    calibration: Optional[Calibration]
    report: dict

    @property
    def good(self) -> bool:
        return self.report["verdict"] == "good"


def calibrate(
    board: str,
    square: float,
    out: Union[str, os.PathLike],
    *,
    recording: Optional[Union[str, os.PathLike]] = None,
    pairs: Optional[Files] = None,
    left: Optional[Files] = None,
    right: Optional[Files] = None,
    marker: Optional[float] = None,
    force: bool = False,
) -> CalibrationOutcome:
    """Calibrates from a recording of the board (every frame), side-by-side
    ``pairs`` or ``left``/``right`` images (a glob or a list of paths), and
    writes ``out``/report.json and, only when the result is good,
    calibration.json and calibration.yaml. ValueError for bad arguments."""
    calibration, report = _calibrate(
        board, float(square), marker, out, recording, pairs, left, right, force
    )
    return CalibrationOutcome(calibration, report)


def check(recording: Union[str, os.PathLike], window: float = 2.0) -> dict:
    """``{"verdict", "windows": [...]}`` of the calibration in force."""
    return _check(recording, float(window))


def correct(
    recording: Union[str, os.PathLike],
    out: Union[str, os.PathLike],
    update_at: Optional[int] = None,
    window: float = 2.0,
    force: bool = False,
) -> dict:
    """Checks, then writes ``out`` with the corrected calibration as an update
    at ``update_at`` microseconds; the check with its ``"correction"``."""
    return _correct(recording, out, update_at, float(window), force)
