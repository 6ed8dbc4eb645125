"""Replay and pipeline results equal what the `kelvo` command reports for
the same recording."""

import subprocess

import numpy as np
import pytest

import kelvo_camera_sdk as k
from command_outputs import read_float_tiff, run_json_lines


def control_values(source):
    return {c.name: c.current_value for c in source.list_camera_controls()
            if c.current_value is not None}


def test_every_frame_replay_matches_kelvo_replay_json(recording, kelvo):
    expected = run_json_lines([kelvo, "replay", str(recording), "--json"])
    seen = []
    with k.MkvReplay(str(recording), replay_mode="every_frame") as src:
        for frame in src:
            calibration = src.active_calibration
            seen.append({
                "sequence": frame.sequence,
                "pts_us": frame.pts_us,
                "source_frame_idx": frame.source_frame_idx,
                "size": len(frame.payload),
                "calibration": calibration.to_dict() if calibration else None,
                "controls": control_values(src),
            })
    assert len(seen) == len(expected) == 12
    assert seen == expected
    # The recording carries a calibration update: not every frame has the factory one.
    assert len({str(s["calibration"]) for s in seen}) > 1


def test_stereo_bm_disparity_equals_kelvo_depth(recording, kelvo, tmp_path):
    subprocess.run([kelvo, "depth", str(recording), "--backend", "stereo-bm", "--out",
                    str(tmp_path), "--quiet"], check=True, stdout=subprocess.DEVNULL)
    src = k.MkvReplay(str(recording), replay_mode="every_frame")
    # `kelvo depth` asks for no colour eyes, so the matcher gets the grey route.
    with k.Pipeline(src, backend="stereo-bm", stop_at_end=True, block_when_full=True,
                    rectified_images=False) as pipeline:
        packets = list(pipeline)
    assert len(packets) == 12
    for packet in packets:
        assert packet.rectified_left is None and packet.rectified_right is None
        expected = read_float_tiff(tmp_path / ("disparity_%06d.tiff" % packet.source_frame_idx))
        got = packet.disparity
        assert got.dtype == np.float32 and got.shape == expected.shape
        np.testing.assert_array_equal(np.isnan(got), np.isnan(expected))
        np.testing.assert_array_equal(got[~np.isnan(got)], expected[~np.isnan(expected)])


def test_seek_and_steps_land_on_exact_frames(recording):
    with k.MkvReplay(str(recording), replay_mode="every_frame") as src:
        index = src.frame_index()
        src.seek_relative_us(index[5])
        assert src.grab().source_frame_idx == 5
        src.step_one_forward()
        assert src.current_frame_idx == 6
        src.step_one_backward()
        src.step_one_backward()
        assert src.current_frame_idx == 4
