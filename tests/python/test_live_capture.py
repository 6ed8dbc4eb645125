"""LiveCapture from Python, driven through the camera test double: the C++
tests' platform back-end opening FFmpeg's lavfi test pattern (paced like a
camera) in place of a device, with a recording control handle."""

import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import kelvo_camera_sdk as k

_testing = pytest.importorskip("kelvo_camera_sdk._native._testing",
                               reason="module built without the tests")

SKU = "STEREO-CAMERA-CORVAN-REGULAR-WIDE-21"
MODE = "640x360@30-YUYV"
PATTERN = "testsrc2=size=640x360:rate=30,format=yuyv422,realtime"
DEFAULTS = {c.name: float(c.default) for c in k.KELVO_CORVAN.platform_controls}


def camera_info():
    return k.KelvoCameraInfo.from_dict({"os_id": "/dev/video-test", "sku": SKU,
                                        "model_name": "test unit", "serial": "SN-1"})


def live(initial_controls=None):
    return k.LiveCapture(camera_info(), mode=k.KELVO_CORVAN.mode_by_slug(MODE),
                         initial_controls=initial_controls)


@pytest.fixture
def fake(request):
    kwargs = getattr(request, "param", {"controls": DEFAULTS})
    camera = _testing.install_fake_camera(PATTERN, "lavfi", **kwargs)
    yield camera
    _testing.restore_camera_backend()


def test_grab_gives_newest_frames_of_the_mode_until_closed(fake):
    src = live()
    with src:
        frames = [src.grab(timeout=5) for _ in range(4)]
        image = src.decode_to_bgr(frames[-1], 640, 360)
    assert fake.opened == [("/dev/video-test", MODE)]
    assert all(len(memoryview(f.payload)) == 640 * 360 * 2 for f in frames)
    sequences = [f.sequence for f in frames]
    assert sequences == sorted(set(sequences)) and sequences[0] >= 1
    assert [f.pts_us for f in frames] == sorted(f.pts_us for f in frames)
    assert src.fourcc == "YUYV" and image.shape == (360, 640, 3) and image.dtype == np.uint8
    assert bytes(frames[0].payload)[:4] != b"\0\0\0\0"  # the view outlives the closed source
    with pytest.raises(RuntimeError, match="LiveCapture not open"):
        src.grab(timeout=0.1)


# (install arguments, initial controls, sets the handle saw, listing checks)
CONTROL_CASES = [
    ({"controls": DEFAULTS, "failing_set": ["gain"]},
     {"auto_exposure": 1, "gain": 40, "exposure": 200},
     [("auto_exposure", 1.0), ("exposure", 200.0)], {"exposure": 200.0, "gain": 32.0}),
    ({"controls": DEFAULTS, "failing_get": ["hue"]}, None, [], {"hue": None, "gamma": 150.0}),
    ({"controls": None}, {"exposure": 100}, None, {}),  # no handle: captures all the same
]


@pytest.mark.parametrize("fake, initial, sets, listed", CONTROL_CASES, indirect=["fake"])
def test_controls_reach_the_handle_and_the_listing(fake, initial, sets, listed):
    src = live(initial)
    with src:
        assert src.grab(timeout=5) is not None
        listing = {c.name: c.current_value for c in src.list_camera_controls()}
        handle = src.camera_controls
        if sets is None:
            assert handle is None and listing == {}
            return
        assert fake.sets == sets
        assert {name: listing[name] for name in listed} == listed
        handle.set("brightness", -3.5)
        assert handle.get("brightness") == -3.5 and fake.values["brightness"] == -3.5
    assert fake.closes == 1  # released by close(), whose error is swallowed
    assert src.camera_controls is None and src.list_camera_controls() == []


def test_fanout_runs_python_on_the_pump_thread_while_python_runs(fake):
    main = threading.get_ident()
    seen = []
    src = live()
    src.add_fanout(lambda f: seen.append((threading.get_ident(), f.sequence, bytes(f.payload[:8]))))
    with src:
        busy = 0
        deadline = time.monotonic() + 10
        while len(seen) < 10 and time.monotonic() < deadline:
            busy += sum(range(1000))  # pure Python: holds the lock between switches
    threads = {t for t, _, _ in seen}
    assert len(seen) >= 10 and main not in threads and len(threads) == 1
    assert [s for _, s, _ in seen] == sorted({s for _, s, _ in seen})


def test_close_inside_a_callback_returns_and_the_source_reopens(fake):
    src = live()
    closed = threading.Event()

    def close_me(frame):
        src.remove_fanout(close_me)
        src.close()
        closed.set()

    src.add_fanout(close_me)
    src.open()
    assert closed.wait(5)
    with pytest.raises(RuntimeError, match="LiveCapture not open"):
        src.grab(timeout=0.1)
    src.open()
    assert src.grab(timeout=5) is not None
    src.close()


# A fan-out callback that reads the source's properties (which take the
# source's locks) while the main thread does the same, pauses, seeks and
# finally closes: a binding that holds the interpreter lock while waiting for
# a kit lock deadlocks here. Run in a child so a hang fails by its timeout.
DEADLOCK_SCRIPT = textwrap.dedent("""
    import faulthandler, sys, threading, time
    import kelvo_camera_sdk as k
    from kelvo_camera_sdk._native import _testing
    faulthandler.dump_traceback_later(50, exit=True)
    kind, path = sys.argv[1], sys.argv[2]
    if kind == "live":
        _testing.install_fake_camera("PATTERN", "lavfi", controls=DEFAULTS)
        src = k.LiveCapture(k.KelvoCameraInfo.from_dict({"os_id": "/dev/v", "sku": "SKU"}),
                            mode=k.KELVO_CORVAN.mode_by_slug("MODE"))
    else:
        src = k.MkvReplay(path, replay_mode="realtime", loop=True)

    def read_all(s):
        return (s.fourcc, s.get_pump_stats(), s.list_camera_controls(), s.active_calibration,
                s.t0_monotonic_ns, s.at_end, s.mode_slug)

    calls = []
    def reader(frame):
        read_all(src)
        if kind == "live":
            src.camera_controls.get("gain")
        else:
            src.current_frame_idx, src.camera_controls_snapshot
        calls.append(frame.sequence)

    src.add_fanout(reader)
    src.open()
    deadline = time.monotonic() + 3
    while time.monotonic() < deadline:
        read_all(src)
        src.grab(timeout=0.01)
        if kind == "replay":
            src.pause(); src.seek_relative_us(-1000); src.resume()
    src.close()
    print(len(calls))
""")


@pytest.mark.parametrize("kind", ["live", "replay"])
def test_callback_reading_the_source_does_not_deadlock(recording, kind):
    script = (DEADLOCK_SCRIPT.replace("PATTERN", PATTERN).replace("MODE", MODE)
              .replace("SKU", SKU).replace("DEFAULTS", repr(DEFAULTS)))
    result = subprocess.run([sys.executable, "-c", script, kind, str(recording)],
                            capture_output=True, text=True, timeout=90)
    assert result.returncode == 0, result.stderr
    assert int(result.stdout.strip()) >= 5
