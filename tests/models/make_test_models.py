#!/usr/bin/env python3
"""Builds the tiny ONNX networks the engine tests and benchmark run.

Usage: make_test_models.py OUTPUT_DIR

Each network is a few operators whose result the tests can compute by hand.
"""
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 13


def value(name, elem, shape):
    return helper.make_tensor_value_info(name, elem, shape)


def save(out_dir, name, nodes, inputs, outputs, initializers=()):
    graph = helper.make_graph(nodes, name, inputs, outputs, initializer=list(initializers))
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)],
                              producer_name="kelvo-tests")
    model.ir_version = 8
    onnx.checker.check_model(model)
    onnx.save(model, os.path.join(out_dir, name + ".onnx"))


def const(name, array):
    return numpy_helper.from_array(np.asarray(array, dtype=np.float32), name)


def main(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    f32 = TensorProto.FLOAT

    # output = input * 2 + 1
    save(out_dir, "one_input",
         [helper.make_node("Mul", ["input", "two"], ["scaled"]),
          helper.make_node("Add", ["scaled", "one"], ["output"])],
         [value("input", f32, [1, 3, 4, 5])], [value("output", f32, [1, 3, 4, 5])],
         [const("two", 2.0), const("one", 1.0)])

    # disp = left - right
    save(out_dir, "two_inputs",
         [helper.make_node("Sub", ["left", "right"], ["disp"])],
         [value("left", f32, [1, 3, 4, 5]), value("right", f32, [1, 3, 4, 5])],
         [value("disp", f32, [1, 3, 4, 5])])

    # a = x + 1, b = x * 3
    save(out_dir, "multi_output",
         [helper.make_node("Add", ["x", "one"], ["a"]),
          helper.make_node("Mul", ["x", "three"], ["b"])],
         [value("x", f32, [1, 1, 2, 3])],
         [value("a", f32, [1, 1, 2, 3]), value("b", f32, [1, 1, 2, 3])],
         [const("one", 1.0), const("three", 3.0)])

    # a rank-3 input
    save(out_dir, "rank3",
         [helper.make_node("Relu", ["x"], ["y"])],
         [value("x", f32, [1, 4, 5])], [value("y", f32, [1, 4, 5])])

    # dynamic height and width: output = input * 2 + 1
    save(out_dir, "dynamic",
         [helper.make_node("Mul", ["input", "two"], ["scaled"]),
          helper.make_node("Add", ["scaled", "one"], ["output"])],
         [value("input", f32, [1, 3, "height", "width"])],
         [value("output", f32, [1, 3, "height", "width"])],
         [const("two", 2.0), const("one", 1.0)])

    # half-precision output: out = float16(input * 0.5)
    save(out_dir, "fp16_output",
         [helper.make_node("Mul", ["input", "half"], ["scaled"]),
          helper.make_node("Cast", ["scaled"], ["out"], to=TensorProto.FLOAT16)],
         [value("input", f32, [1, 1, 2, 3])], [value("out", TensorProto.FLOAT16, [1, 1, 2, 3])],
         [const("half", 0.5)])

    # an output with no array form (int64): reading it fails in the callback
    save(out_dir, "int64_output",
         [helper.make_node("Cast", ["input"], ["out"], to=TensorProto.INT64)],
         [value("input", f32, [1, 1, 2, 3])], [value("out", TensorProto.INT64, [1, 1, 2, 3])])

    # no input at all: a constant network
    save(out_dir, "no_input",
         [helper.make_node("Constant", [], ["out"],
                           value=numpy_helper.from_array(np.ones((1, 1, 2, 2), np.float32)))],
         [], [value("out", f32, [1, 1, 2, 2])])

    # LightStereo's signature: left, right (1, 3, 256, 512) -> disp (1, 1, 256, 512),
    # disp = mean over channels of (left - right)
    save(out_dir, "lightstereo_standin",
         [helper.make_node("Sub", ["left", "right"], ["diff"]),
          helper.make_node("ReduceMean", ["diff"], ["disp"], axes=[1], keepdims=1)],
         [value("left", f32, [1, 3, 256, 512]), value("right", f32, [1, 3, 256, 512])],
         [value("disp", f32, [1, 1, 256, 512])])

    # benchmark network of LightStereo's signature with real work: three 3x3
    # convolutions over the stacked pair
    rng = np.random.default_rng(7)
    w1 = rng.standard_normal((16, 6, 3, 3)).astype(np.float32) * 0.1
    w2 = rng.standard_normal((16, 16, 3, 3)).astype(np.float32) * 0.1
    w3 = rng.standard_normal((1, 16, 3, 3)).astype(np.float32) * 0.1
    conv = dict(pads=[1, 1, 1, 1], kernel_shape=[3, 3])
    save(out_dir, "bench_stereo",
         [helper.make_node("Concat", ["left", "right"], ["pair"], axis=1),
          helper.make_node("Conv", ["pair", "w1"], ["c1"], **conv),
          helper.make_node("Relu", ["c1"], ["r1"]),
          helper.make_node("Conv", ["r1", "w2"], ["c2"], **conv),
          helper.make_node("Relu", ["c2"], ["r2"]),
          helper.make_node("Conv", ["r2", "w3"], ["disp"], **conv)],
         [value("left", f32, [1, 3, 256, 512]), value("right", f32, [1, 3, 256, 512])],
         [value("disp", f32, [1, 1, 256, 512])],
         [numpy_helper.from_array(w1, "w1"), numpy_helper.from_array(w2, "w2"),
          numpy_helper.from_array(w3, "w3")])


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: make_test_models.py OUTPUT_DIR")
    main(sys.argv[1])
