"""RecordingManager from Python: a recording of a replay made through the
pipeline, with pauses, read back frame by frame by MkvReplay."""

import subprocess

import pytest

import kelvo_camera_sdk as k

FRAMES = 30


@pytest.fixture(scope="module")
def long_recording(tmp_path_factory, kelvo):
    out = tmp_path_factory.mktemp("long")
    subprocess.run([kelvo, "demo", "--out", str(out), "--frames", str(FRAMES), "--quiet"],
                   check=True, stdout=subprocess.DEVNULL)
    return out / "demo.mkv"


def frames_of(path):
    with k.MkvReplay(str(path), replay_mode="every_frame") as src:
        return [(bytes(f.payload), f.pts_us) for f in src]


# Steps at which to pause and resume (None: never). The replay is paused and
# stepped frame by frame, each step awaited as a packet, so every frame's
# state (recording or paused) is exact. A realtime replay offers each frame
# twice (pump and worker); the recording keeps it once.
PAUSES = [(None, None), (4, 9), (0, 1)]
STEPS = 14


@pytest.mark.parametrize("pause_at, resume_at", PAUSES)
def test_recording_of_a_replay_reads_back_with_the_same_frames(long_recording, tmp_path,
                                                               pause_at, resume_at):
    original = frames_of(long_recording)
    assert len(original) == FRAMES and len({p for p, _ in original}) == FRAMES
    src = k.MkvReplay(str(long_recording), replay_mode="realtime")
    info = src.open()
    src.pause()
    while src.grab(timeout=0.2) is not None:
        pass
    pipeline = k.Pipeline(src, backend="rectify-passthrough", manage_source=False,
                          camera_info=info)
    manager = k.RecordingManager(pipeline)
    pipeline.set_recording_controller(manager)
    pipeline.start()
    out = tmp_path / "copy.mkv"
    identity = src.embedded_camera_info()
    manager.start(str(out), camera_controls={"exposure": 120}, camera_info_payload=identity)
    with pytest.raises(RuntimeError, match="recording already in progress"):
        manager.start(str(tmp_path / "other.mkv"))
    expected = []
    for step in range(STEPS):
        if step == pause_at:
            manager.pause()
            assert manager.is_paused and manager.status()["is_paused"]
        if step == resume_at:
            manager.resume()
            assert not manager.is_paused
        src.step_one_forward()
        packet = pipeline.get_packet(timeout=10)
        if not manager.is_paused:
            expected.append(packet.source_frame_idx)
    result = manager.stop()
    pipeline.stop()
    src.close()
    assert not manager.is_running and manager.status() is None
    with pytest.raises(RuntimeError, match="not recording"):
        manager.stop()

    copy = frames_of(out)
    assert result["frames_written"] == len(copy) == len(expected)
    index = {payload: i for i, (payload, _) in enumerate(original)}
    assert [index[payload] for payload, _ in copy] == expected
    first_pts = original[expected[0]][1]
    assert [pts for _, pts in copy] == [original[i][1] - first_pts for i in expected]
    with k.MkvReplay(str(out), replay_mode="every_frame") as back:
        assert back.embedded_camera_info() == identity
        assert back.camera_controls_snapshot == {"exposure": 120}
