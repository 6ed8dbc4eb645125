"""The OpenVINO engine runs from the installed package (its runtime is the
`openvino` wheel's) on a network the test builds."""

import gc

import numpy as np
import pytest

import kelvo_camera_sdk as k
from kelvo_camera_sdk.engines.openvino_runner import openvino_runner_available

ov = pytest.importorskip("openvino")


@pytest.fixture(scope="module")
def doubling_model(tmp_path_factory):
    try:
        from openvino import opset13 as ops
    except ImportError:
        import openvino.runtime.opset13 as ops
    x = ops.parameter([1, 1, 64, 64], np.float32, name="x")
    model = ov.Model([ops.multiply(x, ops.constant(np.float32(2.0)))], [x])
    path = tmp_path_factory.mktemp("model") / "double.xml"
    ov.save_model(model, str(path))
    return str(path)


def test_engine_runs_and_keeps_borrowed_inputs_alive(doubling_model, tmp_path):
    assert openvino_runner_available()
    with k.OpenVINORunner(doubling_model, nireq=2, cache_dir=str(tmp_path)) as runner:
        assert runner.input_shapes == [(1, 1, 64, 64)]
        futures, expected = [], []
        for i in range(6):
            blob = np.full((1, 1, 64, 64), float(i), np.float32)
            futures.append(runner.submit(blob))
            expected.append(2.0 * i)
            del blob  # the engine still reads it: the matrix holds the array
        gc.collect()
        results = [f.get(timeout=10) for f in futures]
    for got, want in zip(results, expected):
        assert got.shape == (1, 1, 64, 64) and np.all(got == want)
    with pytest.raises(RuntimeError, match="shut down"):
        runner.submit(np.zeros((1, 1, 64, 64), np.float32))
