"""VSKModulePyThread built directly from hand-made block layers: the state the
constructor takes over, the two branch methods, and the forward pass with its
cascade merge, in sequential and in threaded mode."""
import builtins
import threading
from collections.abc import Mapping

import pytest
import torch
from torch import nn

import veskari.clean_veskari as clean
from helpers import CountingSettings, run_together, super_refusal
from veskari import globals_veskari as GVS
from veskari import reference

VSKModulePyThread = clean.VSKModulePyThread
ABSENT = object()


class Mul(nn.Module):
    """Multiplies its input by a fixed factor; records every call."""

    def __init__(self, factor, log=None, name=None):
        super().__init__()
        self.factor = factor
        self.log = log
        self.name = name

    def forward(self, x, **kwargs):
        if self.log is not None:
            self.log.append(self.name)
        return x * self.factor


class Echo(nn.Module):
    """Returns exactly what it was called with."""

    def forward(self, *args, **kwargs):
        return ("echo", args, kwargs)


class Boom(nn.Module):
    def __init__(self, error=None):
        super().__init__()
        self.error = error or RuntimeError("branch failed")

    def forward(self, *args, **kwargs):
        raise self.error


class FakeBlock(nn.Module):
    """What the converter reads from a block layer."""

    def __init__(self, layers, processors=None, skip_weights=ABSENT, node_index=None,
                 num_cycles=ABSENT, view_tuple=(1, -1), container=nn.Sequential):
        super().__init__()
        self.layer_array = container(*layers) if issubclass(container, nn.Sequential) \
            else container(layers)
        self.processor_array = list(processors) if processors is not None \
            else [None] * len(layers)
        if skip_weights is not ABSENT:
            self.skip_weights = skip_weights
        self.node_index = torch.tensor(1) if node_index is None else node_index
        self.register_buffer("num_cycles",
                             torch.tensor(2) if num_cycles is ABSENT else num_cycles)
        self.register_buffer("view_tuple", torch.tensor(list(view_tuple)))


def cascade_weights(n, features, seed=0):
    """A block's skip-weight list: an unused entry 0, then k rows for branch k."""
    generator = torch.Generator().manual_seed(seed)
    entries = [nn.Parameter(torch.zeros(1, 1, 1))]
    for k in range(1, n):
        entries.append(nn.Parameter(torch.randn(k, features, generator=generator)))
    return nn.ParameterList(entries)


def linear_block(n, features=4, skip=True, seed=0, processors=None):
    torch.manual_seed(seed)
    layers = [nn.Linear(features, features) for _ in range(n)]
    return FakeBlock(layers, processors=processors,
                     skip_weights=cascade_weights(n, features, seed) if skip else ABSENT)


class Scaling:
    """pre scales (a dendrite's input, or the main output), post shifts the
    result (a dendrite's output, or the merged value)."""

    def __init__(self, scale, shift, main=False):
        self.scale, self.shift, self.main = scale, shift, main

    def pre(self, x):
        return x * self.scale if self.main else ((x * self.scale,), {})

    def post(self, value):
        return value + self.shift


def oracle(block, x):
    """What veskari.reference computes for `block` on `x`, under the settings in place."""
    return reference.make_module(block)(x)


@pytest.fixture
def threaded():
    clean.doing_threading = True


class RecordingThread(threading.Thread):
    """A real thread that records its construction, start and join."""

    events = []

    def __init__(self, *args, **kwargs):
        assert args == ()
        target = kwargs["target"]
        label = "main" if target.__func__ is VSKModulePyThread.process_and_pre \
            else kwargs["args"][0]
        self.label = label
        self.given = kwargs
        RecordingThread.events.append(("init", label))
        super().__init__(**kwargs)

    def start(self, *args, **kwargs):
        RecordingThread.events.append(("start", self.label) + args + tuple(kwargs))
        super().start()

    def join(self, *args, **kwargs):
        RecordingThread.events.append(("join", self.label) + args + tuple(kwargs))
        super().join()


@pytest.fixture
def recording_thread():
    RecordingThread.events = []
    clean.Thread = RecordingThread
    return RecordingThread


@pytest.fixture
def thread_errors(monkeypatch):
    errors = []
    monkeypatch.setattr(threading, "excepthook",
                        lambda args: errors.append((args.exc_type, str(args.exc_value))))
    return errors


# ============================================================ construction


def test_shared_pieces_are_the_very_objects():
    block = linear_block(3)
    made = VSKModulePyThread(block)
    assert made.layer_array is block.layer_array
    assert made.processor_array is block.processor_array
    assert made.num_cycles is block.num_cycles
    assert made.view_tuple is block.view_tuple
    assert "processor_array" not in made._modules
    assert vars(made)["processor_array"] is block.processor_array


@pytest.mark.parametrize("length", [2, 3, 5])
@pytest.mark.parametrize("kind", [nn.ParameterList, list])
def test_skip_weights_drop_the_first_entry(length, kind):
    entries = [nn.Parameter(torch.full((k + 1, 3), float(k))) for k in range(length)]
    weights = kind(entries)
    block = FakeBlock([nn.Identity()] * 2, skip_weights=weights)
    made = VSKModulePyThread(block)
    assert made.skip_weights is not weights
    assert type(made.skip_weights) is kind
    assert len(made.skip_weights) == length - 1
    for mine, theirs in zip(made.skip_weights, entries[1:], strict=True):
        assert mine is theirs
    assert len(weights) == length  # the block's own list is unchanged


@pytest.mark.parametrize("weights", [ABSENT, nn.ParameterList(), [],
                                     nn.ParameterList([torch.zeros(1, 1, 1)])],
                         ids=["absent", "empty", "empty_list", "one_entry"])
def test_no_skip_weights_attribute_for_short_lists(weights):
    made = VSKModulePyThread(FakeBlock([nn.Identity()], skip_weights=weights))
    assert not hasattr(made, "skip_weights")
    assert "skip_weights" not in made._modules


def test_node_index_is_a_private_detached_copy():
    index = torch.tensor([1.0, 2.0], requires_grad=True)
    block = FakeBlock([nn.Identity()], node_index=index)
    made = VSKModulePyThread(block)
    assert made.node_index is not index
    assert torch.equal(made.node_index, torch.tensor([1.0, 2.0]))
    assert made.node_index.requires_grad is False
    assert made.node_index.grad_fn is None
    with torch.no_grad():
        index.add_(10)
    assert torch.equal(made.node_index, torch.tensor([1.0, 2.0]))


def test_in_place_changes_of_shared_buffers_show_through():
    block = linear_block(2)
    made = VSKModulePyThread(block)
    block.num_cycles.add_(5)
    block.view_tuple[0] = 7
    assert made.num_cycles.item() == 7
    assert made.view_tuple.tolist() == [7, -1]


def test_registration_order_and_state_dict():
    block = linear_block(3)
    made = VSKModulePyThread(block)
    assert list(made._buffers) == ["node_index", "num_cycles", "view_tuple"]
    assert list(made._modules) == ["layer_array", "skip_weights"]
    keys = list(made.state_dict())
    assert keys[:3] == ["node_index", "num_cycles", "view_tuple"]
    assert keys[3:] == [f"layer_array.{i}.{p}" for i in range(3) for p in ("weight", "bias")] \
        + ["skip_weights.0", "skip_weights.1"]
    assert made.state_dict()["skip_weights.0"] is not None


def test_module_valued_processor_array_is_registered_in_order():
    block = FakeBlock([nn.Identity(), nn.Identity()], skip_weights=cascade_weights(2, 1))
    block.processor_array = nn.ModuleList([nn.Identity(), nn.Identity()])
    made = VSKModulePyThread(block)
    assert list(made._modules) == ["layer_array", "processor_array", "skip_weights"]


def test_none_num_cycles_is_a_buffer_left_out_of_the_state_dict():
    made = VSKModulePyThread(FakeBlock([nn.Identity()], num_cycles=None))
    assert "num_cycles" in made._buffers and made.num_cycles is None
    assert list(made.state_dict()) == ["node_index", "view_tuple"]


def test_state_dict_round_trip_and_module_machinery():
    made = VSKModulePyThread(linear_block(2))
    other = VSKModulePyThread(linear_block(2, seed=5))
    other.load_state_dict(made.state_dict())
    x = torch.randn(3, 4)
    assert torch.equal(other(x), made(x))
    assert made.double().view_tuple.dtype == torch.int64
    assert made.layer_array[0].weight.dtype == torch.float64


def test_constructor_returns_none():
    made = VSKModulePyThread.__new__(VSKModulePyThread)
    assert VSKModulePyThread.__init__(made, linear_block(1)) is None


class CountedSkipWeights(nn.Module):
    """A block whose skip_weights is a property that counts its reads."""

    def __init__(self, value):
        super().__init__()
        self.reads = 0
        self.value = value
        self.layer_array = nn.Sequential(nn.Identity())
        self.processor_array = [None]
        self.node_index = torch.tensor(0)
        self.num_cycles = torch.tensor(0)
        self.view_tuple = torch.tensor([1])

    @property
    def skip_weights(self):
        self.reads += 1
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


@pytest.mark.parametrize("value, reads, present", [
    ([1, 2, 3], 3, True),          # hasattr, len, slice: a fresh read each
    ([1], 2, False),
    ([], 2, False),
    (AttributeError("none"), 1, False),
])
def test_skip_weights_read_afresh_for_each_step(value, reads, present):
    block = CountedSkipWeights(value)
    made = VSKModulePyThread(block)
    assert block.reads == reads
    assert hasattr(made, "skip_weights") is present
    if present:
        assert made.skip_weights == [2, 3]


def test_skip_weights_error_other_than_attribute_error_propagates():
    with pytest.raises(RuntimeError, match="^boom$"):
        VSKModulePyThread(CountedSkipWeights(RuntimeError("boom")))


def test_skip_weights_without_length_propagates():
    with pytest.raises(TypeError) as info:
        VSKModulePyThread(CountedSkipWeights(5))
    assert str(info.value) == "object of type 'int' has no len()"


def test_failed_construction_keeps_what_was_set():
    block = linear_block(2)
    del block.node_index
    made = VSKModulePyThread.__new__(VSKModulePyThread)
    with pytest.raises(AttributeError, match="node_index"):
        VSKModulePyThread.__init__(made, block)
    assert made.layer_array is block.layer_array
    assert made.processor_array is block.processor_array
    assert len(made.skip_weights) == 1
    assert "node_index" not in made._buffers


def test_buffer_that_is_not_a_tensor_is_refused_by_pytorch():
    block = linear_block(1)
    del block.view_tuple
    block.view_tuple = [1, -1]
    with pytest.raises(TypeError, match="view_tuple"):
        VSKModulePyThread(block)


def test_constructor_reads_its_class_from_the_module_globals():
    clean.VSKModulePyThread = nn.Linear
    with pytest.raises(TypeError) as info:
        VSKModulePyThread(linear_block(1))
    assert str(info.value) == super_refusal(nn.Linear, VSKModulePyThread)


def test_constructor_uses_the_super_fetched_at_import(monkeypatch):
    block = linear_block(2)
    real = builtins.super
    explicit = []

    class Spy(real):
        """Still works for the zero-argument form inside PyTorch."""

        def __new__(cls, *args):
            explicit.extend(args[:1])
            return real.__new__(cls)

    with monkeypatch.context() as patch:
        patch.setattr(builtins, "super", Spy)
        made = VSKModulePyThread(block)
    assert VSKModulePyThread not in explicit
    assert made.layer_array is block.layer_array


# ========================================================= branch methods


def test_branch_methods_need_their_leading_arguments():
    made = VSKModulePyThread(linear_block(2))
    for call in (lambda: made.process_and_forward(),
                 lambda: made.process_and_forward(0),
                 lambda: made.process_and_pre(),
                 lambda: VSKModulePyThread.process_and_forward(None),
                 lambda: VSKModulePyThread.process_and_forward(None, 0),
                 lambda: VSKModulePyThread.process_and_pre(None)):
        with pytest.raises(IndexError) as info:
            call()
        assert str(info.value) == "tuple index out of range"


def test_dendrite_without_processor_gets_exactly_the_inputs():
    made = VSKModulePyThread(FakeBlock([Echo(), Echo(), Echo()]))
    outs = [None] * 3
    assert made.process_and_forward(1, outs, 1, "two", three=3) is None
    assert outs == [None, ("echo", (1, "two"), {"three": 3}), None]


def test_dendrite_output_stored_unchanged():
    value = object()

    class Same(nn.Module):
        def forward(self):
            return value

    made = VSKModulePyThread(FakeBlock([Same(), nn.Identity()]))
    outs = [None, None]
    made.process_and_forward(0, outs)
    assert outs[0] is value


def test_dendrite_slot_uses_the_index_object_itself():
    made = VSKModulePyThread(FakeBlock([Echo(), Echo()]))
    outs = {}
    made.process_and_forward(True, outs, 5)
    assert list(outs) == [True] and next(iter(outs)) is True
    assert outs[True] == ("echo", (5,), {})


class Recording:
    """A dendrite processor recording its hooks."""

    def __init__(self, pre_result=None):
        self.calls = []
        self.pre_result = pre_result

    def pre(self, *args, **kwargs):
        self.calls.append(("pre", args, kwargs))
        if self.pre_result is not None:
            return self.pre_result
        return (args + ("pre",), dict(kwargs, pre=True))

    def post(self, value):
        self.calls.append(("post", value))
        return ("post", value)


def test_dendrite_processor_pre_then_module_then_post():
    processor = Recording()
    made = VSKModulePyThread(FakeBlock([Echo(), Echo()], processors=[processor, None]))
    outs = [None, None]
    made.process_and_forward(0, outs, 1, k=2)
    assert processor.calls == [("pre", (1,), {"k": 2}),
                               ("post", ("echo", (1, "pre"), {"k": 2, "pre": True}))]
    assert outs[0] == ("post", ("echo", (1, "pre"), {"k": 2, "pre": True}))


class Flag:
    def __init__(self, value, log):
        self.value = value
        self.log = log

    def __bool__(self):
        self.log.append("bool")
        return self.value


class OddComparison(Recording):
    """A processor whose ``!=`` answers with an arbitrary object."""

    def __init__(self, answer, log):
        super().__init__()
        self.answer = answer
        self.log = log

    def __ne__(self, other):
        self.log.append(("ne", other))
        if isinstance(self.answer, BaseException):
            raise self.answer
        return self.answer

    def __eq__(self, other):
        raise AssertionError("== must not be used")

    __hash__ = object.__hash__


def test_processor_test_is_a_rich_comparison_with_a_falsy_answer():
    log = []
    processor = OddComparison(Flag(False, log), log)
    made = VSKModulePyThread(FakeBlock([Echo(), Echo()], processors=[processor, None]))
    outs = [None, None]
    made.process_and_forward(0, outs, 1)
    assert log == [("ne", None), "bool", ("ne", None), "bool"]
    assert processor.calls == []
    assert outs[0] == ("echo", (1,), {})


def test_processor_test_is_a_rich_comparison_with_a_truthy_answer():
    log = []
    processor = OddComparison("yes", log)
    made = VSKModulePyThread(FakeBlock([Echo(), Echo()], processors=[processor, None]))
    outs = [None, None]
    made.process_and_forward(0, outs, 1)
    assert log == [("ne", None), ("ne", None)]
    assert [c[0] for c in processor.calls] == ["pre", "post"]


def test_processor_comparison_error_propagates_and_leaves_the_slot():
    log = []
    processor = OddComparison(ValueError("cannot compare"), log)
    made = VSKModulePyThread(FakeBlock([Echo(), Echo()], processors=[processor, None]))
    outs = ["untouched", None]
    with pytest.raises(ValueError, match="cannot compare"):
        made.process_and_forward(0, outs, 1)
    assert outs == ["untouched", None]


def test_main_processor_test_is_identity():
    log = []

    class Main(OddComparison):
        def pre(self, value):
            self.calls.append(("pre", value))
            return ("pre", value)

    processor = Main(ValueError("!= must not be used"), log)
    made = VSKModulePyThread(FakeBlock([Echo(), Echo()], processors=[None, processor]))
    outs = [None, None]
    made.process_and_pre(outs, 1)
    assert log == []
    assert outs[1] == ("pre", ("echo", (1,), {}))
    assert made(2) == ("post", ("pre", ("echo", (2,), {})))


@pytest.mark.parametrize("pre_result, expected", [
    (([1, 2], {"a": 3}), ("echo", (1, 2), {"a": 3})),
    ((iter([4]), {}), ("echo", (4,), {})),
    ((x for x in [(5,), {"b": 6}]), ("echo", (5,), {"b": 6})),
    ([(7,), {}], ("echo", (7,), {})),
    (((8,), type("Sub", (dict,), {})(c=9)), ("echo", (8,), {"c": 9})),
], ids=["list_args", "iterator_args", "generator_pair", "list_pair", "dict_subclass"])
def test_pre_results_that_are_accepted(pre_result, expected):
    made = VSKModulePyThread(FakeBlock([Echo(), Echo()],
                                       processors=[Recording(pre_result), None]))
    outs = [None, None]
    made.process_and_forward(0, outs)
    assert outs[0] == ("post", expected)


def test_pre_keyword_mapping_that_is_not_a_dict():
    class Keywords(Mapping):
        def __getitem__(self, key):
            return {"d": 10}[key]

        def __iter__(self):
            return iter(["d"])

        def __len__(self):
            return 1

    made = VSKModulePyThread(FakeBlock([Echo(), Echo()],
                                       processors=[Recording(((), Keywords())), None]))
    outs = [None, None]
    made.process_and_forward(0, outs)
    assert outs[0] == ("post", ("echo", (), {"d": 10}))


@pytest.mark.parametrize("pre_result, error, message", [
    (((1,), None), TypeError, "argument after ** must be a mapping, not NoneType"),
    (((1,), {}, 3), ValueError, "too many values to unpack (expected 2)"),
    (((1,),), ValueError, "need more than 1 value to unpack"),
    ((), ValueError, "need more than 0 values to unpack"),
    (iter([1, 2, 3]), ValueError, "too many values to unpack (expected 2)"),
    (iter([1]), ValueError, "need more than 1 value to unpack"),
])
def test_pre_results_that_are_refused(pre_result, error, message):
    processor = Recording()
    processor.pre = lambda *args, **kwargs: pre_result
    made = VSKModulePyThread(FakeBlock([Echo(), Echo()], processors=[processor, None]))
    outs = ["untouched", None]
    with pytest.raises(error) as info:
        made.process_and_forward(0, outs, 1)
    assert str(info.value) == message
    assert outs == ["untouched", None]


def test_pre_positional_result_that_is_not_iterable():
    made = VSKModulePyThread(FakeBlock([Echo(), Echo()], processors=[Recording((5, {})), None]))
    with pytest.raises(TypeError):
        made.process_and_forward(0, [None, None])


def test_pre_result_that_is_not_iterable():
    processor = Recording()
    processor.pre = lambda *args, **kwargs: 5
    made = VSKModulePyThread(FakeBlock([Echo(), Echo()], processors=[processor, None]))
    with pytest.raises(TypeError):
        made.process_and_forward(0, [None, None])


def test_dendrite_module_is_called_with_hooks_and_main_through_forward():
    calls = []
    dendrite, main = Echo(), Echo()
    for name, module in (("dendrite", dendrite), ("main", main)):
        module.register_forward_pre_hook(lambda m, a, name=name: calls.append(("pre", name)))
        module.register_forward_hook(lambda m, a, o, name=name: calls.append(("hook", name)))
    made = VSKModulePyThread(FakeBlock([dendrite, main]))
    outs = [None, None]
    made.process_and_forward(0, outs, 1)
    made.process_and_pre(outs, 1)
    assert calls == [("pre", "dendrite"), ("hook", "dendrite")]
    assert outs == [("echo", (1,), {}), ("echo", (1,), {})]


def test_main_pre_gets_the_output_and_post_is_not_called():
    class Main:
        def __init__(self):
            self.calls = []

        def pre(self, value):
            self.calls.append(("pre", value))
            return ("pre", value)

        def post(self, value):
            self.calls.append(("post", value))
            return value

    main = Main()
    made = VSKModulePyThread(FakeBlock([Echo(), Echo()], processors=[None, main]))
    outs = [None] * 5
    assert made.process_and_pre(outs, "x", k=1) is None
    assert main.calls == [("pre", ("echo", ("x",), {"k": 1}))]
    assert outs == [None, ("pre", ("echo", ("x",), {"k": 1})), None, None, None]


def test_main_slot_beyond_a_short_list_fails():
    made = VSKModulePyThread(FakeBlock([Echo(), Echo(), Echo()]))
    outs = [None, None]
    with pytest.raises(IndexError) as info:
        made.process_and_pre(outs, 1)   # slot 2 of a two-element list
    assert str(info.value) == "list assignment index out of range"
    assert outs == [None, None]


def test_main_branch_of_an_empty_block_fails_before_writing():
    made = VSKModulePyThread(FakeBlock([], processors=[]))
    outs = ["untouched"]
    with pytest.raises(IndexError):
        made.process_and_pre(outs, 1)
    assert outs == ["untouched"]


# ============================================================ forward pass


def _set_activation(function):
    GVS.pc.set_vsk_forward_function(function)


def test_cascade_by_hand_for_three_branches():
    block = FakeBlock([Mul(2.0), Mul(3.0), Mul(1.0)], skip_weights=nn.ParameterList([
        torch.zeros(1, 1, 1),
        torch.tensor([[1.0, 10.0]]),
        torch.tensor([[2.0, 0.0], [1.0, 1.0]]),
    ]))
    _set_activation(lambda value: value * 0.5)
    made = VSKModulePyThread(block)
    x = torch.tensor([[1.0, 2.0]])
    # D0 = [2, 4], D1 = [3, 6], M = [1, 2]
    # A0 = act(D0) = [1, 2]
    # A1 = act(D1 + W1[0] * A0) = act([4, 26]) = [2, 13]
    # Y = M + W2[0] * A0 + W2[1] * A1 = [5, 15]
    assert torch.equal(made(x), torch.tensor([[5.0, 15.0]]))


@pytest.mark.parametrize("skip", [True, False], ids=["skip_weights", "no_skip_weights"])
@pytest.mark.parametrize("n", [1, 2, 3, 4])
@pytest.mark.parametrize("mode", ["sequential", "threaded"])
def test_cascade_matches_the_hand_computation(n, skip, mode):
    _set_activation(torch.tanh)
    clean.doing_threading = mode == "threaded"
    block = linear_block(n, skip=skip, seed=n)
    made = VSKModulePyThread(block)
    x = torch.randn(3, 4, generator=torch.Generator().manual_seed(7))
    with torch.no_grad():
        assert torch.equal(made(x), oracle(block, x))


def test_cascade_with_processors_and_four_dimensional_outputs():
    torch.manual_seed(3)
    layers = [nn.Conv2d(2, 3, 3, padding=1) for _ in range(3)]
    processors = [Scaling(2.0, 0.5), None, Scaling(3.0, -1.0, main=True)]
    block = FakeBlock(layers, processors=processors, skip_weights=cascade_weights(3, 3),
                      view_tuple=(1, -1, 1, 1))
    made = VSKModulePyThread(block)
    x = torch.randn(2, 2, 4, 4)
    with torch.no_grad():
        expected = oracle(block, x)
        assert torch.equal(made(x), expected)
        clean.doing_threading = True
        assert torch.equal(made(x), expected)


def test_single_branch_returns_main_output_through_post():
    block = FakeBlock([Mul(3.0)], processors=[Scaling(2.0, 1.0, main=True)],
                      skip_weights=cascade_weights(1, 2))
    made = VSKModulePyThread(block)
    assert torch.equal(made(torch.tensor([1.0, 2.0])), torch.tensor([7.0, 13.0]))


@pytest.mark.parametrize("n, skip, fetches", [
    (1, True, 0), (2, True, 1), (3, True, 2), (4, True, 3), (4, False, 0)])
def test_activation_fetched_afresh_for_each_dendrite(n, skip, fetches, monkeypatch):
    activations = [torch.tanh, torch.sigmoid, torch.relu]
    settings = CountingSettings(activations)
    monkeypatch.setattr(GVS, "pc", settings)
    block = linear_block(n, skip=skip)
    made = VSKModulePyThread(block)
    x = torch.randn(2, 4)
    with torch.no_grad():
        result = made(x)
        assert settings.count("get_vsk_forward_function") == fetches
        made(x)
        assert settings.count("get_vsk_forward_function") == 2 * fetches
        monkeypatch.setattr(GVS, "pc", CountingSettings(activations))
        assert torch.equal(result, oracle(block, x))


def test_main_post_is_applied_last_to_the_merged_value():
    calls = []

    class Main:
        def pre(self, value):
            calls.append(("pre", value.tolist()))
            return value

        def post(self, value):
            calls.append(("post", value.tolist()))
            return "final"

    block = FakeBlock([Mul(1.0), Mul(1.0)], processors=[None, Main()],
                      skip_weights=nn.ParameterList([torch.zeros(1, 1, 1),
                                                     torch.tensor([[1.0]])]))
    _set_activation(lambda value: value + 100)
    made = VSKModulePyThread(block)
    assert made(torch.tensor([[1.0]])) == "final"
    assert calls == [("pre", [[1.0]]), ("post", [[102.0]])]


def test_without_skip_weights_dendrites_still_run_but_do_not_count():
    log = []
    block = FakeBlock([Mul(5.0, log, "d0"), Mul(7.0, log, "d1"), Mul(2.0, log, "main")])
    made = VSKModulePyThread(block)
    assert torch.equal(made(torch.tensor([1.0])), torch.tensor([2.0]))
    assert log == ["d0", "d1", "main"]


class CountingSequential(nn.Sequential):
    """Counts the converter's len() calls (item access does not use len)."""

    lengths = 0

    def __len__(self):
        CountingSequential.lengths += 1
        return len(self._modules)

    def __getitem__(self, index):
        return list(self._modules.values())[index]


@pytest.mark.parametrize("n, skip, mode, lengths", [
    (3, True, "sequential", 4 + 2 * 3),
    (3, False, "sequential", 4 + 3),
    (3, True, "threaded", 5 + 2 * 3),
    (1, True, "sequential", 4 + 1),
])
def test_layer_count_recomputed_at_every_use(n, skip, mode, lengths):
    block = FakeBlock([nn.Identity() for _ in range(n)],
                      skip_weights=cascade_weights(n, 2) if skip else ABSENT,
                      container=CountingSequential)
    made = VSKModulePyThread(block)
    clean.doing_threading = mode == "threaded"
    CountingSequential.lengths = 0
    made(torch.ones(1, 2))
    assert CountingSequential.lengths == lengths


def test_merge_errors_propagate():
    block = linear_block(2)
    made = VSKModulePyThread(block)
    _set_activation(5)
    with pytest.raises(TypeError, match="'int' object is not callable"):
        made(torch.ones(1, 4))
    _set_activation(torch.tanh)
    block.skip_weights[1] = nn.Parameter(torch.ones(1, 3))  # a row of the wrong size
    made = VSKModulePyThread(block)
    with pytest.raises(RuntimeError):
        made(torch.ones(1, 4))


@pytest.mark.parametrize("container", [nn.Sequential, nn.ModuleList, list],
                         ids=["sequential", "module_list", "list"])
def test_any_indexable_layer_sequence(container):
    torch.manual_seed(4)
    layers = [nn.Linear(4, 4) for _ in range(3)]
    block = FakeBlock(layers, skip_weights=cascade_weights(3, 4), container=container)
    made = VSKModulePyThread(block)
    assert made.layer_array is block.layer_array
    x = torch.randn(2, 4)
    with torch.no_grad():
        expected = oracle(block, x)
        assert torch.equal(made(x), expected)
        clean.doing_threading = True
        assert torch.equal(made(x), expected)


@pytest.mark.parametrize("mode", ["sequential", "threaded"])
def test_branch_methods_are_looked_up_on_the_instance(mode):
    calls = []

    class Derived(VSKModulePyThread):
        def process_and_pre(self, outs, *args, **kwargs):
            calls.append(("main", args, kwargs))
            outs[-1] = "main"

    made = Derived(FakeBlock([Echo(), Echo()]))

    def dendrite(c, outs, *args, **kwargs):
        calls.append((c, args, kwargs))
        outs[c] = "dendrite"

    made.process_and_forward = dendrite
    clean.doing_threading = mode == "threaded"
    assert made(1, k=2) == "main"
    assert calls == [(0, (1,), {"k": 2}), ("main", (1,), {"k": 2})]


def test_flag_is_read_before_anything_else():
    del clean.doing_threading
    with pytest.raises(NameError):
        VSKModulePyThread.forward(object())


def test_converted_layer_survives_deepcopy_and_pickle():
    import copy
    import pickle

    block = linear_block(3, processors=[Scaling(2.0, 0.5), None,
                                        Scaling(3.0, -1.0, main=True)])
    made = VSKModulePyThread(block)
    x = torch.randn(2, 4)
    with torch.no_grad():
        expected = made(x)
        for twin in (copy.deepcopy(made), pickle.loads(pickle.dumps(made))):
            assert type(twin) is VSKModulePyThread
            assert twin.layer_array is not made.layer_array
            assert torch.equal(twin(x), expected)


def test_missing_thread_key_raises_key_error(threaded):
    made = VSKModulePyThread(FakeBlock([Echo(), Echo()]))
    started = []

    class Growing:
        def __init__(self, *, target, args, kwargs):
            self.target = target
            if target.__func__ is VSKModulePyThread.process_and_forward:
                made.layer_array.append(Echo())  # the main key becomes 2

        def start(self):
            started.append(self.target.__name__)

        def join(self):
            pytest.fail("join after a failed start phase")

    clean.Thread = Growing
    with pytest.raises(KeyError) as info:
        made(1)
    assert info.value.args == (1,)
    assert started == ["process_and_forward"]


# ------------------------------------------------------ the threading flag


def test_flag_is_read_once_per_call_through_its_truth_value():
    log = []
    block = FakeBlock([Mul(1.0, log, "d0"), Mul(1.0, log, "d1"), Mul(1.0, log, "main")])
    made = VSKModulePyThread(block)
    clean.doing_threading = Flag(False, log)
    made(torch.ones(1))
    # One truth test per dendrite, one for the main branch, one for the run.
    assert log == ["bool", "d0", "bool", "d1", "bool", "main", "bool"]


def test_switching_the_flag_during_a_call_changes_nothing(recording_thread):
    class Switch(nn.Module):
        def forward(self, x):
            clean.doing_threading = not clean.doing_threading
            return x

    made = VSKModulePyThread(FakeBlock([Switch(), nn.Identity(), nn.Identity()]))
    made(torch.ones(1))              # starts sequential, turns threading on
    assert recording_thread.events == []
    assert clean.doing_threading is True
    made(torch.ones(1))              # starts threaded, turns it off
    assert [e for e in recording_thread.events if e[0] == "join"] == [
        ("join", 0), ("join", 1), ("join", "main")]


@pytest.mark.parametrize("value, threads", [([], 0), ([0], 3), ("", 0), ("x", 3), (0, 0),
                                            (2, 3)])
def test_flag_that_is_not_a_bool(value, threads, recording_thread):
    block = linear_block(3)
    made = VSKModulePyThread(block)
    clean.doing_threading = value
    x = torch.ones(1, 4)
    with torch.no_grad():
        assert torch.equal(made(x), oracle(block, x))
    assert sum(1 for e in recording_thread.events if e[0] == "start") == threads


# ------------------------------------------------------------ threaded mode


@pytest.mark.parametrize("n", [1, 2, 4])
def test_threads_created_then_started_then_joined_in_order(n, threaded, recording_thread):
    made = VSKModulePyThread(linear_block(n))
    made(torch.ones(2, 4))
    labels = list(range(n - 1)) + ["main"]
    assert recording_thread.events == [("init", i) for i in labels] + \
        [("start", i) for i in labels] + [("join", i) for i in labels]


@pytest.mark.parametrize("skip", [True, False], ids=["skip_weights", "no_skip_weights"])
@pytest.mark.parametrize("context", [torch.no_grad, torch.inference_mode, torch.enable_grad])
def test_threaded_equals_sequential_in_every_autograd_mode(context, skip, thread_errors):
    block = linear_block(3, skip=skip, processors=[Scaling(2.0, 0.5), None, None])
    made = VSKModulePyThread(block)
    x = torch.randn(2, 4, generator=torch.Generator().manual_seed(9))
    results = {}
    for mode in (False, True):
        clean.doing_threading = mode
        with context():
            results[mode] = made(x)
    sequential, threaded = results[False], results[True]
    assert thread_errors == []
    assert torch.equal(threaded.detach(), sequential.detach())
    assert threaded.requires_grad == sequential.requires_grad
    assert threaded.is_inference() == sequential.is_inference()


def test_thread_arguments(threaded, monkeypatch):
    seen = []

    class Capture:
        def __init__(self, *args, **kwargs):
            seen.append((args, kwargs))
            self.kwargs = kwargs

        def start(self):
            call = self.kwargs
            call["target"](*call["args"], **call["kwargs"])

        def join(self):
            pass

    clean.Thread = Capture
    made = VSKModulePyThread(FakeBlock([Echo(), Echo(), Echo()]))
    given = {"key": "value"}
    result = made(1, 2, **given)
    assert result == ("echo", (1, 2), {"key": "value"})
    assert [args for args, _ in seen] == [(), (), ()]
    assert [sorted(kwargs) for _, kwargs in seen] == [["args", "kwargs", "target"]] * 3
    outs = seen[0][1]["args"][1]
    assert [kwargs["args"] for _, kwargs in seen] == [(0, outs, 1, 2), (1, outs, 1, 2),
                                                      (outs, 1, 2)]
    assert all(kwargs["args"][1 if i < 2 else 0] is outs for i, (_, kwargs) in enumerate(seen))
    # One keyword dict for every thread: the call's own, not the caller's.
    dicts = [kwargs["kwargs"] for _, kwargs in seen]
    assert dicts[0] is dicts[1] is dicts[2]
    assert dicts[0] == given and dicts[0] is not given
    targets = [kwargs["target"] for _, kwargs in seen]
    assert all(t.__self__ is made for t in targets)
    assert [t.__func__ for t in targets] == [VSKModulePyThread.process_and_forward] * 2 + \
        [VSKModulePyThread.process_and_pre]
    # The slot list after the merge holds the merged values.
    assert outs == [("echo", (1, 2), given)] * 3


def test_each_threaded_branch_gets_its_own_keyword_dict(threaded):
    received = []

    class Keep(nn.Module):
        def forward(self, **kwargs):
            received.append(kwargs)
            kwargs["changed"] = True
            return torch.zeros(1)

    made = VSKModulePyThread(FakeBlock([Keep(), Keep(), Keep()]))
    given = {"a": 1}
    made(**given)
    assert len(received) == 3
    assert len({id(k) for k in received}) == 3
    assert given == {"a": 1}


def test_failing_dendrite_thread_leaves_its_slot_none(threaded, thread_errors):
    block = FakeBlock([Echo(), Boom(ValueError("dendrite 1")), Echo()])
    made = VSKModulePyThread(block)
    seen = []
    made.processor_array[-1] = type("Main", (), {
        "pre": staticmethod(lambda value: value),
        "post": staticmethod(lambda value: seen.append(value) or "post"),
    })()
    assert made(1) == "post"
    assert seen == [("echo", (1,), {})]
    assert thread_errors == [(ValueError, "dendrite 1")]


def test_failing_dendrite_thread_breaks_the_merge(threaded, thread_errors):
    block = linear_block(3)
    block.layer_array[1] = Boom(ValueError("dendrite 1"))
    made = VSKModulePyThread(block)
    with pytest.raises(AttributeError) as info:
        made(torch.ones(2, 4))
    assert str(info.value) == "'NoneType' object has no attribute 'device'"
    assert info.value.__notes__ == [
        "dendrite branch 1 failed in its worker thread: ValueError('dendrite 1')"]
    assert thread_errors == [(ValueError, "dendrite 1")]


@pytest.mark.parametrize("with_post", [False, True])
def test_failing_main_thread_raises_once_all_are_joined(with_post, threaded, thread_errors,
                                                        recording_thread):
    error = KeyError("main")
    block = FakeBlock([Echo(), Boom(error)])
    if with_post:
        block.processor_array[-1] = Scaling(1, 0, main=True)
        block.processor_array[-1].post = lambda value: pytest.fail("post called")
    made = VSKModulePyThread(block)
    with pytest.raises(KeyError) as info:
        made(1)
    assert info.value is error
    assert error.__notes__ == ["raised in the worker thread of the main branch"]
    assert thread_errors == [(KeyError, "'main'")]
    assert recording_thread.events[-2:] == [("join", 0), ("join", "main")]


def test_thread_start_failure_propagates_without_joining(threaded):
    events = []

    class Failing:
        def __init__(self, *, target, args, kwargs):
            self.index = args[0] if target.__func__ is VSKModulePyThread.process_and_forward \
                else "main"

        def start(self):
            events.append(("start", self.index))
            if self.index == 1:
                raise RuntimeError("cannot start")

        def join(self):
            events.append(("join", self.index))

    clean.Thread = Failing
    made = VSKModulePyThread(linear_block(3))
    with pytest.raises(RuntimeError, match="cannot start"):
        made(torch.ones(1, 4))
    assert events == [("start", 0), ("start", 1)]


def test_empty_block_in_threaded_mode(threaded, recording_thread):
    made = VSKModulePyThread(FakeBlock([], processors=[None]))
    with pytest.raises(UnboundLocalError) as info:
        made(torch.ones(1))
    assert str(info.value) == "local variable 'current_out' referenced before assignment"
    assert recording_thread.events == [("init", "main")]


def test_empty_block_with_a_main_processor_in_threaded_mode(threaded):
    class Main:
        reads = 0

        @property
        def post(self):
            Main.reads += 1
            return lambda value: pytest.fail("post called")

    made = VSKModulePyThread(FakeBlock([], processors=[Main()]))
    with pytest.raises(UnboundLocalError) as info:
        made(torch.ones(1))
    assert str(info.value) == "local variable 'current_out' referenced before assignment"
    assert Main.reads == 1


def test_empty_block_without_processors_in_threaded_mode(threaded):
    made = VSKModulePyThread(FakeBlock([], processors=[]))
    with pytest.raises(IndexError):
        made(torch.ones(1))


def test_empty_block_in_sequential_mode():
    made = VSKModulePyThread(FakeBlock([], processors=[None]))
    with pytest.raises(IndexError):
        made(torch.ones(1))


# ---------------------------------------------------------- sequential mode


def test_sequential_branches_run_in_order_main_last():
    log = []
    block = FakeBlock([Mul(1.0, log, "d0"), Mul(1.0, log, "d1"), Mul(1.0, log, "d2"),
                       Mul(1.0, log, "main")])
    VSKModulePyThread(block)(torch.ones(1))
    assert log == ["d0", "d1", "d2", "main"]


def test_sequential_failure_stops_later_branches(thread_errors):
    log = []
    block = FakeBlock([Mul(1.0, log, "d0"), Boom(ValueError("d1")), Mul(1.0, log, "d2"),
                       Mul(1.0, log, "main")])
    with pytest.raises(ValueError, match="^d1$"):
        VSKModulePyThread(block)(torch.ones(1))
    assert log == ["d0"]
    assert thread_errors == []


def test_sequential_keyword_inputs_reach_every_branch():
    received = []

    class Keep(nn.Module):
        def forward(self, x, **kwargs):
            received.append(kwargs)
            return x

    made = VSKModulePyThread(FakeBlock([Keep(), Keep(), Keep()]))
    given = {"scale": 2}
    made(torch.ones(1), **given)
    assert received == [given] * 3
    assert all(k is not given for k in received)


# -------------------------------------------------- many callers at once


@pytest.mark.parametrize("mode", ["sequential", "threaded"])
def test_concurrent_forwards_of_one_layer(mode):
    _set_activation(torch.tanh)
    block = linear_block(3, seed=11)
    made = VSKModulePyThread(block)
    x = torch.randn(2, 4, generator=torch.Generator().manual_seed(2))
    with torch.no_grad():
        expected = oracle(block, x)
    clean.doing_threading = mode == "threaded"

    def work(_):
        with torch.no_grad():
            for _ in range(200):
                assert torch.equal(made(x), expected)

    assert run_together(work) == []
