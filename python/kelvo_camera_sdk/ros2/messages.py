"""Topic names, frame ids and the ROS 2 messages of a kelvo bag: camera models
(sensor_msgs/CameraInfo) from the kit's calibration and back, the static
transforms between the eyes, images and point clouds.

Frames follow REP 103's optical convention (x right, y down, z forward);
depth images follow REP 118 (32FC1 metres, NaN where there is no estimate).
"""

from __future__ import annotations

import functools
import json
from dataclasses import dataclass
from typing import List, Optional, Sequence, Tuple

import numpy as np

from .. import _native
from ._libs import need

LEFT_IMAGE = "/kelvo/left/image_raw"
RIGHT_IMAGE = "/kelvo/right/image_raw"
LEFT_COMPRESSED = LEFT_IMAGE + "/compressed"
RIGHT_COMPRESSED = RIGHT_IMAGE + "/compressed"
LEFT_INFO = "/kelvo/left/camera_info"
RIGHT_INFO = "/kelvo/right/camera_info"
DEPTH = "/kelvo/depth/image_rect"
DEPTH_INFO = "/kelvo/depth/camera_info"
CONFIDENCE = "/kelvo/depth/confidence"
POINTS = "/kelvo/points"
TF_STATIC = "/tf_static"
CAMERA_STATE = "/kelvo/camera_state"

LEFT_FRAME = "kelvo_left_optical_frame"
LEFT_RECT_FRAME = "kelvo_left_rect_optical_frame"
RIGHT_FRAME = "kelvo_right_optical_frame"

COMPRESSED_IMAGE = "sensor_msgs/msg/CompressedImage"
IMAGE = "sensor_msgs/msg/Image"
CAMERA_INFO = "sensor_msgs/msg/CameraInfo"
POINT_CLOUD = "sensor_msgs/msg/PointCloud2"
TF_MESSAGE = "tf2_msgs/msg/TFMessage"
STRING = "std_msgs/msg/String"

_FLOAT32 = 7  # sensor_msgs/PointField.FLOAT32


@functools.lru_cache(maxsize=1)
def typestore():
    """The standard ROS 2 message types (their definitions become the bag's
    schemas); built once, as building it takes a good part of a second."""
    typesys = need("rosbags.typesys")
    return typesys.get_typestore(typesys.Stores.ROS2_JAZZY)


@dataclass(frozen=True)
class CameraModel:
    """One camera as sensor_msgs/CameraInfo describes it."""

    width: int
    height: int
    distortion_model: str
    d: Tuple[float, ...]
    k: Tuple[float, ...]  # 9, row-major
    r: Tuple[float, ...]  # 9
    p: Tuple[float, ...]  # 12


@dataclass(frozen=True)
class StereoModels:
    left: CameraModel
    right: CameraModel
    depth: CameraModel  # the rectified left camera, in which depth maps lie
    # (parent, child, translation xyz, rotation quaternion xyzw)
    transforms: Tuple[Tuple[str, str, Tuple[float, ...], Tuple[float, ...]], ...]


def _distortion(d: np.ndarray) -> Tuple[str, Tuple[float, ...]]:
    d = [float(x) for x in np.asarray(d, dtype=np.float64).ravel()]
    if len(d) <= 5:
        return "plumb_bob", tuple(d + [0.0] * (5 - len(d)))
    if len(d) <= 8:
        return "rational_polynomial", tuple(d + [0.0] * (8 - len(d)))
    raise ValueError(f"{len(d)} distortion coefficients have no ROS camera model "
                     "(plumb_bob takes 5, rational_polynomial 8)")


def _flat(m) -> Tuple[float, ...]:
    return tuple(float(x) for x in np.asarray(m, dtype=np.float64).ravel())


def quaternion(rot: np.ndarray) -> Tuple[float, float, float, float]:
    """(x, y, z, w) of a rotation matrix, w >= 0."""
    m = np.asarray(rot, dtype=np.float64)
    trace = m[0, 0] + m[1, 1] + m[2, 2]
    if trace > 0:
        s = 2.0 * np.sqrt(trace + 1.0)
        q = ((m[2, 1] - m[1, 2]) / s, (m[0, 2] - m[2, 0]) / s, (m[1, 0] - m[0, 1]) / s, s / 4)
    elif m[0, 0] > m[1, 1] and m[0, 0] > m[2, 2]:
        s = 2.0 * np.sqrt(1.0 + m[0, 0] - m[1, 1] - m[2, 2])
        q = (s / 4, (m[0, 1] + m[1, 0]) / s, (m[0, 2] + m[2, 0]) / s, (m[2, 1] - m[1, 2]) / s)
    elif m[1, 1] > m[2, 2]:
        s = 2.0 * np.sqrt(1.0 + m[1, 1] - m[0, 0] - m[2, 2])
        q = ((m[0, 1] + m[1, 0]) / s, s / 4, (m[1, 2] + m[2, 1]) / s, (m[0, 2] - m[2, 0]) / s)
    else:
        s = 2.0 * np.sqrt(1.0 + m[2, 2] - m[0, 0] - m[1, 1])
        q = ((m[0, 2] + m[2, 0]) / s, (m[1, 2] + m[2, 1]) / s, s / 4, (m[1, 0] - m[0, 1]) / s)
    q = np.asarray(q) / np.linalg.norm(q)
    if q[3] < 0:
        q = -q
    return tuple(float(x) for x in q)


def stereo_models(calibration, eye_hw: Tuple[int, int]) -> StereoModels:
    """The camera models and transforms of `calibration` for eyes of (height,
    width), from the very rectification the pipeline uses."""
    h, w = eye_hw
    rect = _native._rectification(calibration, (h, w))
    left_model, left_d = _distortion(rect["D1"])
    right_model, right_d = _distortion(rect["D2"])
    p1, p2 = rect["P1"], rect["P2"]
    left = CameraModel(w, h, left_model, left_d, _flat(rect["K1"]), _flat(rect["R1"]), _flat(p1))
    # P2 carries the baseline as ROS wants it: P[0,3] = -fx' * baseline.
    right = CameraModel(w, h, right_model, right_d, _flat(rect["K2"]), _flat(rect["R2"]),
                        _flat(p2))
    depth = CameraModel(w, h, "plumb_bob", (0.0,) * 5, _flat(np.asarray(p1)[:, :3]),
                        _flat(np.eye(3)), _flat(p1))
    r = np.asarray(calibration.R, dtype=np.float64)
    t = np.asarray(calibration.T, dtype=np.float64).ravel()
    # A point x_l of the left camera is R1 x_l in the rectified one and
    # R x_l + T in the right one; a transform gives the child's pose in its parent.
    r1 = np.asarray(rect["R1"], dtype=np.float64)
    transforms = (
        (LEFT_FRAME, LEFT_RECT_FRAME, (0.0, 0.0, 0.0), quaternion(r1.T)),
        (LEFT_FRAME, RIGHT_FRAME, tuple(float(x) for x in -r.T @ t), quaternion(r.T)),
    )
    return StereoModels(left, right, depth, transforms)


def calibration_dict(left: CameraModel, right: CameraModel) -> dict:
    """The kit's calibration (dictionary form) from a rectified stereo pair's
    two CameraInfo: intrinsics and distortion as they are, the rotation
    between the eyes from the two rectifying rotations, the translation from
    the right projection's baseline. ValueError when they do not describe a
    stereo pair."""
    if (left.width, left.height) != (right.width, right.height):
        raise ValueError(f"the left camera is {left.width}x{left.height}, the right "
                         f"{right.width}x{right.height}")
    if left.width <= 0 or left.height <= 0:
        raise ValueError("a CameraInfo has no image size")

    def rotation(model: CameraModel) -> np.ndarray:
        m = np.asarray(model.r, dtype=np.float64).reshape(3, 3)
        return np.eye(3) if not m.any() else m

    r1, r2 = rotation(left), rotation(right)
    p2 = np.asarray(right.p, dtype=np.float64).reshape(3, 4)
    if p2[0, 0] == 0 or p2[1, 1] == 0:
        raise ValueError("the right CameraInfo has no projection (P)")
    t_rect = np.array([p2[0, 3] / p2[0, 0], p2[1, 3] / p2[1, 1], p2[2, 3]])
    rot = r2.T @ r1
    t = r2.T @ t_rect

    def camera(model: CameraModel) -> dict:
        k = np.asarray(model.k, dtype=np.float64).reshape(3, 3)
        if k[0, 0] == 0 or k[1, 1] == 0:
            raise ValueError("a CameraInfo has no intrinsics (K)")
        return {"camera_matrix": k.tolist(), "dist_coeffs": [float(x) for x in model.d]}

    return {"image_size": [int(left.width), int(left.height)], "left": camera(left),
            "right": camera(right), "R": rot.tolist(), "T": t.tolist()}


def model_of(info) -> CameraModel:
    """A CameraInfo message read by any library (fields by their ROS names)."""
    return CameraModel(int(info.width), int(info.height), str(info.distortion_model),
                       _flat(info.d), _flat(info.k), _flat(info.r), _flat(info.p))


class Builder:
    """The messages of one bag, serialised to CDR."""

    def __init__(self):
        self.store = typestore()
        t = self.store.types
        self._time = t["builtin_interfaces/msg/Time"]
        self._header = t["std_msgs/msg/Header"]
        self._compressed = t[COMPRESSED_IMAGE]
        self._image = t[IMAGE]
        self._info = t[CAMERA_INFO]
        self._roi = t["sensor_msgs/msg/RegionOfInterest"]
        self._cloud = t[POINT_CLOUD]
        self._field = t["sensor_msgs/msg/PointField"]
        self._tf = t[TF_MESSAGE]
        self._stamped = t["geometry_msgs/msg/TransformStamped"]
        self._transform = t["geometry_msgs/msg/Transform"]
        self._vector = t["geometry_msgs/msg/Vector3"]
        self._quat = t["geometry_msgs/msg/Quaternion"]
        self._string = t[STRING]

    def _hdr(self, stamp_ns: int, frame_id: str):
        sec, nsec = divmod(int(stamp_ns), 1_000_000_000)
        return self._header(stamp=self._time(sec=sec, nanosec=nsec), frame_id=frame_id)

    def _cdr(self, msg, msgtype: str) -> bytes:
        return bytes(self.store.serialize_cdr(msg, msgtype))

    def compressed(self, stamp_ns: int, frame_id: str, jpeg: bytes) -> bytes:
        msg = self._compressed(header=self._hdr(stamp_ns, frame_id), format="jpeg",
                               data=np.frombuffer(jpeg, dtype=np.uint8))
        return self._cdr(msg, COMPRESSED_IMAGE)

    def image(self, stamp_ns: int, frame_id: str, pixels: np.ndarray, encoding: str) -> bytes:
        pixels = np.ascontiguousarray(pixels)
        h, w = pixels.shape[:2]
        msg = self._image(header=self._hdr(stamp_ns, frame_id), height=h, width=w,
                          encoding=encoding, is_bigendian=0, step=pixels.strides[0],
                          data=pixels.reshape(-1).view(np.uint8))
        return self._cdr(msg, IMAGE)

    def camera_info(self, stamp_ns: int, frame_id: str, m: CameraModel) -> bytes:
        msg = self._info(
            header=self._hdr(stamp_ns, frame_id), height=m.height, width=m.width,
            distortion_model=m.distortion_model, d=np.asarray(m.d, dtype=np.float64),
            k=np.asarray(m.k, dtype=np.float64), r=np.asarray(m.r, dtype=np.float64),
            p=np.asarray(m.p, dtype=np.float64), binning_x=0, binning_y=0,
            roi=self._roi(x_offset=0, y_offset=0, height=0, width=0, do_rectify=False))
        return self._cdr(msg, CAMERA_INFO)

    def transforms(self, stamp_ns: int, transforms: Sequence) -> bytes:
        items = []
        for parent, child, xyz, q in transforms:
            items.append(self._stamped(
                header=self._hdr(stamp_ns, parent), child_frame_id=child,
                transform=self._transform(
                    translation=self._vector(x=xyz[0], y=xyz[1], z=xyz[2]),
                    rotation=self._quat(x=q[0], y=q[1], z=q[2], w=q[3]))))
        return self._cdr(self._tf(transforms=items), TF_MESSAGE)

    def string(self, text: str) -> bytes:
        return self._cdr(self._string(data=text), STRING)

    def points(self, stamp_ns: int, frame_id: str, depth: np.ndarray, bgr: Optional[np.ndarray],
               model: CameraModel) -> bytes:
        """x y z rgb (float32 each) of every pixel with a depth, in metres in
        the rectified left camera; rgb packed as ROS tools expect."""
        p = np.asarray(model.p).reshape(3, 4)
        fx, fy, cx, cy = p[0, 0], p[1, 1], p[0, 2], p[1, 2]
        valid = np.isfinite(depth) & (depth > 0)
        v, u = np.nonzero(valid)
        z = depth[valid].astype(np.float32)
        cloud = np.empty(len(z), dtype=[("x", "<f4"), ("y", "<f4"), ("z", "<f4"),
                                        ("rgb", "<u4")])
        cloud["x"] = (u - cx) * z / fx
        cloud["y"] = (v - cy) * z / fy
        cloud["z"] = z
        if bgr is not None and bgr.shape[:2] == depth.shape:
            c = bgr[valid].astype(np.uint32)
            cloud["rgb"] = (c[:, 2] << 16) | (c[:, 1] << 8) | c[:, 0]
        else:
            cloud["rgb"] = 0xFFFFFF
        fields = [self._field(name=n, offset=o, datatype=_FLOAT32, count=1)
                  for n, o in (("x", 0), ("y", 4), ("z", 8), ("rgb", 12))]
        msg = self._cloud(header=self._hdr(stamp_ns, frame_id), height=1, width=len(z),
                          fields=fields, is_bigendian=False, point_step=16,
                          row_step=16 * len(z), data=cloud.view(np.uint8).reshape(-1),
                          is_dense=True)
        return self._cdr(msg, POINT_CLOUD)


def state_text(snapshot) -> str:
    """A camera-state snapshot as the JSON of its std_msgs/String."""
    return json.dumps(snapshot, separators=(",", ":"))


__all__: List[str] = [
    "Builder", "CameraModel", "StereoModels", "calibration_dict", "model_of", "quaternion",
    "stereo_models", "state_text", "typestore",
]
