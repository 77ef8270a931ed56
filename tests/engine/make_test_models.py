#!/usr/bin/python3
"""Writes tiny ONNX models that meet or break the face models' contracts, for the loader tests."""
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

FLOAT = TensorProto.FLOAT


def tensor(name, shape, kind=FLOAT):
    return helper.make_tensor_value_info(name, kind, shape)


def save(folder, file_name, nodes, inputs, outputs, inits=()):
    graph = helper.make_graph(nodes, file_name.split(".")[0], inputs, outputs, list(inits))
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)], producer_name="qel-tests")
    model.ir_version = 7
    onnx.checker.check_model(model)
    onnx.save(model, os.path.join(folder, file_name))


def detector_like(folder, file_name, input_name="input", input_shape=(1, 128, 128, 3), input_kind=FLOAT,
                  regressors_shape=(1, 896, 16), classificators_shape=(1, 896, 1)):
    """Outputs are constants plus a zero multiple of the input's mean, so the input stays used."""
    mean = helper.make_node("ReduceMean", [input_name], ["mean"], keepdims=0)
    as_float = helper.make_node("Cast", ["mean"], ["meanf"], to=FLOAT)
    zero = helper.make_node("Mul", ["meanf", "zero"], ["nothing"])
    reg = helper.make_node("Add", ["reg_const", "nothing"], ["regressors"])
    cls = helper.make_node("Add", ["cls_const", "nothing"], ["classificators"])
    fixed = lambda shape: [d if isinstance(d, int) and d > 0 else 1 for d in shape]
    inits = [numpy_helper.from_array(np.zeros((), np.float32), "zero"),
             numpy_helper.from_array(np.zeros(fixed(regressors_shape), np.float32), "reg_const"),
             numpy_helper.from_array(np.full(fixed(classificators_shape), -5.0, np.float32), "cls_const")]
    save(folder, file_name, [mean, as_float, zero, reg, cls],
         [tensor(input_name, list(input_shape), input_kind)],
         [tensor("regressors", list(regressors_shape)), tensor("classificators", list(classificators_shape))],
         inits)


def input_sized_detector(folder):
    """Declares the contract's outputs, but "regressors" holds as many of its 896 anchors as the input's
    largest value says: the declared shape passes the load check, the run's tensor may be shorter."""
    nodes = [
        helper.make_node("ReduceMax", ["input"], ["largest"], keepdims=0),
        helper.make_node("Cast", ["largest"], ["count"], to=TensorProto.INT64),
        helper.make_node("Reshape", ["count", "one_dim"], ["ends"]),
        helper.make_node("Slice", ["reg_const", "starts", "ends", "axes"], ["regressors"]),
        helper.make_node("Mul", ["largest", "zero"], ["nothing"]),
        helper.make_node("Add", ["cls_const", "nothing"], ["classificators"]),
    ]
    ints = lambda name, values: numpy_helper.from_array(np.array(values, np.int64), name)
    inits = [ints("one_dim", [1]), ints("starts", [0]), ints("axes", [1]),
             numpy_helper.from_array(np.zeros((), np.float32), "zero"),
             numpy_helper.from_array(np.ones((1, 896, 16), np.float32), "reg_const"),
             numpy_helper.from_array(np.full((1, 896, 1), -5.0, np.float32), "cls_const")]
    save(folder, "input_sized_output.onnx", nodes, [tensor("input", [1, 128, 128, 3])],
         [tensor("regressors", [1, 896, 16]), tensor("classificators", [1, 896, 1])], inits)


def echo_landmarks(folder):
    """conv2d_21 is the first 1404 input values, conv2d_31 the next one minus 1: the crop comes back as
    points, and a black crop gives a presence logit of -1, a white one 0."""
    nodes = [
        helper.make_node("Reshape", ["input_1", "flat_shape"], ["flat"]),
        helper.make_node("Slice", ["flat", "s0", "e0", "axis"], ["points"]),
        helper.make_node("Slice", ["flat", "s1", "e1", "axis"], ["presence"]),
        helper.make_node("Reshape", ["points", "points_shape"], ["conv2d_21"]),
        helper.make_node("Sub", ["presence", "one"], ["logit"]),
        helper.make_node("Reshape", ["logit", "presence_shape"], ["conv2d_31"]),
    ]
    ints = lambda name, values: numpy_helper.from_array(np.array(values, np.int64), name)
    inits = [ints("flat_shape", [1, 110592]), ints("s0", [0]), ints("e0", [1404]), ints("s1", [1404]),
             ints("e1", [1405]), ints("axis", [1]), ints("points_shape", [1, 1, 1, 1404]),
             ints("presence_shape", [1, 1, 1, 1]), numpy_helper.from_array(np.ones((1,), np.float32), "one")]
    save(folder, "echo_landmarks.onnx", nodes, [tensor("input_1", [1, 192, 192, 3])],
         [tensor("conv2d_21", [1, 1, 1, 1404]), tensor("conv2d_31", [1, 1, 1, 1])], inits)


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    detector_like(folder, "contract_detector.onnx")
    detector_like(folder, "wrong_input_name.onnx", input_name="image")
    detector_like(folder, "wrong_input_shape.onnx", input_shape=(1, 3, 128, 128))
    detector_like(folder, "free_input_dimension.onnx", input_shape=("batch", 128, 128, 3))
    detector_like(folder, "integer_input.onnx", input_kind=TensorProto.INT32)
    detector_like(folder, "dynamic_output.onnx", regressors_shape=(1, "anchors", 16))
    detector_like(folder, "wrong_output_size.onnx", classificators_shape=(1, 895, 1))
    input_sized_detector(folder)
    echo_landmarks(folder)


if __name__ == "__main__":
    main()
