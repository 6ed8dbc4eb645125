"""A position means the same from Python as on the command line: for odd
texts, `kelvo replay --start` and the package's parser accept the same ones,
land on the same frame, and refuse the others with the same words."""

import bisect
import json
import subprocess

import pytest

from kelvo_camera_sdk._native import MkvReplay, parse_position

ODD = ["0", "00011", "00012", "-1", "+3", " 5", "2.5us", "33333.5us", "33334us", "0.1s",
       ".2s", "100ms", "1.5e3ms", "1e-400s", "1e300s", "1e400s", "-1s", "-0s", "infs", "nans",
       "0x1p-2s", "1h", "2.5", "12 s", "s", "9223372036854775808"]


@pytest.fixture(scope="module")
def index(recording):
    replay = MkvReplay(str(recording))
    replay.open()
    try:
        return list(replay.frame_index())
    finally:
        replay.close()


@pytest.mark.parametrize("text", ODD)
def test_same_answer_as_the_command_line(kelvo, recording, index, text):
    run = subprocess.run([kelvo, "replay", str(recording), "--mode", "every_frame", "--json",
                          "--max-frames", "1", f"--start={text}"],
                         capture_output=True, text=True)
    try:
        # The command line's option check names the value so, after the option.
        is_time, value = parse_position(text, "the value")
    except ValueError as refusal:
        assert run.returncode == 2, run.stdout
        assert f"--start: {refusal}\n" in run.stderr
        return
    if not is_time:
        if value >= len(index):
            assert run.returncode == 1 and "past the last frame" in run.stderr
            return
        value = index[value]
    first = bisect.bisect_left(index, value)
    if first == len(index):
        assert run.returncode == 1 and "past the end of the recording" in run.stderr
        return
    assert run.returncode == 0, run.stderr
    assert json.loads(run.stdout.splitlines()[0])["source_frame_idx"] == first
