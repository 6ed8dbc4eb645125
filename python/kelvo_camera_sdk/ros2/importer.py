"""A rosbag2 (MCAP, or the older SQLite storage) with left and right images
as a kit recording: side-by-side MJPEG frames written by the kit's own
recorder, the camera models of the bag's CameraInfo messages as the base
calibration and the later changes as calibration updates, the bag's start
as the recording's start time.

Images pair by their header stamps, within half a frame period; an image
left without a partner is counted, never silently dropped. The bag is read
twice, once for stamps and camera models and once for the images, so memory
stays bounded whatever its length.
"""

from __future__ import annotations

import glob
import json
import os
import tempfile
from dataclasses import dataclass
from typing import Dict, Iterator, List, Optional, Tuple

import numpy as np

from .. import _native
from . import messages as msgs
from ._libs import need

_JPEG_QUALITY = 95  # eyes that cannot be joined block-exactly are re-encoded at this
_DEFAULT_PERIOD_NS = 1_000_000_000 // 30  # the pairing window when a bag has one image a side
# Raw image encodings taken, with their channel count and how to reach BGR.
_RAW = {"bgr8": (3, None), "rgb8": (3, [2, 1, 0]), "bgra8": (4, [0, 1, 2]),
        "rgba8": (4, [2, 1, 0]), "mono8": (1, None), "8UC1": (1, None), "8UC3": (3, None)}


@dataclass
class ImportResult:
    frames: int
    unpaired: int  # images left without a partner
    calibrations: int  # the base calibration plus the updates written
    out: str
    lossless_frames: int = 0  # frames whose eyes were joined without re-encoding

    def to_dict(self) -> dict:
        return {"frames": self.frames, "unpaired": self.unpaired,
                "calibrations": self.calibrations, "out": self.out}


def _stamp(msg) -> int:
    return int(msg.header.stamp.sec) * 1_000_000_000 + int(msg.header.stamp.nanosec)


class _BagReader:
    """Messages of a few topics in log-time order, from an MCAP file, a
    rosbag2 folder of MCAP files (read with `mcap`), or a rosbag2 folder in
    SQLite storage (read with `rosbags`, the one of the two that reads it)."""

    def __init__(self, path: str):
        self.path = path
        if os.path.isdir(path):
            if not os.path.isfile(os.path.join(path, "metadata.yaml")):
                raise ValueError(f"{path} is not a rosbag2 folder (it has no metadata.yaml)")
            self._mcaps = sorted(glob.glob(os.path.join(glob.escape(path), "*.mcap")))
            self._sqlite = not self._mcaps and bool(glob.glob(os.path.join(glob.escape(path),
                                                                           "*.db3")))
            if not self._mcaps and not self._sqlite:
                raise ValueError(f"{path} holds neither .mcap nor .db3 storage")
        elif os.path.isfile(path):
            self._mcaps, self._sqlite = [path], False
        else:
            raise FileNotFoundError(f"{path} does not exist")

    def topics(self) -> Dict[str, str]:
        if self._sqlite:
            with need("rosbags.rosbag2").Reader(self.path) as r:
                return {c.topic: c.msgtype for c in r.connections}
        out = {}
        for f in self._mcaps:
            summary = self._summary(f)
            if summary is None:
                continue
            for ch in summary.channels.values():
                schema = summary.schemas.get(ch.schema_id)
                out[ch.topic] = schema.name if schema else ""
        return out

    def _summary(self, file: str):
        reader = need("mcap.reader")
        exceptions = need("mcap.exceptions")
        with open(file, "rb") as f:
            try:
                return reader.make_reader(f).get_summary()
            except (exceptions.McapError, EOFError, ValueError) as e:
                raise ValueError(f"{file} is not a readable MCAP file: {e}") from None

    def start_ns(self) -> Optional[int]:
        if self._sqlite:
            with need("rosbags.rosbag2").Reader(self.path) as r:
                return int(r.start_time) if r.message_count else None
        starts = []
        for f in self._mcaps:
            s = self._summary(f)
            if s is not None and s.statistics is not None and s.statistics.message_count:
                starts.append(int(s.statistics.message_start_time))
        return min(starts) if starts else None

    def messages(self, topics: List[str]) -> Iterator[Tuple[str, int, object]]:
        """(topic, log time in ns, decoded message)."""
        if self._sqlite:
            store = msgs.typestore()
            with need("rosbags.rosbag2").Reader(self.path) as r:
                conns = [c for c in r.connections if c.topic in topics]
                for conn, t, raw in r.messages(connections=conns):
                    yield conn.topic, int(t), store.deserialize_cdr(raw, conn.msgtype)
            return
        reader = need("mcap.reader")
        decoder = need("mcap_ros2.decoder")
        for file in self._mcaps:
            with open(file, "rb") as f:
                r = reader.make_reader(f, decoder_factories=[decoder.DecoderFactory()])
                for _, channel, message, msg in r.iter_decoded_messages(topics=topics,
                                                                         log_time_order=True):
                    yield channel.topic, int(message.log_time), msg


def _eye(msg, compressed: bool):
    """An image message as encoded bytes or a BGR/grey array."""
    data = msg.data  # bytes from mcap-ros2-support, a uint8 array from rosbags
    if compressed:
        return bytes(data) if isinstance(data, (bytes, bytearray)) else \
            np.asarray(data, dtype=np.uint8).tobytes()
    enc = str(msg.encoding)
    if enc not in _RAW:
        raise ValueError(f"images in {enc!r} cannot be recorded (taken: {', '.join(_RAW)})")
    channels, order = _RAW[enc]
    h, w, step = int(msg.height), int(msg.width), int(msg.step)
    data = np.frombuffer(data if isinstance(data, np.ndarray) else bytes(data), dtype=np.uint8)
    if step < w * channels or len(data) < step * h:
        raise ValueError(f"a {w}x{h} {enc} image holds {len(data)} bytes with step {step}")
    pixels = data[: step * h].reshape(h, step)[:, : w * channels].reshape(h, w, channels)
    if order is not None:
        pixels = pixels[:, :, order]
    return np.ascontiguousarray(pixels[:, :, 0] if channels == 1 else pixels)


def pair_stamps(left: List[int], right: List[int], half_window_ns: int) -> List[Tuple[int, int]]:
    """(left index, right index) of the images that pair: the stamps sorted,
    each left taken with the right closest within the window, in one pass."""
    lo = sorted(range(len(left)), key=lambda i: left[i])
    ro = sorted(range(len(right)), key=lambda i: right[i])
    pairs, j = [], 0
    for i in lo:
        while j < len(ro) and right[ro[j]] < left[i] - half_window_ns:
            j += 1
        if j < len(ro) and abs(right[ro[j]] - left[i]) <= half_window_ns:
            # A later right may be closer still (and not closer to the next left).
            if j + 1 < len(ro) and abs(right[ro[j + 1]] - left[i]) < abs(right[ro[j]] - left[i]):
                j += 1
            pairs.append((i, ro[j]))
            j += 1
    return pairs


def _frame_period(stamps: List[int]) -> int:
    s = np.diff(np.sort(np.asarray(stamps, dtype=np.int64)))
    s = s[s > 0]
    return int(np.median(s)) if len(s) else _DEFAULT_PERIOD_NS


def _info_topic(image_topic: str) -> str:
    """ROS's camera namespace: /ns/image_raw/compressed -> /ns/camera_info."""
    parts = image_topic.rstrip("/").split("/")
    if parts[-1] in ("compressed", "compressedDepth") and len(parts) > 1:
        parts = parts[:-1]
    return "/".join(parts[:-1] + ["camera_info"])


def _calibration_timeline(left: List[tuple], right: List[tuple],
                          half_window_ns: int) -> List[Tuple[int, dict]]:
    """(stamp, calibration dict) each time the pair of camera models changes;
    the two eyes' CameraInfo pair by stamp as the images do, so that a change
    reaching one eye a little before the other makes no mixed calibration."""
    pairs = pair_stamps([t for t, _ in left], [t for t, _ in right], half_window_ns)
    pairs.sort(key=lambda p: left[p[0]][0])
    out, last = [], None
    for i, j in pairs:
        key = (left[i][1], right[j][1])
        if key != last:
            last = key
            out.append((left[i][0], msgs.calibration_dict(*key)))
    return out


def import_bag(bag, out, *, left: str, right: str, left_info: Optional[str] = None,
               right_info: Optional[str] = None, force: bool = False) -> ImportResult:
    """Writes the images of topics `left` and `right` of the bag `bag` as the
    recording `out` (see the module's text). The camera models come from
    `left_info` and `right_info`, by default the camera_info topics beside
    the image topics when the bag has them. The recording appears only when
    it is complete; an existing one is replaced only with `force`."""
    bag, out = os.fspath(bag), os.path.abspath(os.fspath(out))
    if os.path.lexists(out) and not force:
        raise FileExistsError(f"{out} exists already (use --force to replace it)")
    if os.path.isdir(out):
        raise FileExistsError(f"{out} is a folder")
    reader = _BagReader(bag)
    topics = reader.topics()
    for name, topic in (("left", left), ("right", right)):
        if topic not in topics:
            raise ValueError(f"the bag has no topic {topic} (--{name}); it has: "
                             f"{', '.join(sorted(topics)) or 'none'}")
        if topics[topic] not in (msgs.COMPRESSED_IMAGE, msgs.IMAGE):
            raise ValueError(f"{topic} holds {topics[topic]}, not images")
    infos = {}
    for name, given, image in (("left", left_info, left), ("right", right_info, right)):
        topic = given if given is not None else _info_topic(image)
        if given is not None and topic not in topics:
            raise ValueError(f"the bag has no topic {topic} (--{name}-info)")
        if topic in topics:
            infos[name] = topic
    if len(infos) == 1:
        raise ValueError("camera models for one eye only: give --left-info and --right-info")
    compressed = {left: topics[left] == msgs.COMPRESSED_IMAGE,
                  right: topics[right] == msgs.COMPRESSED_IMAGE}

    # Pass 1: stamps and camera models.
    stamps: Dict[str, List[int]] = {left: [], right: []}
    models: Dict[str, List[tuple]] = {"left": [], "right": []}
    info_side = {t: n for n, t in infos.items()}
    states: List[Tuple[int, dict]] = []
    for topic, log_ns, msg in reader.messages([left, right, *infos.values(), msgs.CAMERA_STATE]):
        if topic == left or topic == right:
            stamps[topic].append(_stamp(msg))
        if topic in info_side:
            models[info_side[topic]].append((_stamp(msg), msgs.model_of(msg)))
        if topic == msgs.CAMERA_STATE and topics.get(topic) == msgs.STRING:
            try:
                snapshot = json.loads(str(msg.data))
            except ValueError:
                continue
            if isinstance(snapshot, dict):
                states.append((log_ns, snapshot))
    period = _frame_period(stamps[left])
    pairs = pair_stamps(stamps[left], stamps[right], period // 2)
    unpaired = len(stamps[left]) + len(stamps[right]) - 2 * len(pairs)
    if not pairs:
        raise ValueError(f"no left image has a right partner within half a frame period "
                         f"({unpaired} images unpaired); nothing to record")
    partner = {i: k for k, (i, _) in enumerate(pairs)}
    partner_r = {j: k for k, (_, j) in enumerate(pairs)}
    frame_stamps = [stamps[left][i] for i, _ in pairs]
    order = sorted(range(len(pairs)), key=lambda k: frame_stamps[k])
    rank = {k: n for n, k in enumerate(order)}
    start = reader.start_ns()
    start = min(frame_stamps) if start is None else min(start, min(frame_stamps))

    timeline = (_calibration_timeline(models["left"], models["right"], period // 2)
                if infos else [])
    first_frame = frame_stamps[order[0]]
    base_at = max([n for n, (t, _) in enumerate(timeline) if t <= first_frame], default=0)
    base = timeline[base_at][1] if timeline else None
    updates = timeline[base_at + 1:]
    states.sort(key=lambda s: s[0])
    state_at = max([n for n, (t, _) in enumerate(states) if t <= first_frame], default=0)
    states = states[state_at:]

    folder = os.path.dirname(out) or "."
    fd, tmp = tempfile.mkstemp(prefix=".kelvo-import-", suffix=".mkv", dir=folder)
    os.close(fd)
    os.unlink(tmp)  # the recorder creates the file itself
    try:
        result = _write(reader, tmp, left, right, compressed, partner, partner_r, rank, order,
                        frame_stamps, start, base, updates, period, states, topics)
        os.replace(tmp, out)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise
    return ImportResult(result[0], unpaired, (1 if base is not None else 0) + result[1], out,
                        result[2])


def _write(reader: _BagReader, tmp: str, left: str, right: str, compressed, partner, partner_r,
           rank, order, frame_stamps, start, base, updates, period, states, topics):
    """Pass 2: the images, paired, fed to the recorder in time order."""
    def pts_us(stamp_ns: int) -> int:
        return (stamp_ns - start) // 1000

    writer = None
    pending: Dict[int, list] = {}  # frame rank -> [left, right]
    next_rank, frames, lossless, written_updates, update_at = 0, 0, 0, 0, 0
    counters = {left: -1, right: -1}
    state_at = 1

    def open_writer(joined: bytes):
        probe = _native._decode_image(joined)
        payload = {"base_calibration": base} if base is not None else {}
        first_state = states[0][1] if states else None
        w = _native._RecordingWriter(tmp, width=probe.shape[1], height=probe.shape[0],
                                     camera_info_payload=payload,
                                     camera_controls=first_state,
                                     fps=1e9 / period if period > 0 else None,
                                     t0_utc_ns=start)
        w.start()
        return w

    try:
        for topic, _, msg in reader.messages([left, right]):
            if topic not in counters:
                continue
            counters[topic] += 1
            k = (partner if topic == left else partner_r).get(counters[topic])
            if k is None:
                continue  # unpaired, counted in pass 1
            slot = pending.setdefault(rank[k], [None, None])
            slot[0 if topic == left else 1] = _eye(msg, compressed[topic])
            while next_rank in pending and None not in pending[next_rank]:
                eye_l, eye_r = pending.pop(next_rank)
                joined, exact = _native._join_eyes(eye_l, eye_r, _JPEG_QUALITY)
                stamp = frame_stamps[order[next_rank]]
                if writer is None:
                    writer = open_writer(joined)
                while state_at < len(states) and states[state_at][0] <= stamp:
                    writer.write_camera_state(states[state_at][1], pts_us(states[state_at][0]))
                    state_at += 1
                while update_at < len(updates) and updates[update_at][0] <= stamp:
                    writer.write_calibration_update(updates[update_at][1],
                                                    pts_us(updates[update_at][0]))
                    update_at += 1
                    written_updates += 1
                writer.feed(joined, pts_us(stamp))
                frames += 1
                lossless += bool(exact)
                next_rank += 1
        if writer is None:
            raise ValueError("the bag's paired images could not be read back")
        for t, cal in updates[update_at:]:
            writer.write_calibration_update(cal, pts_us(t))
            written_updates += 1
    finally:
        if writer is not None:
            writer.stop()
    return frames, written_updates, lossless
