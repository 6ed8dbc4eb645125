"""Each packet's confidence map: NumPy uint8 over the kit's own memory, of the
map's shape, a hole (0) exactly where the map has no estimate, and None
where there is no map to trust."""

import gc

import numpy as np
import pytest

import kelvo_camera_sdk as k


def packets(recording, backend, *, streams_off=(), count=None):
    src = k.MkvReplay(str(recording), replay_mode="every_frame")
    pipeline = k.Pipeline(src, backend=backend, stop_at_end=True, block_when_full=True,
                          rectified_images=False)
    for stream in streams_off:  # before the first frame
        pipeline.set_stream_enabled(stream, False)
    with pipeline:
        got = list(pipeline)
    return got[:count] if count else got


@pytest.mark.parametrize("backend", ["stereo-bm", "stereo-sgbm"])
def test_confidence_is_uint8_of_the_map_shape_with_holes_where_the_map_has_none(recording,
                                                                                backend):
    got = packets(recording, backend)
    assert len(got) == 12
    for packet in got:
        confidence, disparity = packet.confidence, packet.disparity
        assert confidence.dtype == np.uint8 and confidence.ndim == 2
        assert confidence.shape == disparity.shape
        np.testing.assert_array_equal(confidence == 0, np.isnan(disparity))
        # Textured planes: most of the frame is matched and trusted.
        assert (confidence > 0).mean() > 0.5


def test_confidence_shares_the_packet_memory_and_outlives_the_pipeline(recording):
    src = k.MkvReplay(str(recording), replay_mode="every_frame")
    pipeline = k.Pipeline(src, stop_at_end=True, block_when_full=True)
    pipeline.start()
    packet = pipeline.get_packet(timeout=10)
    a, b = packet.confidence, packet.confidence
    assert np.shares_memory(a, b) and not a.flags.owndata
    snapshot = a.copy()
    pipeline.stop()
    del packet, pipeline, src
    gc.collect()
    # Freed memory would be reused by the allocations below.
    junk = [np.full(a.shape, 7, np.uint8) for _ in range(8)]
    np.testing.assert_array_equal(a, snapshot)
    del junk


@pytest.mark.parametrize("backend, streams_off, map_field", [
    ("rectify-passthrough", (), None),  # no map, so nothing to trust
    ("stereo-bm", ("confidence",), "disparity"),  # the map without its confidence
])
def test_confidence_is_none_without_a_map_or_with_its_stream_off(recording, backend,
                                                                 streams_off, map_field):
    got = packets(recording, backend, streams_off=streams_off, count=2)
    assert got
    for packet in got:
        assert packet.confidence is None
        if map_field:
            assert getattr(packet, map_field) is not None
