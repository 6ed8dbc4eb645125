"""The calibration tools from Python give what the `kelvo` command gives:
the same report for the same board views, the same health check and
correction of a recording; and LiveCapture takes a calibration file."""

import json
import subprocess
from pathlib import Path

import pytest

import kelvo_camera_sdk as k
from kelvo_camera_sdk import calibration as cal

SAMPLES = Path("/usr/share/doc/opencv-doc/examples/data")
SKU = "STEREO-CAMERA-CORVAN-REGULAR-WIDE-21"


def samples_or_skip():
    if not (SAMPLES / "left01.jpg").exists():
        pytest.skip("opencv-doc's sample images are not installed")


def test_calibrate_gives_the_commands_report(tmp_path, kelvo):
    samples_or_skip()
    left, right = str(SAMPLES / "left[0-9][0-9].jpg"), str(SAMPLES / "right[0-9][0-9].jpg")
    outcome = cal.calibrate("chessboard:9x6", 0.025, tmp_path / "py", left=left, right=right)
    assert outcome.good, outcome.report["problems"]
    assert isinstance(outcome.calibration, k.Calibration)
    subprocess.run([kelvo, "calibrate", "--left", left, "--right", right, "--board",
                    "chessboard:9x6", "--square", "0.025", "--out", str(tmp_path / "cli"),
                    "--quiet"], check=True, stdout=subprocess.DEVNULL)
    assert outcome.report == json.loads((tmp_path / "cli" / "report.json").read_text())
    written = json.loads((tmp_path / "py" / "calibration.json").read_text())
    assert written == outcome.calibration.to_dict()
    assert outcome.report["rms_px"] < 0.4


def test_a_poor_calibration_writes_no_calibration(tmp_path):
    samples_or_skip()
    lefts = sorted(SAMPLES.glob("left0[1-3].jpg"))
    rights = sorted(SAMPLES.glob("right0[1-3].jpg"))
    outcome = cal.calibrate("chessboard:9x6", 0.025, tmp_path, left=lefts, right=rights)
    assert not outcome.good and outcome.calibration is None
    assert "too few views" in outcome.report["problems"][0]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["report.json"]


@pytest.mark.parametrize("kwargs, says", [
    (dict(board="chessboard:9x6", square=0.0), "positive"),
    (dict(board="hexagon:9x6", square=0.025), "unknown board"),
    (dict(board="chessboard:9x6", square=0.025, pairs="/nonexistent/*.png"), "matches no file"),
    (dict(board="chessboard:9x6", square=0.025, left="/nonexistent/*.png"), "matches no file"),
])
def test_bad_arguments_are_value_errors(tmp_path, kwargs, says):
    kwargs.setdefault("pairs", str(SAMPLES / "left01.jpg"))
    with pytest.raises(ValueError, match=says):
        cal.calibrate(out=tmp_path / "x", **kwargs)
    assert not (tmp_path / "x").exists()


def test_check_and_correct_match_the_command(tmp_path, kelvo, recording):
    report = cal.check(recording, window=0.2)
    cli = subprocess.run([kelvo, "calibration", str(recording), "--check", "--window", "0.2",
                          "--quiet"], check=True, capture_output=True, text=True)
    assert report == json.loads(cli.stdout)
    assert report["verdict"] == "good"
    fixed = tmp_path / "fixed.mkv"
    result = cal.correct(recording, fixed, update_at=0, window=0.2)
    assert result["correction"]["vertical_after_px"] < 0.5
    assert fixed.exists()
    with pytest.raises(RuntimeError, match="exists"):
        cal.correct(recording, fixed, window=0.2)


def test_live_capture_takes_a_calibration_file(tmp_path):
    info = k.KelvoCameraInfo.from_dict({"os_id": "/dev/video-test", "sku": SKU})
    own = {"image_size": [640, 360],
           "left": {"camera_matrix": [[500, 0, 320], [0, 500, 180], [0, 0, 1]],
                    "dist_coeffs": [0, 0, 0, 0, 0]},
           "right": {"camera_matrix": [[500, 0, 320], [0, 500, 180], [0, 0, 1]],
                     "dist_coeffs": [0, 0, 0, 0, 0]},
           "R": [[1, 0, 0], [0, 1, 0], [0, 0, 1]], "T": [-0.07, 0, 0]}
    path = tmp_path / "calibration.json"
    path.write_text(json.dumps(own))
    src = k.LiveCapture(info, calibration=path)
    assert src.base_calibration.to_dict()["T"] == [-0.07, 0, 0]
    assert src.camera_info.to_dict()["base_calibration"]["T"] == [-0.07, 0, 0]
    path.write_text("{}")
    with pytest.raises(ValueError, match="not a calibration"):
        k.LiveCapture(info, calibration=path)
