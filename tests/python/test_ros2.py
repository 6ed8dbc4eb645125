"""ROS 2 bags: an export read back with another library (mcap with
mcap-ros2-support) than the one that wrote it (rosbags); imports of bags
written by another library (rosbags) than the one that reads MCAP for the
import (mcap); and a recording taken through a bag and back.

The libraries come with the package's ros2 extra, which the test
environment installs: without them these tests fail, they do not skip."""

import json
import subprocess

import numpy as np
import pytest
from mcap.reader import make_reader
from mcap_ros2.decoder import DecoderFactory
from rosbags.rosbag2 import StoragePlugin, Writer
from ruamel.yaml import YAML

from command_outputs import read_png16
from kelvo_camera_sdk import _native, ros2
from kelvo_camera_sdk.ros2 import messages as msgs

PER_FRAME = {
    msgs.LEFT_COMPRESSED: msgs.COMPRESSED_IMAGE,
    msgs.RIGHT_COMPRESSED: msgs.COMPRESSED_IMAGE,
    msgs.LEFT_INFO: msgs.CAMERA_INFO,
    msgs.RIGHT_INFO: msgs.CAMERA_INFO,
    msgs.DEPTH: msgs.IMAGE,
    msgs.DEPTH_INFO: msgs.CAMERA_INFO,
    msgs.POINTS: msgs.POINT_CLOUD,
}


def stamp_ns(msg):
    return msg.header.stamp.sec * 1_000_000_000 + msg.header.stamp.nanosec


def read_bag(folder):
    """{topic: (type, [(log_time, message)])}, read with mcap."""
    files = sorted(folder.glob("*.mcap"))
    assert len(files) == 1 and (folder / "metadata.yaml").is_file()
    out = {}
    with open(files[0], "rb") as f:
        reader = make_reader(f, decoder_factories=[DecoderFactory()])
        for schema, channel, message, decoded in reader.iter_decoded_messages():
            out.setdefault(channel.topic, (schema.name, []))[1].append((message.log_time, decoded))
    return out


def recording_frames(path):
    replay = _native.MkvReplay(str(path), replay_mode="every_frame", build_frame_index=True)
    info = replay.open()
    frames = []
    while (f := replay.grab()) is not None:
        frames.append((f.pts_us, bytes(f.payload), f.calibration,
                       replay.decode_to_bgr(f.payload, info.width, info.height)))
    out = dict(t0=replay.t0_utc_ns, frames=frames, history=replay.calibration_history(),
               base=replay.base_calibration)
    replay.close()
    return out


def assert_same_eye(ours, theirs, cut_column, cut_levels=8):
    """Pixel for pixel but for the column at the cut, where chroma
    upsampling sees another neighbour (a few levels on camera images)."""
    assert ours.shape == theirs.shape
    keep = np.ones(ours.shape[1], bool)
    keep[cut_column] = False
    assert np.array_equal(ours[:, keep], theirs[:, keep])
    assert np.abs(ours.astype(int) - theirs.astype(int)).max() <= cut_levels


@pytest.fixture(scope="module")
def source(recording):
    rec = recording_frames(recording)
    assert rec["history"], "the demo recording carries a calibration update"
    return rec


@pytest.fixture(scope="module")
def exported(tmp_path_factory, kelvo, recording):
    out = tmp_path_factory.mktemp("ros2") / "bag"
    run = subprocess.run([kelvo, "ros2", "export", str(recording), str(out), "--backend",
                          "stereo-bm", "--points", "--json"], check=True, capture_output=True,
                         text=True)
    return out, json.loads(run.stdout), read_bag(out)


def test_topics_types_and_counts(exported, source):
    out, summary, bag = exported
    n = len(source["frames"])
    assert summary["frames"] == n and summary["out"] == str(out)
    assert summary["topics"] == {t: len(m) for t, (_, m) in bag.items()}
    for topic, msgtype in PER_FRAME.items():
        assert bag[topic][0] == msgtype, topic
        assert len(bag[topic][1]) == n, topic
    if msgs.CONFIDENCE in bag:
        assert bag[msgs.CONFIDENCE][0] == msgs.IMAGE and len(bag[msgs.CONFIDENCE][1]) == n
    # The transforms at the start and again at the calibration update.
    assert bag[msgs.TF_STATIC][0] == msgs.TF_MESSAGE
    assert len(bag[msgs.TF_STATIC][1]) == 1 + len(source["history"])
    assert bag[msgs.CAMERA_STATE][0] == msgs.STRING
    for _, m in bag[msgs.CAMERA_STATE][1]:
        assert isinstance(json.loads(m.data), dict)


def test_stamps_are_the_frames_wall_clock_times(exported, source):
    _, _, bag = exported
    expected = [source["t0"] + pts * 1000 for pts, *_ in source["frames"]]
    for topic in PER_FRAME:
        got = [(t, stamp_ns(m)) for t, m in bag[topic][1]]
        assert got == [(e, e) for e in expected], topic


def test_camera_info_follows_the_calibration_in_force(exported, source):
    _, _, bag = exported
    frames = source["frames"]
    eye_hw = (frames[0][3].shape[0], frames[0][3].shape[1] // 2)
    update_us = source["history"][0][0]
    before = [i for i, f in enumerate(frames) if f[0] < update_us]
    after = [i for i, f in enumerate(frames) if f[0] >= update_us]
    assert before and after, "the update falls inside the exported frames"
    for i, (_, _, calibration, _) in enumerate(frames):
        rect = _native._rectification(calibration, eye_hw)
        left, right = bag[msgs.LEFT_INFO][1][i][1], bag[msgs.RIGHT_INFO][1][i][1]
        depth = bag[msgs.DEPTH_INFO][1][i][1]
        for info, k, d, r, p in ((left, "K1", "D1", "R1", "P1"), (right, "K2", "D2", "R2", "P2")):
            assert (info.width, info.height) == (eye_hw[1], eye_hw[0])
            assert info.distortion_model == "plumb_bob" and len(info.d) == 5
            np.testing.assert_allclose(info.k, rect[k].ravel(), rtol=1e-12)
            np.testing.assert_allclose(info.d, rect[d].ravel()[:5], rtol=1e-12)
            np.testing.assert_allclose(info.r, rect[r].ravel(), rtol=1e-12)
            np.testing.assert_allclose(info.p, rect[p].ravel(), rtol=1e-12)
        # The right projection carries the baseline: P[0,3] = -fx' * baseline.
        assert right.p[3] == pytest.approx(-right.p[0] * rect["baseline_m"], rel=1e-9)
        np.testing.assert_allclose(depth.p, rect["P1"].ravel(), rtol=1e-12)
        assert depth.header.frame_id == msgs.LEFT_RECT_FRAME

    def models(i):
        return [tuple(np.concatenate([m.d, m.k, m.r, m.p])) for m in
                (bag[msgs.LEFT_INFO][1][i][1], bag[msgs.RIGHT_INFO][1][i][1])]

    assert models(after[0]) != models(before[-1]), "the update shows in the very next message"


def test_transforms_between_the_eyes(exported, source):
    _, _, bag = exported
    tf = bag[msgs.TF_STATIC][1][-1][1].transforms
    by_child = {t.child_frame_id: t for t in tf}
    assert {t.header.frame_id for t in tf} == {msgs.LEFT_FRAME}
    right = by_child[msgs.RIGHT_FRAME].transform
    calibration = source["frames"][-1][2]
    r, t = np.asarray(calibration.R), np.asarray(calibration.T).ravel()
    np.testing.assert_allclose([right.translation.x, right.translation.y, right.translation.z],
                               -r.T @ t, atol=1e-12)
    q = right.rotation
    np.testing.assert_allclose(msgs.quaternion(r.T), [q.x, q.y, q.z, q.w], atol=1e-12)
    assert msgs.LEFT_RECT_FRAME in by_child


def test_eyes_are_the_recorded_eyes(exported, source):
    out, _, bag = exported
    eyes = json.loads(_custom_data(out)["kelvo.eyes"])
    assert eyes["left"]["reencoded"] == 0 and eyes["right"]["reencoded"] == 0
    for i, (_, _, _, frame) in enumerate(source["frames"][:3]):
        half = frame.shape[1] // 2
        left = _native._decode_image(bytes(bag[msgs.LEFT_COMPRESSED][1][i][1].data))
        right = _native._decode_image(bytes(bag[msgs.RIGHT_COMPRESSED][1][i][1].data))
        assert bag[msgs.LEFT_COMPRESSED][1][i][1].format == "jpeg"
        assert_same_eye(left, frame[:, :half], half - 1)
        assert_same_eye(right, frame[:, half:], 0)


def _custom_data(folder):
    doc = YAML(typ="safe").load((folder / "metadata.yaml").read_text())
    return doc["rosbag2_bagfile_information"]["custom_data"]


def test_depth_is_kelvo_exports_and_points_lie_on_it(exported, source, kelvo, recording,
                                                     tmp_path):
    _, _, bag = exported
    subprocess.run([kelvo, "export", str(recording), "--backend", "stereo-bm", "--what", "depth",
                    "--out", str(tmp_path / "ref"), "--quiet"], check=True,
                   stdout=subprocess.DEVNULL)
    for i in (0, len(source["frames"]) - 1):
        msg = bag[msgs.DEPTH][1][i][1]
        assert msg.encoding == "32FC1" and msg.header.frame_id == msgs.LEFT_RECT_FRAME
        depth = np.frombuffer(bytes(msg.data), "<f4").reshape(msg.height, msg.width)
        ref = read_png16(tmp_path / "ref" / ("depth_%06d.png" % i)).astype(np.float64)
        known = ref > 0
        assert known.mean() > 0.05, "the reference has depth to compare"
        assert np.all(np.abs(depth[known] * 1000.0 - ref[known]) <= 0.5 + 1e-3)
        assert not np.any((depth[~known] > 0) & (depth[~known] < 65.5))
        cloud = bag[msgs.POINTS][1][i][1]
        assert [f.name for f in cloud.fields] == ["x", "y", "z", "rgb"]
        pts = np.frombuffer(bytes(cloud.data), "<f4").reshape(-1, 4)
        finite = np.isfinite(depth) & (depth > 0)
        assert len(pts) == finite.sum()
        np.testing.assert_array_equal(np.sort(pts[:, 2]), np.sort(depth[finite]))


def _write_bag(path, storage, frames, calibrations, drop_right, eye_hw):
    """A bag written by rosbags: compressed eyes and CameraInfo at 10 fps,
    the calibration switching at frame len(frames)//2."""
    builder = msgs.Builder()
    store = builder.store
    start = 1_700_000_000_000_000_000
    period = 100_000_000
    with Writer(path, version=8, storage_plugin=storage) as w:
        conns = {t: w.add_connection(t, ty, typestore=store) for t, ty in (
            ("/cam/left/image/compressed", msgs.COMPRESSED_IMAGE),
            ("/cam/right/image/compressed", msgs.COMPRESSED_IMAGE),
            ("/cam/left/camera_info", msgs.CAMERA_INFO),
            ("/cam/right/camera_info", msgs.CAMERA_INFO))}
        for i, payload in enumerate(frames):
            t = start + i * period + (i % 3) * 1000  # stamps not on a grid
            models = msgs.stereo_models(calibrations[i >= len(frames) // 2], eye_hw)
            left, right, *_ = _native._split_eyes(payload)
            w.write(conns["/cam/left/camera_info"], t,
                    builder.camera_info(t, "l", models.left))
            w.write(conns["/cam/right/camera_info"], t,
                    builder.camera_info(t, "r", models.right))
            w.write(conns["/cam/left/image/compressed"], t, builder.compressed(t, "l", left))
            if i != drop_right:
                # The right camera's stamp a little off the left's.
                w.write(conns["/cam/right/image/compressed"], t + 2_000_000,
                        builder.compressed(t + 2_000_000, "r", right))
    return start, period


def _shifted(calibration):
    d = calibration.to_dict()
    d["left"]["camera_matrix"][0][0] *= 1.01
    d["T"][0] *= 1.05
    return _native.Calibration.from_dict(d)


def assert_calibration_close(got, expected):
    g, e = got.to_dict(), expected.to_dict()
    assert g["image_size"] == e["image_size"]
    for key in ("R", "T"):
        np.testing.assert_allclose(g[key], e[key], atol=1e-9)
    for eye in ("left", "right"):
        np.testing.assert_allclose(g[eye]["camera_matrix"], e[eye]["camera_matrix"], rtol=1e-12)
        np.testing.assert_allclose(g[eye]["dist_coeffs"], e[eye]["dist_coeffs"], atol=1e-15)


@pytest.mark.parametrize("storage", [StoragePlugin.MCAP, StoragePlugin.SQLITE3])
def test_import_of_a_bag_another_library_wrote(tmp_path, source, storage):
    frames = [f[1] for f in source["frames"][:8]]
    first = source["frames"][0][3]
    eye_hw = (first.shape[0], first.shape[1] // 2)
    calibrations = (source["base"], _shifted(source["base"]))
    start, period = _write_bag(tmp_path / "bag", storage, frames, calibrations, 5, eye_hw)
    result = ros2.import_bag(tmp_path / "bag", tmp_path / "out.mkv",
                             left="/cam/left/image/compressed",
                             right="/cam/right/image/compressed")
    assert (result.frames, result.unpaired, result.calibrations) == (7, 1, 2)
    got = recording_frames(tmp_path / "out.mkv")
    kept = [i for i in range(8) if i != 5]
    assert got["t0"] == start
    assert [p for p, *_ in got["frames"]] == [(i * period + (i % 3) * 1000) // 1000 for i in kept]
    # The eyes joined block by block give back the very frame they were cut from.
    for (_, _, _, image), i in zip(got["frames"], kept):
        assert np.array_equal(image, source["frames"][i][3])
    assert_calibration_close(got["base"], calibrations[0])
    assert [t for t, _ in got["history"]] == [(4 * period + (4 % 3) * 1000) // 1000]
    assert_calibration_close(_native.Calibration.from_dict(got["history"][0][1]), calibrations[1])


def test_round_trip_through_a_bag(exported, source, tmp_path, kelvo):
    out, _, _ = exported
    run = subprocess.run([kelvo, "ros2", "import", str(out), str(tmp_path / "back.mkv"),
                          "--left", msgs.LEFT_COMPRESSED, "--right", msgs.RIGHT_COMPRESSED,
                          "--json"], check=True, capture_output=True, text=True)
    summary = json.loads(run.stdout)
    assert summary == {"frames": len(source["frames"]), "unpaired": 0,
                       "calibrations": 1 + len(source["history"]),
                       "out": str(tmp_path / "back.mkv")}
    back = recording_frames(tmp_path / "back.mkv")
    assert back["t0"] == source["t0"]
    assert [f[0] for f in back["frames"]] == [f[0] for f in source["frames"]]
    for ours, theirs in zip(back["frames"], source["frames"]):
        assert np.array_equal(ours[3], theirs[3])
    assert_calibration_close(back["base"], source["base"])
    assert [t for t, _ in back["history"]] == [t for t, _ in source["history"]]
    for (_, got), (_, expected) in zip(back["history"], source["history"]):
        assert_calibration_close(_native.Calibration.from_dict(got),
                                 _native.Calibration.from_dict(expected))


@pytest.mark.parametrize("call, options, error, text", [
    (ros2.export, dict(points=True), ValueError, "need a depth back-end"),
    (ros2.export, dict(every=0), ValueError, "every must be at least 1"),
    (ros2.export, dict(start="99"), ValueError, "past the last frame"),
    (ros2.export, dict(backend="rectify-passthrough"), ValueError, "computes no depth"),
    (ros2.import_bag, dict(left="/a", right="/b"), FileNotFoundError, "does not exist"),
])
def test_bad_requests_are_refused_and_write_nothing(recording, tmp_path, call, options, error,
                                                    text):
    target = tmp_path / "out"
    given = recording if call is ros2.export else tmp_path / "no_bag"
    with pytest.raises(error, match=text):
        call(given, target, **options)
    assert list(tmp_path.iterdir()) == []


def test_existing_outputs_are_kept_without_force(exported, tmp_path, recording):
    out, _, _ = exported
    keep = tmp_path / "notes"
    keep.mkdir()
    (keep / "a.txt").write_text("mine")
    with pytest.raises(FileExistsError, match="use --force"):
        ros2.export(recording, keep, max_frames=1)
    with pytest.raises(FileExistsError, match="not a bag's"):
        ros2.export(recording, keep, max_frames=1, force=True)
    assert (keep / "a.txt").read_text() == "mine"
    with pytest.raises(ValueError, match="no topic /nope"):
        ros2.import_bag(out, tmp_path / "x.mkv", left="/nope", right=msgs.RIGHT_COMPRESSED)
    assert not (tmp_path / "x.mkv").exists()


def test_raw_yuyv_recordings_export_raw_images(tmp_path):
    rng = np.random.default_rng(7)
    writer = _native._RecordingWriter(str(tmp_path / "yuyv.mkv"), width=64, height=16,
                                      camera_info_payload={}, source_fourcc="YUYV",
                                      t0_utc_ns=10**18)
    writer.start()
    for i in range(3):
        writer.feed(rng.integers(0, 256, 64 * 16 * 2, dtype=np.uint8).tobytes(), i * 33_333)
    writer.stop()
    result = ros2.export(tmp_path / "yuyv.mkv", tmp_path / "bag")
    bag = read_bag(tmp_path / "bag")
    got = recording_frames(tmp_path / "yuyv.mkv")
    assert result.frames == 3 and msgs.LEFT_INFO not in bag
    for name, cut in ((msgs.LEFT_IMAGE, slice(0, 32)), (msgs.RIGHT_IMAGE, slice(32, 64))):
        assert bag[name][0] == msgs.IMAGE
        for (_, m), (pts, _, _, image) in zip(bag[name][1], got["frames"]):
            assert (m.encoding, m.width, m.height, stamp_ns(m)) == ("bgr8", 32, 16,
                                                                      10**18 + pts * 1000)
            pixels = np.frombuffer(bytes(m.data), np.uint8).reshape(16, 32, 3)
            assert np.array_equal(pixels, image[:, cut])


@pytest.mark.parametrize("data, text", [
    (b"", "not a readable MCAP file"),
    (b"\x89MCAP0\r\n" + b"\x00" * 40, "not a readable MCAP file"),
    (b"\x1aE\xdf\xa3 a Matroska file", "not a readable MCAP file"),
])
def test_a_broken_bag_is_an_error_not_a_trace(kelvo, tmp_path, data, text):
    (tmp_path / "in.mcap").write_bytes(data)
    run = subprocess.run([kelvo, "ros2", "import", str(tmp_path / "in.mcap"),
                          str(tmp_path / "out.mkv"), "--left", "/l", "--right", "/r"],
                         capture_output=True, text=True)
    assert run.returncode == 1 and text in run.stderr and "Traceback" not in run.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.mcap"]


def quaternion_matrix(q):
    x, y, z, w = q
    return np.array([[1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
                     [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
                     [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)]])


def _rotation(rx, ry, rz):
    cx, cy, cz, sx, sy, sz = np.cos(rx), np.cos(ry), np.cos(rz), np.sin(rx), np.sin(ry), np.sin(rz)
    return (np.array([[cz, -sz, 0], [sz, cz, 0], [0, 0, 1]])
            @ np.array([[cy, 0, sy], [0, 1, 0], [-sy, 0, cy]])
            @ np.array([[1, 0, 0], [0, cx, -sx], [0, sx, cx]]))


@pytest.mark.parametrize("dist, model", [
    ([-0.1, 0.02, 0.001, -0.0005, 0.003], "plumb_bob"),
    ([-0.1, 0.02, 0.001, -0.0005, 0.003, 0.01, -0.002, 0.0004], "rational_polynomial"),
])
def test_camera_models_carry_the_calibration_both_ways(dist, model):
    d = {"image_size": [640, 360],
         "left": {"camera_matrix": [[510.0, 0, 322.0], [0, 512.0, 178.0], [0, 0, 1]],
                  "dist_coeffs": dist},
         "right": {"camera_matrix": [[505.0, 0, 318.0], [0, 507.0, 183.0], [0, 0, 1]],
                   "dist_coeffs": dist[::-1]},
         "R": _rotation(0.01, -0.02, 0.005).tolist(), "T": [-0.06, 0.001, -0.0008]}
    models = msgs.stereo_models(_native.Calibration.from_dict(d), (360, 640))
    assert models.left.distortion_model == model == models.right.distortion_model
    assert len(models.left.d) == len(dist)
    back = msgs.calibration_dict(models.left, models.right)
    assert back["image_size"] == d["image_size"]
    np.testing.assert_allclose(back["R"], d["R"], atol=1e-12)
    np.testing.assert_allclose(back["T"], d["T"], atol=1e-12)
    for eye in ("left", "right"):
        np.testing.assert_allclose(back[eye]["camera_matrix"], d[eye]["camera_matrix"])
        np.testing.assert_allclose(back[eye]["dist_coeffs"], d[eye]["dist_coeffs"])
    # The transforms: the right camera's pose in the left one, a unit quaternion.
    (_, _, _, q_rect), (_, child, xyz, q) = models.transforms
    assert child == msgs.RIGHT_FRAME
    np.testing.assert_allclose(xyz, -np.asarray(d["R"]).T @ np.asarray(d["T"]), atol=1e-12)
    np.testing.assert_allclose(quaternion_matrix(q), np.asarray(d["R"]).T, atol=1e-12)
    rect = _native._rectification(_native.Calibration.from_dict(d), (360, 640))
    np.testing.assert_allclose(quaternion_matrix(q_rect), rect["R1"].T, atol=1e-12)


def test_more_distortion_than_ros_models_is_refused():
    with pytest.raises(ValueError, match="14 distortion coefficients"):
        msgs._distortion(np.zeros(14))


def test_eyes_off_the_block_grid_are_re_encoded_and_said_so(tmp_path):
    # 40-pixel eyes: the cut at column 40 is not on the 16-pixel MCU grid of 4:2:0.
    yy, xx = np.mgrid[0:32, 0:80]
    image = np.stack([(xx * 3) % 256, (yy * 7) % 256, ((xx + yy) * 5) % 256], -1).astype(np.uint8)
    frame, exact = _native._join_eyes(image[:, :40].copy(), image[:, 40:].copy(), 95)
    assert not exact
    writer = _native._RecordingWriter(str(tmp_path / "odd.mkv"), width=80, height=32,
                                      camera_info_payload={}, t0_utc_ns=10**18)
    writer.start()
    writer.feed(frame, 0)
    writer.stop()
    ros2.export(tmp_path / "odd.mkv", tmp_path / "bag")
    eyes = json.loads(_custom_data(tmp_path / "bag")["kelvo.eyes"])
    assert eyes == {"left": {"lossless": 1, "reencoded": 0},
                    "right": {"lossless": 0, "reencoded": 1}}
    assert "right: re-encoded" in _custom_data(tmp_path / "bag")["kelvo.eyes_note"]
    bag = read_bag(tmp_path / "bag")
    decoded = _native._decode_image(frame)
    right = _native._decode_image(bytes(bag[msgs.RIGHT_COMPRESSED][1][0][1].data))
    assert right.shape == (32, 40, 3)
    assert np.abs(right.astype(int) - decoded[:, 40:].astype(int)).mean() < 2.0
    left = _native._decode_image(bytes(bag[msgs.LEFT_COMPRESSED][1][0][1].data))
    # A sharp colour edge at the cut: chroma upsampling differs more there.
    assert_same_eye(left, decoded[:, :40], 39, cut_levels=64)


@pytest.mark.parametrize("cut", [0, 2, 100, -2000])
def test_broken_jpegs_are_errors_or_pixels_never_crashes(source, cut):
    payload = source["frames"][0][1]
    data = payload[:cut] if cut > 0 else payload[: len(payload) + cut]
    try:
        left, right, *_ = _native._split_eyes(data)
    except ValueError as e:
        assert "JPEG" in str(e) or "decode" in str(e)
    else:  # a truncated scan still gives whole eyes (libjpeg fills the rest)
        assert _native._decode_image(left).shape == _native._decode_image(right).shape
    with pytest.raises(ValueError):
        _native._join_eyes(b"\xff\xd8 not really", payload)
