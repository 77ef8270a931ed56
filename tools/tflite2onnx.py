#!/usr/bin/python3
"""Converts a small float TFLite graph into an ONNX model with the same NHWC interface.

Reads the TFLite flatbuffer directly and handles only the operators the two face models use:
CONV_2D, DEPTHWISE_CONV_2D, MAX_POOL_2D, ADD, RELU, PRELU, PAD, RESHAPE, CONCATENATION, DEQUANTIZE.
Inside the graph 4-D tensors are kept channel-first (what ONNX's Conv wants); they are turned back to
channel-last wherever the TFLite graph depends on the memory order (reshape, graph outputs).

usage: tflite2onnx.py model.tflite out.onnx [--offset N --length N] [--expect name=count ...]
"""
import argparse
import struct
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper


class Table:
    """One flatbuffer table: fields are read by slot number."""

    def __init__(self, buf, pos):
        self.buf = buf
        self.pos = pos
        vt = pos - struct.unpack_from("<i", buf, pos)[0]
        self.vt_size = struct.unpack_from("<H", buf, vt)[0]
        self.vt = vt

    def _field(self, slot):
        entry = 4 + 2 * slot
        if entry >= self.vt_size:
            return 0
        return struct.unpack_from("<H", self.buf, self.vt + entry)[0]

    def scalar(self, slot, fmt, default=0):
        off = self._field(slot)
        return struct.unpack_from("<" + fmt, self.buf, self.pos + off)[0] if off else default

    def _target(self, slot):
        off = self._field(slot)
        if not off:
            return None
        at = self.pos + off
        return at + struct.unpack_from("<I", self.buf, at)[0]

    def table(self, slot):
        at = self._target(slot)
        return Table(self.buf, at) if at is not None else None

    def vector(self, slot, fmt):
        at = self._target(slot)
        if at is None:
            return []
        n = struct.unpack_from("<I", self.buf, at)[0]
        return list(struct.unpack_from("<%d%s" % (n, fmt), self.buf, at + 4))

    def bytes(self, slot):
        at = self._target(slot)
        if at is None:
            return b""
        n = struct.unpack_from("<I", self.buf, at)[0]
        return bytes(self.buf[at + 4:at + 4 + n])

    def string(self, slot):
        return self.bytes(slot).decode("utf-8")

    def tables(self, slot):
        at = self._target(slot)
        if at is None:
            return []
        n = struct.unpack_from("<I", self.buf, at)[0]
        out = []
        for i in range(n):
            p = at + 4 + 4 * i
            out.append(Table(self.buf, p + struct.unpack_from("<I", self.buf, p)[0]))
        return out


# TFLite builtin operator codes and tensor types used here.
OPS = {0: "ADD", 2: "CONCATENATION", 3: "CONV_2D", 4: "DEPTHWISE_CONV_2D", 6: "DEQUANTIZE",
       17: "MAX_POOL_2D", 19: "RELU", 22: "RESHAPE", 34: "PAD", 54: "PRELU"}
TYPES = {0: np.float32, 1: np.float16, 2: np.int32, 4: np.int64}
ACTIVATIONS = {0: None, 1: "Relu"}
NCHW_FROM_NHWC = [0, 3, 1, 2]
NHWC_FROM_NCHW = [0, 2, 3, 1]


def fail(message):
    sys.exit("tflite2onnx: " + message)


class Converter:
    def __init__(self, data):
        model = Table(data, struct.unpack_from("<I", data, 0)[0])
        self.opcodes = []
        for code in model.tables(1):
            builtin = max(code.scalar(0, "b"), code.scalar(3, "i"))
            self.opcodes.append(builtin)
        self.buffers = [b.bytes(0) for b in model.tables(4)]
        subgraphs = model.tables(2)
        if len(subgraphs) != 1:
            fail("expected one subgraph, found %d" % len(subgraphs))
        self.graph = subgraphs[0]
        self.tensors = []
        for t in self.graph.tables(0):
            self.tensors.append({"shape": t.vector(0, "i"), "type": t.scalar(1, "b"),
                                 "buffer": t.scalar(2, "I"), "name": t.string(3)})
        self.nodes = []
        self.inits = []
        self.consts = {}    # tensor index -> numpy array (constant data, TFLite layout)
        self.names = {}     # tensor index -> ONNX value name
        self.layout = {}    # tensor index -> "nchw" or "plain"
        self.counter = 0

    def fresh(self, hint):
        self.counter += 1
        return "%s__%d" % (hint, self.counter)

    def const_of(self, index):
        if index in self.consts:
            return self.consts[index]
        t = self.tensors[index]
        raw = self.buffers[t["buffer"]] if t["buffer"] < len(self.buffers) else b""
        if not raw:
            return None
        if t["type"] not in TYPES:
            fail("tensor %s has unsupported type %d" % (t["name"], t["type"]))
        array = np.frombuffer(raw, dtype=TYPES[t["type"]]).reshape(t["shape"])
        self.consts[index] = array
        return array

    def initializer(self, array, hint):
        name = self.fresh(hint)
        self.inits.append(numpy_helper.from_array(np.ascontiguousarray(array), name))
        return name

    def node(self, op, inputs, hint, **attrs):
        out = self.fresh(hint)
        self.nodes.append(helper.make_node(op, inputs, [out], **attrs))
        return out

    def value(self, index):
        """ONNX name of a runtime tensor and its layout."""
        if index not in self.names:
            fail("tensor %s used before it is produced" % self.tensors[index]["name"])
        return self.names[index], self.layout[index]

    def as_plain(self, index):
        name, layout = self.value(index)
        if layout == "nchw":
            return self.node("Transpose", [name], "to_nhwc", perm=NHWC_FROM_NCHW)
        return name

    def as_nchw(self, index):
        name, layout = self.value(index)
        if layout == "plain":
            if len(self.tensors[index]["shape"]) != 4:
                fail("tensor %s is not 4-D" % self.tensors[index]["name"])
            return self.node("Transpose", [name], "to_nchw", perm=NCHW_FROM_NHWC)
        return name

    def activate(self, name, code):
        if code not in ACTIVATIONS:
            fail("unsupported fused activation %d" % code)
        return self.node(ACTIVATIONS[code], [name], "act") if ACTIVATIONS[code] else name

    def same_pads(self, in_hw, out_hw, kernel, stride, dilation):
        pads_begin, pads_end = [], []
        for i in range(2):
            need = (out_hw[i] - 1) * stride[i] + (kernel[i] - 1) * dilation[i] + 1 - in_hw[i]
            need = max(need, 0)
            pads_begin.append(need // 2)
            pads_end.append(need - need // 2)
        return pads_begin + pads_end

    def conv(self, op, ins, out, options):
        x = self.as_nchw(ins[0])
        w = self.const_of(ins[1]).astype(np.float32)
        bias = self.const_of(ins[2]) if len(ins) > 2 and ins[2] >= 0 else None
        if op == "CONV_2D":
            padding, sw, sh, act = (options.scalar(0, "b"), options.scalar(1, "i"), options.scalar(2, "i"),
                                    options.scalar(3, "b"))
            dw, dh = options.scalar(4, "i", 1), options.scalar(5, "i", 1)
            weight = w.transpose(0, 3, 1, 2)  # OHWI -> OIHW
            group = 1
        else:
            padding, sw, sh = options.scalar(0, "b"), options.scalar(1, "i"), options.scalar(2, "i")
            act = options.scalar(4, "b")
            dw, dh = options.scalar(5, "i", 1), options.scalar(6, "i", 1)
            weight = w.transpose(3, 0, 1, 2)  # 1HWO -> O1HW
            group = self.tensors[ins[0]]["shape"][3]
            if weight.shape[0] != group:
                fail("depthwise multiplier other than 1 is not supported")
        kernel = list(weight.shape[2:])
        in_hw = self.tensors[ins[0]]["shape"][1:3]
        out_hw = self.tensors[out]["shape"][1:3]
        pads = self.same_pads(in_hw, out_hw, kernel, [sh, sw], [dh, dw]) if padding == 0 else [0, 0, 0, 0]
        inputs = [x, self.initializer(weight, "w")]
        if bias is not None:
            inputs.append(self.initializer(bias.astype(np.float32), "b"))
        y = self.node("Conv", inputs, "conv", kernel_shape=kernel, strides=[sh, sw], dilations=[dh, dw],
                      pads=pads, group=group)
        return self.activate(y, act), "nchw"

    def convert_op(self, op, ins, outs, options):
        out = outs[0]
        if op == "DEQUANTIZE":
            source = self.const_of(ins[0])
            if source is None:
                fail("DEQUANTIZE of a runtime tensor is not supported")
            self.consts[out] = source.astype(np.float32)
            return None
        if op in ("CONV_2D", "DEPTHWISE_CONV_2D"):
            return self.conv(op, ins, out, options)
        if op == "MAX_POOL_2D":
            padding, sw, sh, fw, fh, act = (options.scalar(0, "b"), options.scalar(1, "i"), options.scalar(2, "i"),
                                            options.scalar(3, "i"), options.scalar(4, "i"), options.scalar(5, "b"))
            in_hw = self.tensors[ins[0]]["shape"][1:3]
            out_hw = self.tensors[out]["shape"][1:3]
            pads = self.same_pads(in_hw, out_hw, [fh, fw], [sh, sw], [1, 1]) if padding == 0 else [0, 0, 0, 0]
            y = self.node("MaxPool", [self.as_nchw(ins[0])], "pool", kernel_shape=[fh, fw], strides=[sh, sw],
                          pads=pads)
            return self.activate(y, act), "nchw"
        if op == "ADD":
            a, b = ins
            if self.const_of(a) is not None or self.const_of(b) is not None:
                fail("ADD with a constant operand is not supported")
            layouts = {self.layout[a], self.layout[b]}
            if layouts == {"plain"}:
                y, layout = self.node("Add", [self.names[a], self.names[b]], "add"), "plain"
            else:
                y, layout = self.node("Add", [self.as_nchw(a), self.as_nchw(b)], "add"), "nchw"
            return self.activate(y, options.scalar(0, "b") if options else 0), layout
        if op == "RELU":
            name, layout = self.value(ins[0])
            return self.node("Relu", [name], "relu"), layout
        if op == "PRELU":
            name, layout = self.value(ins[0])
            slope = self.const_of(ins[1]).astype(np.float32)
            if layout == "nchw":
                slope = slope.reshape(-1, 1, 1)
            return self.node("PRelu", [name, self.initializer(slope, "slope")], "prelu"), layout
        if op == "PAD":
            paddings = self.const_of(ins[1]).astype(np.int64)
            name, layout = self.value(ins[0])
            if layout == "nchw":
                paddings = paddings[NCHW_FROM_NHWC]
            pads = np.concatenate([paddings[:, 0], paddings[:, 1]]).astype(np.int64)
            return self.node("Pad", [name, self.initializer(pads, "pads")], "pad", mode="constant"), layout
        if op == "RESHAPE":
            shape = np.array(self.tensors[out]["shape"], dtype=np.int64)
            y = self.node("Reshape", [self.as_plain(ins[0]), self.initializer(shape, "shape")], "reshape")
            return y, "plain"
        if op == "CONCATENATION":
            axis, act = options.scalar(0, "i"), options.scalar(1, "b")
            rank = len(self.tensors[out]["shape"])
            axis %= rank
            if rank == 4 and all(self.layout.get(i) == "nchw" for i in ins):
                y, layout = self.node("Concat", [self.names[i] for i in ins], "concat",
                                      axis=NCHW_FROM_NHWC.index(axis)), "nchw"
            else:
                y, layout = self.node("Concat", [self.as_plain(i) for i in ins], "concat", axis=axis), "plain"
            return self.activate(y, act), layout
        fail("unsupported operator " + op)

    def convert(self, graph_name):
        inputs = self.graph.vector(1, "i")
        outputs = self.graph.vector(2, "i")
        onnx_inputs = []
        for i in inputs:
            t = self.tensors[i]
            if t["type"] != 0:
                fail("input %s is not float" % t["name"])
            onnx_inputs.append(helper.make_tensor_value_info(t["name"], TensorProto.FLOAT, t["shape"]))
            self.names[i], self.layout[i] = t["name"], "plain"
        for op_table in self.graph.tables(3):
            code = self.opcodes[op_table.scalar(0, "I")]
            if code not in OPS:
                fail("unsupported builtin operator %d" % code)
            ins = op_table.vector(1, "i")
            outs = op_table.vector(2, "i")
            result = self.convert_op(OPS[code], ins, outs, op_table.table(4))
            if result is not None:
                self.names[outs[0]], self.layout[outs[0]] = result
        onnx_outputs = []
        for i in outputs:
            t = self.tensors[i]
            self.nodes.append(helper.make_node("Identity", [self.as_plain(i)], [t["name"]]))
            onnx_outputs.append(helper.make_tensor_value_info(t["name"], TensorProto.FLOAT, t["shape"]))
        graph = helper.make_graph(self.nodes, graph_name, onnx_inputs, onnx_outputs, self.inits)
        model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)],
                                  producer_name="qel-tflite2onnx")
        model.ir_version = 7
        onnx.checker.check_model(model)
        return model


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("source")
    parser.add_argument("target")
    parser.add_argument("--offset", type=int, default=0)
    parser.add_argument("--length", type=int, default=-1)
    parser.add_argument("--expect", action="append", default=[],
                        help="NAME=COUNT: an input or output that must exist with that many elements")
    args = parser.parse_args()
    with open(args.source, "rb") as f:
        f.seek(args.offset)
        data = f.read(args.length) if args.length >= 0 else f.read()
    model = Converter(bytearray(data)).convert(args.target.rsplit("/", 1)[-1].split(".")[0])
    counts = {}
    for v in list(model.graph.input) + list(model.graph.output):
        n = 1
        for d in v.type.tensor_type.shape.dim:
            n *= d.dim_value
        counts[v.name] = n
    for item in args.expect:
        name, count = item.split("=")
        if counts.get(name) != int(count):
            fail("%s: '%s' has %s elements, expected %s" % (args.target, name, counts.get(name), count))
    onnx.save(model, args.target)


if __name__ == "__main__":
    main()
