#!/usr/bin/env python3
"""Builds tiny ONNX networks with the input and output signatures of the
CREStereo, Metric3D and Depth Anything exports, for the end-to-end tests.

Usage: make_backend_models.py OUTPUT_DIR

Files written (each result is a few operators the tests recompute by hand):
  crestereo_combined.onnx  inputs init_left, init_right (1, 3, 120, 160),
                           left, right (1, 3, 240, 320); output flow (1, 2, 240, 320)
                           flow[0] = mean_c(left) - 0.5 mean_c(right)
                                     + 0.25 mean(init_left) - 0.125 mean(init_right)
                           flow[1] = -3
  crestereo_initial.onnx   inputs left, right (1, 3, 160, 240); output flow (1, 2, 160, 240)
                           flow[0] = mean_c(left) - mean_c(right), flow[1] = 5
  metric3d.onnx            input pixel_values (1, 3, height, width) (dynamic);
                           outputs confidence = sigmoid(x) and
                           predicted_depth = reshape(0.01 mean_c(x) + 0.5, (1, 504, 504))
  depth_anything/model.onnx + model.onnx_data
                           input pixel_values (1, 3, 518, 518); output predicted_depth
                           (1, 518, 518) = 0.5 x0 - 0.25 x1 + 2 x2 + 0.1, with the
                           convolution weights in the external data file
"""
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 13
F32 = TensorProto.FLOAT


def value(name, shape, elem=F32):
    return helper.make_tensor_value_info(name, elem, shape)


def const(name, array, dtype=np.float32):
    return numpy_helper.from_array(np.asarray(array, dtype=dtype), name)


def constant_node(name, array, dtype):
    return helper.make_node("Constant", [], [name],
                            value=numpy_helper.from_array(np.asarray(array, dtype=dtype), name))


def make(name, nodes, inputs, outputs, initializers=()):
    graph = helper.make_graph(nodes, name, inputs, outputs, initializer=list(initializers))
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)],
                              producer_name="kelvo-backend-tests")
    model.ir_version = 8
    onnx.checker.check_model(model)
    return model


def mean_c(src, dst):
    return helper.make_node("ReduceMean", [src], [dst], axes=[1], keepdims=1)


def crestereo_combined():
    nodes = [
        mean_c("left", "ml"),
        mean_c("right", "mr"),
        helper.make_node("Mul", ["mr", "half"], ["mr_half"]),
        helper.make_node("Sub", ["ml", "mr_half"], ["full_term"]),
        helper.make_node("ReduceMean", ["init_left"], ["il"], axes=[1, 2, 3], keepdims=1),
        helper.make_node("ReduceMean", ["init_right"], ["ir"], axes=[1, 2, 3], keepdims=1),
        helper.make_node("Mul", ["il", "quarter"], ["il_q"]),
        helper.make_node("Mul", ["ir", "eighth"], ["ir_e"]),
        helper.make_node("Sub", ["il_q", "ir_e"], ["init_term"]),
        helper.make_node("Add", ["full_term", "init_term"], ["dx"]),
        helper.make_node("Mul", ["dx", "zero"], ["dx_zero"]),
        helper.make_node("Add", ["dx_zero", "minus_three"], ["dy"]),
        helper.make_node("Concat", ["dx", "dy"], ["flow"], axis=1),
    ]
    return make("crestereo_combined", nodes,
                [value("init_left", [1, 3, 120, 160]), value("init_right", [1, 3, 120, 160]),
                 value("left", [1, 3, 240, 320]), value("right", [1, 3, 240, 320])],
                [value("flow", [1, 2, 240, 320])],
                [const("half", 0.5), const("quarter", 0.25), const("eighth", 0.125),
                 const("zero", 0.0), const("minus_three", -3.0)])


def crestereo_initial():
    nodes = [
        mean_c("left", "ml"),
        mean_c("right", "mr"),
        helper.make_node("Sub", ["ml", "mr"], ["dx"]),
        helper.make_node("Mul", ["dx", "zero"], ["dx_zero"]),
        helper.make_node("Add", ["dx_zero", "five"], ["dy"]),
        helper.make_node("Concat", ["dx", "dy"], ["flow"], axis=1),
    ]
    return make("crestereo_initial", nodes,
                [value("left", [1, 3, 160, 240]), value("right", [1, 3, 160, 240])],
                [value("flow", [1, 2, 160, 240])],
                [const("zero", 0.0), const("five", 5.0)])


def metric3d():
    nodes = [
        helper.make_node("Sigmoid", ["pixel_values"], ["confidence"]),
        mean_c("pixel_values", "m"),
        helper.make_node("Mul", ["m", "cm"], ["scaled"]),
        helper.make_node("Add", ["scaled", "half_m"], ["depth4"]),
        constant_node("shape", [1, 504, 504], np.int64),
        helper.make_node("Reshape", ["depth4", "shape"], ["predicted_depth"]),
    ]
    return make("metric3d", nodes,
                [value("pixel_values", [1, 3, "height", "width"])],
                [value("confidence", [1, 3, "height", "width"]),
                 value("predicted_depth", [1, 504, 504])],
                [const("cm", 0.01), const("half_m", 0.5)])


def depth_anything():
    nodes = [
        helper.make_node("Conv", ["pixel_values", "weight", "bias"], ["depth4"]),
        constant_node("shape", [1, 518, 518], np.int64),
        helper.make_node("Reshape", ["depth4", "shape"], ["predicted_depth"]),
    ]
    return make("depth_anything", nodes,
                [value("pixel_values", [1, 3, 518, 518])],
                [value("predicted_depth", [1, 518, 518])],
                [const("weight", np.array([0.5, -0.25, 2.0]).reshape(1, 3, 1, 1)),
                 const("bias", [0.1])])


def main(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    onnx.save(crestereo_combined(), os.path.join(out_dir, "crestereo_combined.onnx"))
    onnx.save(crestereo_initial(), os.path.join(out_dir, "crestereo_initial.onnx"))
    onnx.save(metric3d(), os.path.join(out_dir, "metric3d.onnx"))
    da_dir = os.path.join(out_dir, "depth_anything")
    os.makedirs(da_dir, exist_ok=True)
    data = os.path.join(da_dir, "model.onnx_data")
    if os.path.exists(data):
        os.remove(data)  # the saver appends to an existing file
    onnx.save_model(depth_anything(), os.path.join(da_dir, "model.onnx"),
                    save_as_external_data=True, all_tensors_to_one_file=True,
                    location="model.onnx_data", size_threshold=0)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
