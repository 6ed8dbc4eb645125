"""The kit's errors arrive as the matching Python exceptions with the same texts."""

import logging

import pytest

import kelvo_camera_sdk as k
from kelvo_camera_sdk import _native
from kelvo_camera_sdk.platform.base import CameraSerialMismatch

CASES = [
    (lambda r: k.MkvReplay(r, replay_mode="fast"), ValueError,
     "replay_mode must be one of ('realtime', 'every_frame'); got 'fast'"),
    (lambda r: k.LiveCapture("/dev/video0"), TypeError,
     "LiveCapture expects a KelvoCameraInfo, got str."),
    (lambda r: k.LiveCapture(k.KelvoCameraInfo(os_id="/dev/null", sku="NOPE")), ValueError, ""),
    (lambda r: k.Calibration.from_dict({"image_size": [1]}), ValueError, ""),
    (lambda r: k.KelvoCameraInfo.from_dict([]), TypeError, ""),
    (lambda r: k.create_inference("no-such-backend"), ValueError, "no-such-backend"),
    (lambda r: k.create_inference("stereo-bm", "1x1"), ValueError, "256x512"),
    (lambda r: k.CaptureMode(width=1, height=1, fps=1, fourcc="MJPG", stereo=False).replace(nope=1),
     TypeError, "unexpected keyword argument 'nope'"),
    (lambda r: k.MkvReplay(r + ".missing", replay_mode="every_frame").open(), RuntimeError,
     "cannot open"),
]


@pytest.mark.parametrize("call, kind, text", CASES)
def test_error_kinds_and_texts(recording, call, kind, text):
    with pytest.raises(kind) as info:
        call(str(recording))
    assert text in str(info.value)


def test_wrong_state_is_a_runtime_error(recording):
    src = k.MkvReplay(str(recording), replay_mode="every_frame", build_frame_index=False)
    src.open()
    with pytest.raises(RuntimeError, match="MkvReplay already opened"):
        src.open()
    with pytest.raises(RuntimeError, match="requires build_frame_index=True"):
        src.step_one_forward()
    src.close()


def test_serial_mismatch_is_its_own_runtime_error():
    assert issubclass(CameraSerialMismatch, RuntimeError)
    assert CameraSerialMismatch is not RuntimeError


def test_log_records_keep_channel_and_level(recording, caplog):
    caplog.set_level(logging.DEBUG, logger="kelvo_camera_sdk")
    k.MkvReplay(str(recording) + ".missing")
    _native._flush_logs()
    records = [r for r in caplog.records if r.name == "kelvo_camera_sdk.mkv_replay"]
    assert records and all(r.levelno >= logging.WARNING for r in records)
