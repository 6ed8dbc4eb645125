"""The interpreter lock: released while the kit blocks, taken by callbacks;
errors in callbacks never stop a pump; exit with running threads is clean."""

import logging
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import kelvo_camera_sdk as k
from kelvo_camera_sdk import _native


def test_python_thread_runs_while_grab_blocks(recording):
    with k.MkvReplay(str(recording), replay_mode="realtime") as src:
        src.pause()
        src.grab(timeout=0.2)  # drain what the pump put in the slot before pausing
        ticks = []
        stop = threading.Event()

        def tick():
            while not stop.is_set():
                ticks.append(1)
                time.sleep(0.005)

        t = threading.Thread(target=tick)
        t.start()
        start = time.monotonic()
        assert src.grab(timeout=0.6) is None
        blocked = time.monotonic() - start
        stop.set()
        t.join()
    assert blocked >= 0.5
    assert len(ticks) > 20  # the other thread ran during the blocking grab


def test_raising_callback_is_logged_and_pump_goes_on(recording, caplog):
    caplog.set_level(logging.ERROR, logger="kelvo_camera_sdk")
    seen = []

    def bad(frame):
        seen.append(frame.sequence)
        raise ValueError("boom from python")

    with k.MkvReplay(str(recording), replay_mode="realtime") as src:
        src.add_fanout(bad)
        deadline = time.monotonic() + 10
        while len(seen) < 4 and time.monotonic() < deadline:
            time.sleep(0.02)
        src.remove_fanout(bad)
        count = len(seen)
        time.sleep(0.2)
        assert len(seen) == count  # removed: called no more
    _native._flush_logs()
    assert len(seen) >= 4 and seen == sorted(seen)
    messages = [r for r in caplog.records if r.name == "kelvo_camera_sdk.mkv_replay"]
    assert any("fanout callback raised (non-fatal)" in r.getMessage()
               and "boom from python" in r.getMessage() for r in messages)
    assert all(r.levelno == logging.ERROR for r in messages)


def test_close_from_inside_a_callback_returns(recording):
    src = k.MkvReplay(str(recording), replay_mode="realtime")
    closed = threading.Event()

    def close_me(frame):
        src.close()
        closed.set()

    src.add_fanout(close_me)
    src.open()
    assert closed.wait(5)
    src.close()
    with pytest.raises(RuntimeError, match="not open"):
        src.grab(timeout=0.1)


def test_packet_callback_and_iteration_of_a_running_pipeline(recording):
    got = []
    src = k.MkvReplay(str(recording), replay_mode="every_frame")
    pipeline = k.Pipeline(src, stop_at_end=True, block_when_full=True,
                          on_packet=lambda p: got.append(p.sequence))
    with pipeline:
        sequences = [p.sequence for p in pipeline]
    assert sequences == list(range(1, 13)) and got == sequences


EXIT_SCRIPT = textwrap.dedent("""
    import sys, kelvo_camera_sdk as k
    frames = []
    replay = k.MkvReplay(sys.argv[1], replay_mode="realtime", loop=True)
    replay.add_fanout(lambda f: frames.append(f.sequence))
    replay.open()
    pipeline = k.Pipeline(k.MkvReplay(sys.argv[1], replay_mode="realtime", loop=True),
                          on_packet=lambda p: None)
    pipeline.start()
    assert pipeline.get_packet(timeout=10) is not None
    print("running", flush=True)
""")


def test_interpreter_exit_with_open_replay_and_running_pipeline(recording):
    result = subprocess.run([sys.executable, "-c", EXIT_SCRIPT, str(recording)],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "running"
    assert "Traceback" not in result.stderr and "terminate" not in result.stderr
