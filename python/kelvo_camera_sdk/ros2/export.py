"""A recording as a rosbag2 folder (metadata.yaml and one MCAP file, CDR
messages, each channel's schema the standard ROS 2 definition): both eyes as
images, their camera models for every frame from the calibration in force
at that frame, the static transforms between the eyes, the camera states
and, with a back-end, depth (and a point cloud) in the rectified left camera.

Every message of a frame carries the frame's wall-clock time: the
recording's start (RECORD_T0_UNIX_EPOCH_NS) plus the frame's ``pts_us``.
"""

from __future__ import annotations

import json
import os
import shutil
import tempfile
from collections import deque
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional

import numpy as np

from .. import _native
from ..frame_ranges import Position, select_positions
from . import messages as msgs
from ._libs import need

_JPEG_QUALITY = 95  # eyes that cannot be cut block-exactly are re-encoded at this
_DEPTH_BATCH = 8
_CUT_THREADS = 2
_CUT_AHEAD = 6  # frames in flight between reading and writing
_BAG_VERSION = 8  # rosbag2's metadata version 8 (ROS 2 Jazzy and later)


@dataclass
class ExportResult:
    frames: int
    topics: Dict[str, int]  # topic -> messages written
    out: str
    eyes: Dict[str, Dict[str, int]] = field(default_factory=dict)  # eye -> {"lossless", "reencoded"}

    def to_dict(self) -> dict:
        return {"frames": self.frames, "topics": dict(self.topics), "out": self.out}


def _check_out(out: str, force: bool) -> None:
    if not os.path.lexists(out):
        return
    if not force:
        raise FileExistsError(f"{out} exists already (use --force to replace it)")
    if not os.path.isdir(out) or os.path.islink(out):
        raise FileExistsError(f"{out} exists and is not a bag folder; not replacing it")
    strangers = [n for n in os.listdir(out)
                 if n != "metadata.yaml" and not n.endswith((".mcap", ".db3"))]
    if strangers:
        raise FileExistsError(f"{out} holds files that are not a bag's ({strangers[0]}, ...); "
                              "not replacing it")


def _qos(latched: bool):
    rb = need("rosbags.interfaces")
    zero = rb.QosTime(0, 0)
    return [rb.Qos(rb.QosHistory.KEEP_LAST, 1 if latched else 10, rb.QosReliability.RELIABLE,
                   rb.QosDurability.TRANSIENT_LOCAL if latched else rb.QosDurability.VOLATILE,
                   zero, zero, rb.QosLiveliness.AUTOMATIC, zero, False)]


class _Bag:
    """A rosbag2 writer that opens a topic when its first message comes."""

    def __init__(self, path: str, builder: msgs.Builder):
        rosbag2 = need("rosbags.rosbag2")
        self._writer = rosbag2.Writer(path, version=_BAG_VERSION,
                                      storage_plugin=rosbag2.StoragePlugin.MCAP)
        self._builder = builder
        self._connections: dict = {}
        self.counts: Dict[str, int] = {}
        self._writer.open()

    def write(self, topic: str, msgtype: str, stamp_ns: int, data: bytes) -> None:
        conn = self._connections.get(topic)
        if conn is None:
            conn = self._writer.add_connection(
                topic, msgtype, typestore=self._builder.store,
                offered_qos_profiles=_qos(topic == msgs.TF_STATIC))
            self._connections[topic] = conn
            self.counts[topic] = 0
        self._writer.write(conn, stamp_ns, data)
        self.counts[topic] += 1

    def set_custom_data(self, key: str, value: str) -> None:
        self._writer.set_custom_data(key, value)

    def close(self) -> None:
        self._writer.close()


def _controls(controls) -> list:
    if controls is None:
        return []
    items = controls.items() if isinstance(controls, dict) else controls
    return [(str(k), int(v)) for k, v in items]


class _Depth:
    """The back-end's maps, a few frames at a time, in frame order."""

    def __init__(self, backend: str, variant: Optional[str], controls, fourcc: str, width: int,
                 height: int):
        # Without rectified images, as `kelvo export --what depth` runs it: the
        # maps are then the very ones of that command (the point colours are
        # the kit's rectification of the eye the bag carries).
        if backend == "rectify-passthrough":
            raise ValueError("rectify-passthrough computes no depth")
        self._step = _native._BatchDepth(backend, variant=variant or "",
                                         controls=_controls(controls), fourcc=fourcc,
                                         width=width, height=height, rectified_images=False)
        if self._step.unit == "relative":
            raise ValueError(f"{backend} gives relative depth, not metres; a ROS depth image "
                             "holds metres (use a stereo back-end or a metric network)")

    def run(self, frames: List[tuple]) -> list:
        return self._step.run(frames)


def export(recording, out, *, backend: Optional[str] = None, variant: Optional[str] = None,
           controls=None, points: bool = False, start=None, end=None, every: int = 1,
           max_frames: Optional[int] = None, force: bool = False,
           progress: Optional[Callable[[int, int], None]] = None) -> ExportResult:
    """Writes the recording `recording` as the rosbag2 folder `out` (see the
    module's text); `start`, `end`, `every` and `max_frames` select frames as
    `kelvo export` does. The folder appears only when it is complete (written
    beside it under another name first); with `force` an existing bag folder
    is replaced."""
    recording, out = os.fspath(recording), os.path.abspath(os.fspath(out))
    if every < 1:
        raise ValueError(f"every must be at least 1; got {every}")
    if max_frames is not None and max_frames < 1:
        raise ValueError(f"max_frames must be at least 1; got {max_frames}")
    if points and backend is None:
        raise ValueError("points need a depth back-end (--backend)")
    start_p, end_p = Position.parse(start, "start"), Position.parse(end, "end")
    _check_out(out, force)
    builder = msgs.Builder()

    replay = _native.MkvReplay(recording, replay_mode="every_frame", build_frame_index=True)
    info = replay.open()
    try:
        index = replay.frame_index()
        if not index:
            raise ValueError(f"{recording} holds no frames")
        positions = select_positions(index, start_p, end_p, every)
        if max_frames is not None:
            positions = positions[:max_frames]
        fourcc = replay.fourcc
        depth = (_Depth(backend, variant, controls, fourcc, info.width, info.height)
                 if backend else None)
        parent = os.path.dirname(out) or "."
        staging = tempfile.mkdtemp(prefix=".kelvo-ros2-", dir=parent)
        bag_path = os.path.join(staging, os.path.basename(out))
        try:
            if info.width <= 0 or info.height <= 0 or info.width % 2:
                raise ValueError(f"{recording}: a {info.width}x{info.height} video track is not "
                                 "a side-by-side stereo frame")
            result = _Exporter(replay, recording, (info.height, info.width), builder, bag_path,
                               depth, points, progress).run(positions)
            if os.path.lexists(out):
                shutil.rmtree(out)
            os.rename(bag_path, out)
        finally:
            shutil.rmtree(staging, ignore_errors=True)
    finally:
        replay.close()
    result.out = out
    return result


class _Exporter:
    def __init__(self, replay, recording: str, frame_hw, builder: msgs.Builder, bag_path: str,
                 depth: Optional[_Depth], points: bool, progress):
        self._replay = replay
        self._recording = recording
        self._frame_hw = frame_hw
        # Both eyes of the side-by-side frame share its height and half its width.
        self._eye_hw = (int(frame_hw[0]), int(frame_hw[1]) // 2)
        self._new_models = False
        self._b = builder
        self._bag_path = bag_path
        self._depth = depth
        self._points = points
        self._progress = progress
        self._t0_ns = int(replay.t0_utc_ns)
        self._models_key: Optional[str] = None
        self._models: Optional[msgs.StereoModels] = None
        self._eyes = {"left": {"lossless": 0, "reencoded": 0},
                      "right": {"lossless": 0, "reencoded": 0}}
        self._pending: List[tuple] = []  # frames waiting for their depth
        self._states = replay.camera_state_history()
        self._next_state = 0

    def stamp(self, pts_us: int) -> int:
        return self._t0_ns + int(pts_us) * 1000

    def run(self, positions: List[int]) -> ExportResult:
        wanted = set(positions)
        last = positions[-1] if positions else -1
        self._bag = _Bag(self._bag_path, self._b)
        frames = 0
        # The eyes are cut on worker threads (the cut releases the interpreter
        # lock), a few frames ahead of the writing, which stays in order.
        ahead: deque = deque()
        cut = self._replay.fourcc == "MJPG"
        try:
            with ThreadPoolExecutor(max_workers=_CUT_THREADS) as pool:
                position = -1
                while True:
                    while position < last and len(ahead) < _CUT_AHEAD:
                        frame = self._replay.grab()
                        if frame is None:
                            last = position
                            break
                        position += 1
                        if position in wanted:
                            ahead.append((frame, pool.submit(_native._split_eyes, frame,
                                                             _JPEG_QUALITY) if cut else None))
                    if not ahead:
                        break
                    frame, eyes = ahead.popleft()
                    self._frame(frame, eyes.result() if eyes is not None else None)
                    frames += 1
                    if self._progress:
                        self._progress(frames, len(positions))
            self._flush_depth()
            self._bag.set_custom_data("kelvo.eyes", json.dumps(self._eyes, sort_keys=True))
            self._bag.set_custom_data("kelvo.eyes_note", self._eyes_note())
            self._bag.set_custom_data("kelvo.recording", os.path.basename(self._recording))
        finally:
            self._bag.close()
        return ExportResult(frames, dict(self._bag.counts), self._bag_path, self._eyes)

    def _eyes_note(self) -> str:
        if self._replay.fourcc != "MJPG":
            return "left, right: raw images (sensor_msgs/msg/Image, bgr8) of the recorded frames"
        parts = []
        for eye, n in self._eyes.items():
            if n["reencoded"] == 0:
                parts.append(f"{eye}: cut from the camera's JPEG without re-encoding")
            elif n["lossless"] == 0:
                parts.append(f"{eye}: re-encoded (JPEG quality {_JPEG_QUALITY}); the frame's "
                             "block grid does not fall on the cut")
            else:
                parts.append(f"{eye}: {n['lossless']} frames cut without re-encoding, "
                             f"{n['reencoded']} re-encoded (JPEG quality {_JPEG_QUALITY})")
        return "; ".join(parts)

    def _camera_models(self, calibration, eye_hw) -> Optional[msgs.StereoModels]:
        """The models for this frame's calibration; None without one. A new
        calibration republishes the transforms."""
        if calibration is None:
            return None
        key = json.dumps(calibration.to_dict(), sort_keys=True) + repr(eye_hw)
        if key != self._models_key:
            self._models_key = key
            self._models = msgs.stereo_models(calibration, eye_hw)
            self._new_models = True
        return self._models

    def _states_until(self, pts_us: int, stamp_ns: int) -> None:
        """Camera-state snapshots up to this frame at their recorded times;
        the one in force at the first exported frame at that frame's time."""
        first = self._bag.counts.get(msgs.CAMERA_STATE, 0) == 0
        due = []
        while self._next_state < len(self._states) and self._states[self._next_state][0] <= pts_us:
            due.append(self._states[self._next_state])
            self._next_state += 1
        if first and due:
            due = [(None, due[-1][1])]
        for rel_us, snapshot in due:
            at = stamp_ns if rel_us is None else self.stamp(rel_us)
            self._bag.write(msgs.CAMERA_STATE, msgs.STRING, at,
                            self._b.string(msgs.state_text(snapshot)))

    def _frame(self, frame, eyes) -> None:
        pts = int(frame.pts_us)
        stamp = self.stamp(pts)
        self._new_models = False
        self._states_until(pts, stamp)
        calibration = frame.calibration
        if self._replay.fourcc == "MJPG":
            left, right, left_exact, right_exact = eyes
            self._eyes["left"]["lossless" if left_exact else "reencoded"] += 1
            self._eyes["right"]["lossless" if right_exact else "reencoded"] += 1
            models = self._camera_models(calibration, self._eye_hw)
            self._bag.write(msgs.LEFT_COMPRESSED, msgs.COMPRESSED_IMAGE, stamp,
                            self._b.compressed(stamp, msgs.LEFT_FRAME, left))
            self._bag.write(msgs.RIGHT_COMPRESSED, msgs.COMPRESSED_IMAGE, stamp,
                            self._b.compressed(stamp, msgs.RIGHT_FRAME, right))
        else:
            bgr = self._replay.decode_to_bgr(frame.payload, self._frame_hw[1], self._frame_hw[0])
            half = bgr.shape[1] // 2
            models = self._camera_models(calibration, self._eye_hw)
            self._bag.write(msgs.LEFT_IMAGE, msgs.IMAGE, stamp,
                            self._b.image(stamp, msgs.LEFT_FRAME, bgr[:, :half], "bgr8"))
            self._bag.write(msgs.RIGHT_IMAGE, msgs.IMAGE, stamp,
                            self._b.image(stamp, msgs.RIGHT_FRAME, bgr[:, half:2 * half], "bgr8"))
        if models is not None:
            if self._new_models:
                self._bag.write(msgs.TF_STATIC, msgs.TF_MESSAGE, stamp,
                                self._b.transforms(stamp, models.transforms))
            self._bag.write(msgs.LEFT_INFO, msgs.CAMERA_INFO, stamp,
                            self._b.camera_info(stamp, msgs.LEFT_FRAME, models.left))
            self._bag.write(msgs.RIGHT_INFO, msgs.CAMERA_INFO, stamp,
                            self._b.camera_info(stamp, msgs.RIGHT_FRAME, models.right))
        if self._depth is not None:
            cal = None if calibration is None else json.dumps(calibration.to_dict())
            colour = None
            if self._points and calibration is not None:
                eye = (_native._decode_image(left) if self._replay.fourcc == "MJPG"
                       else bgr[:, :half])
                colour = _native._rectify_left(calibration, eye)
            self._pending.append((bytes(frame.payload), cal, pts, stamp, models, colour))
            if len(self._pending) >= _DEPTH_BATCH:
                self._flush_depth()

    def _flush_depth(self) -> None:
        if not self._pending:
            return
        results = self._depth.run([(p, c, t) for p, c, t, *_ in self._pending])
        for (_, _, _, stamp, models, colour), result in zip(self._pending, results):
            if not result.ok or result.depth is None or models is None:
                continue  # skipped by the pipeline (logged), or no calibration to measure with
            depth = np.ascontiguousarray(result.depth, dtype=np.float32)
            self._bag.write(msgs.DEPTH, msgs.IMAGE, stamp,
                            self._b.image(stamp, msgs.LEFT_RECT_FRAME, depth, "32FC1"))
            self._bag.write(msgs.DEPTH_INFO, msgs.CAMERA_INFO, stamp,
                            self._b.camera_info(stamp, msgs.LEFT_RECT_FRAME, models.depth))
            if result.confidence is not None:
                self._bag.write(msgs.CONFIDENCE, msgs.IMAGE, stamp,
                                self._b.image(stamp, msgs.LEFT_RECT_FRAME,
                                              np.asarray(result.confidence, np.uint8),
                                              "mono8"))
            if self._points:
                self._bag.write(msgs.POINTS, msgs.POINT_CLOUD, stamp,
                                self._b.points(stamp, msgs.LEFT_RECT_FRAME, depth,
                                               colour, models.depth))
        self._pending = []
