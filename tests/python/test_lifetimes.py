"""Arrays and payload views keep their memory alive without copies."""

import gc

import numpy as np
import pytest

import kelvo_camera_sdk as k


def test_payload_view_outlives_source_and_frame(recording):
    src = k.MkvReplay(str(recording), replay_mode="every_frame")
    src.open()
    frame = src.grab()
    view = frame.payload
    as_array = np.frombuffer(view, np.uint8)
    first = bytes(view[:16])
    # The frame itself is the buffer: every view shares its bytes, none may write.
    assert np.shares_memory(as_array, np.frombuffer(memoryview(frame), np.uint8))
    with pytest.raises(TypeError):
        view[0] = 0
    src.close()
    del frame, src
    gc.collect()
    assert view.readonly and bytes(view[:16]) == first and as_array[:2].tolist() == [0xFF, 0xD8]
    assert np.shares_memory(as_array, np.frombuffer(view, np.uint8))


def test_packet_maps_share_memory_and_outlive_the_pipeline(recording):
    src = k.MkvReplay(str(recording), replay_mode="every_frame")
    pipeline = k.Pipeline(src, stop_at_end=True, block_when_full=True)
    pipeline.start()
    packet = pipeline.get_packet(timeout=10)
    a, b = packet.disparity, packet.disparity
    left = packet.rectified_left
    assert np.shares_memory(a, b) and not a.flags.owndata
    assert left.shape == (360, 640, 3) and left.dtype == np.uint8
    snapshot = a.copy()
    pipeline.stop()
    del packet, pipeline, src
    gc.collect()
    # Freed memory would be reused by the allocations below.
    junk = [np.full(a.shape, 7.0, np.float32) for _ in range(8)]
    np.testing.assert_array_equal(a, snapshot)
    del junk


def test_numpy_blob_reaches_the_matcher_without_copy_and_stays_alive():
    backend = k.create_inference("stereo-bm", "256x512")
    rng = np.random.default_rng(1)
    left = rng.integers(0, 255, (256, 512, 3), np.uint8)
    right = np.roll(left, -8, axis=1)
    disparity = backend.compute(left, right)
    assert disparity.shape == (256, 512)
    assert np.nanmedian(disparity[:, 100:400]) == pytest.approx(8, abs=1)
    # A non-contiguous view is copied, not misread.
    strided = backend.compute(np.asfortranarray(left), right)
    np.testing.assert_array_equal(strided, disparity)
