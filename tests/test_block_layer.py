"""The block layer VSKLayer: what its constructor stores, in which order, and
how it fails."""
import itertools
import re
import types

import pytest
import torch
from torch import nn

import veskari.blockwise_veskari as bw
from helpers import super_refusal
from veskari.globals_veskari import pc

ARG_NAMES = ["layer_array", "processor_array", "dendrites_to_top", "dendrites_to_dendrites",
             "node_index", "num_cycles", "view_tuple"]


def params(count, size=3):
    return [nn.Parameter(torch.full((size,), float(i + 1))) for i in range(count)]


def weight_list(kind, entries):
    return {"ParameterList": nn.ParameterList, "list": list, "tuple": tuple}[kind](entries)


def make_args(n_top=1, n_dendrites=2, kind="ParameterList", view_tuple=(1, -1)):
    return dict(
        layer_array=nn.Sequential(nn.Linear(2, 3), nn.Linear(2, 3)),
        processor_array=[None, object()],
        dendrites_to_top=nn.ParameterList(params(n_top)),
        dendrites_to_dendrites=weight_list(kind, params(n_dendrites)),
        node_index=torch.tensor(1),
        num_cycles=torch.tensor(4),
        view_tuple=list(view_tuple),
    )


# ---------------------------------------------------------------- skip_weights


@pytest.mark.parametrize("kind", ["ParameterList", "list"])
def test_non_empty_dendrite_weights_are_kept_and_extended_in_place(kind):
    args = make_args(n_top=3, n_dendrites=2, kind=kind)
    d2d, d2t = args["dendrites_to_dendrites"], args["dendrites_to_top"]
    before_d2d, before_d2t = list(d2d), list(d2t)
    layer = bw.VSKLayer(*args.values())
    assert layer.skip_weights is d2d
    assert len(d2d) == 3
    assert d2d[0] is before_d2d[0] and d2d[1] is before_d2d[1]
    assert d2d[2] is d2t[2]
    assert len(d2t) == 3 and all(a is b for a, b in zip(d2t, before_d2t, strict=True))


def test_empty_dendrite_weights_give_a_new_list_with_a_zero_placeholder():
    args = make_args(n_top=3, n_dendrites=0)
    d2d, d2t = args["dendrites_to_dendrites"], args["dendrites_to_top"]
    before_d2t = list(d2t)
    layer = bw.VSKLayer(*args.values())
    skip = layer.skip_weights
    assert type(skip) is nn.ParameterList
    assert skip is not d2d and skip is not d2t
    assert len(skip) == 2
    assert isinstance(skip[0], nn.Parameter)
    assert skip[0].shape == (1, 1, 1) and skip[0].dtype == torch.float32
    assert torch.equal(skip[0], torch.zeros(1, 1, 1))
    assert skip[1] is d2t[2]
    assert len(d2d) == 0
    assert len(d2t) == 3 and all(a is b for a, b in zip(d2t, before_d2t, strict=True))


@pytest.mark.parametrize("n_dendrites, kind", [(0, "ParameterList"), (2, "ParameterList"),
                                               (2, "list"), (2, "tuple")])
def test_empty_top_weights_leave_no_skip_weights(n_dendrites, kind):
    args = make_args(n_top=0, n_dendrites=n_dendrites, kind=kind)
    d2d = args["dendrites_to_dendrites"]
    before = list(d2d)
    layer = bw.VSKLayer(*args.values())
    assert not hasattr(layer, "skip_weights")
    assert "skip_weights" not in vars(layer)
    assert "skip_weights" not in layer._modules
    assert not any(k.startswith("skip_weights") for k in layer.state_dict())
    assert len(d2d) == n_dendrites and all(a is b for a, b in zip(d2d, before, strict=True))


class RecordingTop:
    """A true, sized weight list that records the indices it is asked for."""

    def __init__(self, entries):
        self.entries = entries
        self.indices = []

    def __len__(self):
        return len(self.entries)

    def __getitem__(self, index):
        self.indices.append(index)
        return self.entries[index]


def test_top_weight_is_taken_with_the_explicit_last_index():
    top = RecordingTop(params(4))
    args = make_args()
    args["dendrites_to_top"] = top
    layer = bw.VSKLayer(*args.values())
    assert top.indices == [3]
    assert type(top.indices[0]) is int
    assert layer.skip_weights[-1] is top.entries[3]


@pytest.mark.parametrize("top, error, message", [
    (object(), TypeError, "object of type 'object' has no len()"),
    ({"a": 1}, KeyError, "0"),
])
def test_top_weights_without_length_or_integer_indexing_fail(top, error, message):
    args = make_args()
    args["dendrites_to_top"] = top
    with pytest.raises(error, match=message):
        bw.VSKLayer(*args.values())


def test_tuple_dendrite_weights_with_top_weights_fail_on_append():
    args = make_args()
    args["dendrites_to_dendrites"] = tuple(params(2))
    layer = bw.VSKLayer.__new__(bw.VSKLayer)
    with pytest.raises(AttributeError, match="'tuple' object has no attribute 'append'"):
        bw.VSKLayer.__init__(layer, *args.values())
    # the steps before the failing one are kept
    assert layer.layer_array is args["layer_array"]
    assert layer.processor_array is args["processor_array"]
    assert layer.skip_weights is args["dendrites_to_dendrites"]
    assert not hasattr(layer, "node_index")
    assert not hasattr(layer, "internal_nonlinearity")


# ---------------------------------------------------------------- the other attributes


def test_arguments_are_stored_as_given():
    args = make_args()
    layer = bw.VSKLayer(*args.values())
    assert layer.layer_array is args["layer_array"]
    assert layer._modules["layer_array"] is args["layer_array"]
    assert layer.processor_array is args["processor_array"]
    assert layer.node_index is args["node_index"]
    assert "node_index" not in layer._buffers
    assert layer.num_cycles is args["num_cycles"]
    assert layer._buffers["num_cycles"] is args["num_cycles"]


@pytest.mark.parametrize("view_tuple, expected", [
    ([1, -1, 1, 1], torch.tensor([1, -1, 1, 1])),
    ([-1], torch.tensor([-1])),
    ([], torch.tensor([])),
])
def test_view_tuple_becomes_a_new_tensor_buffer(view_tuple, expected):
    args = make_args(view_tuple=view_tuple)
    layer = bw.VSKLayer(*args.values())
    buffer = layer._buffers["view_tuple"]
    assert layer.view_tuple is buffer
    assert buffer.dtype == expected.dtype
    assert buffer.shape == expected.shape
    assert torch.equal(buffer, expected)
    assert args["view_tuple"] == view_tuple


def test_view_tuple_that_torch_cannot_convert_fails_with_torchs_error():
    args = make_args()
    args["view_tuple"] = ["a"]
    with pytest.raises(ValueError) as expected:
        torch.tensor(["a"])
    with pytest.raises(ValueError) as info:
        bw.VSKLayer(*args.values())
    assert str(info.value) == str(expected.value)


@pytest.mark.parametrize("num_cycles", [3, 2.5, "x", [1]])
def test_non_tensor_cycle_count_is_rejected_with_torchs_error(num_cycles):
    with pytest.raises(TypeError) as expected:
        nn.Module().register_buffer("num_cycles", num_cycles)
    args = make_args()
    args["num_cycles"] = num_cycles
    with pytest.raises(TypeError) as info:
        bw.VSKLayer(*args.values())
    assert str(info.value) == str(expected.value)


@pytest.mark.parametrize("num_cycles, n_top, n_dendrites, keys", [
    (torch.tensor(2), 1, 2, ["num_cycles", "view_tuple", "layer_array.0.weight",
                             "layer_array.0.bias", "layer_array.1.weight", "layer_array.1.bias",
                             "skip_weights.0", "skip_weights.1", "skip_weights.2"]),
    (torch.tensor(2), 1, 0, ["num_cycles", "view_tuple", "layer_array.0.weight",
                             "layer_array.0.bias", "layer_array.1.weight", "layer_array.1.bias",
                             "skip_weights.0", "skip_weights.1"]),
    (None, 0, 2, ["view_tuple", "layer_array.0.weight", "layer_array.0.bias",
                  "layer_array.1.weight", "layer_array.1.bias"]),
])
def test_state_dict_keys(num_cycles, n_top, n_dendrites, keys):
    args = make_args(n_top=n_top, n_dendrites=n_dendrites)
    args["num_cycles"] = num_cycles
    layer = bw.VSKLayer(*args.values())
    state = layer.state_dict()
    assert list(state) == keys
    if num_cycles is not None:
        assert torch.equal(state["num_cycles"], num_cycles)
    if n_top:
        assert torch.equal(state[keys[-1]], args["dendrites_to_top"][-1])


def test_the_nonlinearity_is_read_once_from_the_settings_and_kept(monkeypatch):
    calls = []

    def nonlinearity(x):
        return x

    def getter():
        calls.append("get_vsk_forward_function")
        return nonlinearity

    monkeypatch.setattr(pc, "get_vsk_forward_function", getter)
    layer = bw.VSKLayer(*make_args().values())
    assert calls == ["get_vsk_forward_function"]
    assert layer.internal_nonlinearity is nonlinearity
    monkeypatch.setattr(pc, "get_vsk_forward_function", lambda: torch.tanh)
    assert layer.internal_nonlinearity is nonlinearity


def test_only_the_nonlinearity_getter_of_the_settings_is_used(monkeypatch):
    touched = []

    class Settings:
        def __getattr__(self, name):
            touched.append(name)
            if name == "get_vsk_forward_function":
                return lambda: torch.relu
            raise AttributeError(name)

    monkeypatch.setattr(bw, "GVS", types.SimpleNamespace(pc=Settings()))
    layer = bw.VSKLayer(*make_args().values())
    assert touched == ["get_vsk_forward_function"]
    assert layer.internal_nonlinearity is torch.relu


def test_the_class_for_super_is_read_from_the_module_at_call_time(monkeypatch):
    cls = bw.VSKLayer
    monkeypatch.setattr(bw, "VSKLayer", nn.Linear)
    with pytest.raises(TypeError, match=re.escape(super_refusal(nn.Linear, cls))):
        cls(*make_args().values())


def test_calling_a_block_layer_raises_torchs_missing_forward_error():
    layer = bw.VSKLayer(*make_args().values())
    with pytest.raises(NotImplementedError,
                       match=r'Module \[VSKLayer\] is missing the required "forward" function'):
        layer(torch.ones(2, 2))


# ---------------------------------------------------------------- keyword construction


def _describe(layer, args):
    return (
        layer.layer_array is args["layer_array"],
        layer.processor_array is args["processor_array"],
        layer.node_index is args["node_index"],
        layer.num_cycles is args["num_cycles"],
        layer.view_tuple.tolist(),
        layer.skip_weights is args["dendrites_to_dendrites"],
        [p is q for p, q in zip(layer.skip_weights, list(args["dendrites_to_dendrites"]),
                                strict=False)],
        list(layer.state_dict()),
        layer.internal_nonlinearity,
    )


@pytest.mark.parametrize("order", [
    ARG_NAMES,
    list(reversed(ARG_NAMES)),
    ["view_tuple", "layer_array", "num_cycles", "processor_array", "node_index",
     "dendrites_to_dendrites", "dendrites_to_top"],
])
def test_keywords_in_any_order_build_the_same_layer(order):
    positional_args = make_args(view_tuple=[1, 1, -1])
    keyword_args = make_args(view_tuple=[1, 1, -1])
    positional = bw.VSKLayer(*positional_args.values())
    keyword = bw.VSKLayer(**{name: keyword_args[name] for name in order})
    assert _describe(keyword, keyword_args) == _describe(positional, positional_args)
    assert keyword.skip_weights[-1] is keyword_args["dendrites_to_top"][-1]


def test_mixed_positional_and_keyword_arguments():
    args = make_args()
    values = list(args.values())
    layer = bw.VSKLayer(*values[:3], **dict(itertools.islice(args.items(), 3, None)))
    assert layer.layer_array is args["layer_array"]
    assert layer.skip_weights is args["dendrites_to_dendrites"]


# ---------------------------------------------------------------- order of the steps


def recording_layer_class(log):
    class Recorded(bw.VSKLayer):
        def __setattr__(self, name, value):
            log.append(("set", name))
            super().__setattr__(name, value)

        def __delattr__(self, name):
            log.append(("del", name))
            super().__delattr__(name)

        def __getattribute__(self, name):
            if name == "skip_weights":
                log.append(("get", name))
            return super().__getattribute__(name)

        def __getattr__(self, name):
            # nn.Module serves registered children here
            return super().__getattr__(name)

        def register_buffer(self, *args, **kwargs):
            log.append(("register_buffer", args[0], len(args), tuple(kwargs)))
            super().register_buffer(*args, **kwargs)

    return Recorded


class RecordingWeights(nn.ParameterList):
    def __init__(self, entries, log, label):
        super().__init__()
        for entry in entries:
            super().append(entry)
        self.__dict__["_log"] = log
        self.__dict__["_label"] = label

    def __bool__(self):
        self._log.append(("bool", self._label))
        return super().__len__() > 0

    def __len__(self):
        if "_log" in self.__dict__ and not self.__dict__.get("_quiet"):
            self._log.append(("len", self._label))
        return super().__len__()

    # ParameterList's own item access and append take its length: not logged
    def __getitem__(self, index):
        self._log.append(("getitem", self._label, index))
        return self._quietly(super().__getitem__, index)

    def append(self, value):
        self._log.append(("append", self._label))
        return self._quietly(super().append, value)

    def _quietly(self, method, argument):
        self.__dict__["_quiet"] = True
        try:
            return method(argument)
        finally:
            self.__dict__["_quiet"] = False


class RecordingModule:
    def __init__(self, real, label, log):
        self._real, self._label, self._log = real, label, log

    def __getattr__(self, name):
        label = f"{self._label}.{name}"
        self._log.append(("read", label))
        real = getattr(self._real, name)

        def call(*args, **kwargs):
            shown = tuple(a if type(a) is int else type(a).__name__ for a in args)
            self._log.append(("call", label, shown, tuple(kwargs)))
            return real(*args, **kwargs)

        return call


@pytest.mark.parametrize("n_dendrites, n_top, tail", [
    (2, 1, [("bool", "d2d"), ("set", "skip_weights"),
            ("bool", "d2t"), ("get", "skip_weights"), ("len", "d2t"), ("getitem", "d2t", 0),
            ("append", "d2d"), ("get", "skip_weights"), ("len", "d2d")]),
    (0, 3, [("bool", "d2d"), ("read", "nn.ParameterList"), ("read", "torch.zeros"),
            ("call", "torch.zeros", (1, 1, 1), ()), ("call", "nn.ParameterList", ("list",), ()),
            ("set", "skip_weights"),
            ("bool", "d2t"), ("get", "skip_weights"), ("len", "d2t"), ("getitem", "d2t", 2),
            ("get", "skip_weights")]),
    (2, 0, [("bool", "d2d"), ("set", "skip_weights"),
            ("bool", "d2t"), ("read", "nn.ParameterList"), ("call", "nn.ParameterList", (), ()),
            ("set", "skip_weights"),
            ("get", "skip_weights"), ("del", "skip_weights")]),
])
def test_constructor_steps_run_in_order(monkeypatch, n_dendrites, n_top, tail):
    log = []
    monkeypatch.setattr(bw, "torch", RecordingModule(torch, "torch", log))
    monkeypatch.setattr(bw, "nn", RecordingModule(nn, "nn", log))

    def getter():
        log.append(("read", "get_vsk_forward_function"))
        return torch.sigmoid

    monkeypatch.setattr(pc, "get_vsk_forward_function", getter)
    cls = recording_layer_class(log)
    args = make_args()
    args["dendrites_to_dendrites"] = RecordingWeights(params(n_dendrites), log, "d2d")
    args["dendrites_to_top"] = RecordingWeights(params(n_top), log, "d2t")
    cls(*args.values())
    head = [("set", "layer_array"), ("register_buffer", "num_cycles", 2, ()),
            ("read", "torch.tensor"), ("call", "torch.tensor", ("list",), ()),
            ("register_buffer", "view_tuple", 2, ()),
            ("set", "processor_array")]
    end = [("set", "node_index"), ("read", "get_vsk_forward_function"),
           ("set", "internal_nonlinearity")]
    # nn.Module's own constructor sets its bookkeeping attributes first
    start = log.index(("set", "layer_array"))
    assert all(entry[0] == "set" for entry in log[:start])
    assert log[start:] == head + tail + end
