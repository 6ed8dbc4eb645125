"""Catalogue records are immutable values; JSON values are dicts and lists."""

import json
import subprocess

import pytest

import kelvo_camera_sdk as k
from kelvo_camera_sdk.cameras.camera_spec import check_camera_control_value, spec_by_sku
from kelvo_camera_sdk.cameras.kelvo_fenwa import KELVO_FENWA


def test_replace_copies_and_leaves_the_original():
    mode = k.KELVO_CORVAN.default_mode
    faster = mode.replace(fps=60.0)
    assert (mode.fps, faster.fps) == (30.0, 60.0)
    assert faster.slug == mode.slug.replace("@30", "@60")
    assert k.KELVO_CORVAN.default_mode == mode
    with pytest.raises(AttributeError):
        mode.fps = 1.0
    control = k.KELVO_CORVAN.controls[0].replace(current_value=None)
    assert control.current_value is None and control.name == k.KELVO_CORVAN.controls[0].name


def test_lookup_by_sku_and_absent():
    sku = KELVO_FENWA.skus[0]
    assert spec_by_sku(sku) == KELVO_FENWA
    assert spec_by_sku("not-a-product") is None


def test_calibration_and_camera_info_round_trip(recording):
    src = k.MkvReplay(str(recording), replay_mode="every_frame")
    base = src.base_calibration
    again = k.Calibration.from_dict(base.to_dict())
    assert again == base and list(again.to_dict()) == list(base.to_dict())
    info = src.embedded_camera_info()
    assert isinstance(info, dict)
    cam = k.KelvoCameraInfo.from_dict(info)
    assert cam.to_dict() == info
    assert cam.replace(serial="X").serial == "X" and cam.serial == info["serial"]


def test_registry_lists_every_backend_with_metadata():
    classes = {c.key: c for c in k.registered_inferences()}
    assert {"stereo-bm", "rectify-passthrough", "lightstereo", "crestereo-combined",
            "crestereo-initial", "metric3d-v2-vit-small", "depth-anything-v2-small"} <= set(classes)
    bm = classes["stereo-bm"]
    assert bm.NEURAL is False
    slugs = [v.slug for v in bm.variants()]
    assert slugs == ["256x512", "360x640", "480x720"]
    meta = bm.variants()[0].selector_meta
    assert list(meta)[:3] == ["task", "speed_tier", "accuracy_tier"]
    assert bm.variants()[0].input_size == (256, 512)
    # The kind is the class's metadata; a variant's task tag says the same.
    for key, cls in classes.items():
        assert cls.KIND in ("stereo", "mono")
        task = cls.variants()[0].selector_meta.get("task")
        if task in ("stereo", "mono"):
            assert cls.KIND == task, key
    assert classes["metric3d-v2-vit-small"].KIND == "mono"
    assert classes["depth-anything-v2-small"].KIND == "mono"
    assert bm.KIND == "stereo"


def test_backends_in_the_order_of_the_kelvo_command(kelvo):
    listed = json.loads(subprocess.run([kelvo, "backends", "--json"], check=True,
                                       capture_output=True, text=True).stdout)
    command = [(e["key"], e["default_variant"], [v["slug"] for v in e["variants"]])
               for e in listed]
    module = [(c.key, c.variants()[0].slug, [v.slug for v in c.variants()])
              for c in k.registered_inferences()]
    assert module == command


def _control(name):
    return next(c for c in KELVO_FENWA.controls if c.name == name)


@pytest.mark.parametrize("name, value, expected", [
    ("exposure", 312, 312),
    ("exposure", 80000.0, 80000),
    ("white_balance_auto", True, 1),
    ("auto_exposure", 3, 3),
    ("exposure", 0, "must be within 1..80000; got 0"),
    ("exposure", 2.5, "must be an integer; got 2.5"),
    ("exposure", True, "takes a number, not true or false"),
    ("auto_exposure", 2, "takes one of 1 (Manual), 3 (Aperture Priority); got 2"),
])
def test_camera_control_values_checked_as_the_viewer_and_kelvo_record_do(name, value, expected):
    if isinstance(expected, int):
        assert check_camera_control_value(_control(name), value) == expected
    else:
        with pytest.raises(ValueError, match=expected.replace("(", r"\(").replace(")", r"\)")):
            check_camera_control_value(_control(name), value)
