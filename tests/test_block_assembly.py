"""Block assembly (convert_to_vsk_layer_block) and parameter unwrapping
(unWrap_params), with stand-in neuron modules that expose exactly the
attributes the converter reads and log every access, and with real trained
neuron modules."""
import types

import pytest
import torch
from torch import nn

import veskari.blockwise_veskari as bw
from veskari.globals_veskari import pc
from veskari.modules_veskari import Processor, RecurrentProcessor, VSKNeuronModule

# ---------------------------------------------------------------- stand-ins


class Rec:
    """A plain object with exactly the given attributes; logs reads and writes."""

    def __init__(self, log, label, **attributes):
        object.__setattr__(self, "_state", (log, label, dict(attributes)))

    def __getattribute__(self, name):
        if name == "peek":
            return object.__getattribute__(self, name)
        log, label, attributes = object.__getattribute__(self, "_state")
        if name in attributes:
            log.append(f"{label}.{name}")
            return attributes[name]
        raise AttributeError(f"{label} has no attribute {name!r}")

    def __setattr__(self, name, value):
        log, label, attributes = object.__getattribute__(self, "_state")
        log.append(f"{label}.{name}=")
        attributes[name] = value

    def peek(self, name):
        """Reads an attribute without logging it."""
        return object.__getattribute__(self, "_state")[2][name]


class RecList(list):
    """A list that logs item reads and equality tests."""

    def __init__(self, items, log, label):
        super().__init__(items)
        self.log, self.label = log, label

    def __getitem__(self, index):
        self.log.append(f"{self.label}[{index}]")
        return super().__getitem__(index)

    def __eq__(self, other):
        self.log.append(f"{self.label}=={other!r}")
        return super().__eq__(other)

    __hash__ = None


class EqualsEmpty(list):
    """A non-empty list that compares equal to anything."""

    def __eq__(self, other):
        return True

    __hash__ = None


class Capture:
    """Stands in for VSKLayer: records its arguments, returns a marker."""

    def __init__(self, log):
        self.log = log
        self.calls = []
        self.result = object()

    def __call__(self, *args, **kwargs):
        self.log.append("VSKLayer()")
        self.calls.append((args, kwargs))
        return self.result


def fake_sequential(log):
    def sequential(*args, **kwargs):
        log.append("Sequential()")
        return ("Sequential", args, kwargs)
    return sequential


def make_processor(log, label, main=False):
    names = ("post_n1", "post_n2") if main else ("pre_d", "post_d")
    return Rec(log, label, **{name: object() for name in names})


def fake_neuron(log, n=2, processors="per-layer", processor="object", dims=(-1, 0, -1),
                node_index=1, parameters=()):
    """A trained neuron stand-in with n dendrite layers."""
    layers = RecList([nn.Linear(2, 2) for _ in range(n)], log, "layers")
    if isinstance(processors, str) and processors == "per-layer":
        processors = [make_processor(log, f"P{i}") for i in range(n)]
    if isinstance(processors, list) and type(processors) is list:
        processors = RecList(processors, log, "processors")
    values = RecList([Rec(log, "V", this_output_dimensions=list(dims),
                          this_node_index=node_index)], log, "values")
    holder = Rec(log, "D", layers=layers, processors=processors,
                 dendrites_to_dendrites=nn.ParameterList(), num_cycles=torch.tensor(n),
                 dendrite_values=values)
    if isinstance(processor, str) and processor == "object":
        processor = make_processor(log, "PM", main=True)
    return Rec(log, "N", dendrite_module=holder, main_module=nn.Linear(2, 2),
               processor=processor, dendrites_to_top=nn.ParameterList(),
               this_node_index=torch.tensor(node_index),
               parameters=lambda: list(parameters))


@pytest.fixture
def isolated(monkeypatch):
    """convert_to_vsk_layer_block with the layer class, nn.Sequential and
    unWrap_params replaced by recorders sharing one log."""
    log = []
    capture = Capture(log)
    unwrapped = []

    def unwrap(model):
        log.append("unWrap_params()")
        unwrapped.append(model)
        return "ignored"

    monkeypatch.setattr(bw, "VSKLayer", capture)
    monkeypatch.setattr(bw, "nn", types.SimpleNamespace(Sequential=fake_sequential(log)))
    monkeypatch.setattr(bw, "unWrap_params", unwrap)
    return types.SimpleNamespace(log=log, capture=capture, unwrapped=unwrapped)


def layer_args(capture):
    assert len(capture.calls) == 1
    args, kwargs = capture.calls[0]
    assert kwargs == {}
    assert len(args) == 7
    return args


# ---------------------------------------------------------------- read order


def test_reads_and_writes_happen_in_order_and_afresh(isolated):
    log = isolated.log
    p0 = make_processor(log, "P0")
    net = fake_neuron(log, n=2, processors=[p0, None], dims=(-1, 0, -1), node_index=1)

    result = bw.convert_to_vsk_layer_block(net)

    assert result is isolated.capture.result
    assert isolated.unwrapped == [net] and isolated.unwrapped[0] is net
    fresh = ["N.dendrite_module", "D.processors"]
    expected = [
        "unWrap_params()",
        "N.dendrite_module", "D.layers",
        # dendrite 0, with a processing object
        "N.dendrite_module", "D.layers", "layers[0]",
        *fresh, "processors==[]",
        *fresh, "processors[0]",
        *fresh, "processors[0]", "P0.pre_d",
        *fresh, "processors[0]", "P0.pre=",
        *fresh, "processors[0]", "P0.post_d",
        *fresh, "processors[0]", "P0.post=",
        *fresh, "processors[0]",
        # dendrite 1, without one
        "N.dendrite_module", "D.layers", "layers[1]",
        *fresh, "processors==[]",
        *fresh, "processors[1]",
        *fresh, "processors[1]",
        # the main layer and its processing object
        "N.main_module",
        "N.processor",
        "N.processor", "PM.post_n1", "N.processor", "PM.pre=",
        "N.processor", "PM.post_n2", "N.processor", "PM.post=",
        "N.processor",
        # the view shape: the node index is read again for every axis
        "N.dendrite_module", "D.dendrite_values", "values[0]", "V.this_output_dimensions",
        *["N.dendrite_module", "D.dendrite_values", "values[0]", "V.this_node_index"] * 3,
        # the layer
        "Sequential()",
        "N.dendrites_to_top",
        "N.dendrite_module", "D.dendrites_to_dendrites",
        "N.this_node_index",
        "N.dendrite_module", "D.num_cycles",
        "VSKLayer()",
    ]
    assert log == expected


def test_layer_arguments(isolated):
    net = fake_neuron(isolated.log, n=2, dims=(-1, 0, -1, -1), node_index=1)
    holder = net.peek("dendrite_module")
    bw.convert_to_vsk_layer_block(pretrained_dendrite=net)
    sequence, processors, to_top, to_dendrites, node_index, cycles, view = layer_args(
        isolated.capture)
    layers = list.__iter__(holder.peek("layers"))
    main = net.peek("main_module")
    assert sequence[0] == "Sequential" and sequence[2] == {}
    assert [id(x) for x in sequence[1]] == [id(x) for x in [*layers, main]]
    assert type(processors) is list
    expected_processors = [*list.__iter__(holder.peek("processors")), net.peek("processor")]
    assert [id(p) for p in processors] == [id(p) for p in expected_processors]
    assert to_top is net.peek("dendrites_to_top")
    assert to_dendrites is holder.peek("dendrites_to_dendrites")
    assert node_index is net.peek("this_node_index")
    assert cycles is holder.peek("num_cycles")
    assert type(view) is list and view == [1, -1, 1, 1]
    assert all(type(x) is int for x in view)


def test_node_index_of_the_layer_and_of_the_view_shape_are_read_from_different_places(
        isolated):
    net = fake_neuron(isolated.log, n=0, dims=(-1, -1, 0), node_index=2)
    own_index = object()
    object.__getattribute__(net, "_state")[2]["this_node_index"] = own_index
    bw.convert_to_vsk_layer_block(net)
    args = layer_args(isolated.capture)
    assert args[4] is own_index
    assert args[6] == [1, 1, -1]


@pytest.mark.parametrize("dims, node_index, expected", [
    ((-1, 0), 1, [1, -1]),
    ((-1, -1, -1, 0), 3, [1, 1, 1, -1]),
    ((0, -1, -1, -1), 0, [-1, 1, 1, 1]),
    ((-1, -1, -1, -1), 4, [1, 1, 1, 1]),
    ((-1, -1, -1, -1), -1, [1, 1, 1, 1]),
    ((-1, -1, -1, -1), 99, [1, 1, 1, 1]),
    ((-1, -1), "1", [1, 1]),
    ((-1, -1), torch.tensor(1), [1, -1]),
    ((), 0, []),
])
def test_view_shape(isolated, dims, node_index, expected):
    net = fake_neuron(isolated.log, n=1, dims=dims, node_index=0)
    values = net.peek("dendrite_module").peek("dendrite_values")
    object.__getattribute__(list.__getitem__(values, 0), "_state")[2][
        "this_node_index"] = node_index
    bw.convert_to_vsk_layer_block(net)
    view = layer_args(isolated.capture)[6]
    assert view == expected
    assert all(type(x) is int for x in view)


# ---------------------------------------------------------------- branches


def test_no_dendrites_never_reads_processors_but_still_reads_dendrite_values(isolated):
    log = isolated.log
    net = fake_neuron(log, n=0, processors=("never", "read"))
    bw.convert_to_vsk_layer_block(net)
    assert "D.processors" not in log
    assert "values[0]" in log
    sequence, processors = layer_args(isolated.capture)[:2]
    assert [id(x) for x in sequence[1]] == [id(net.peek("main_module"))]
    assert len(processors) == 1 and processors[0] is net.peek("processor")


def test_no_dendrites_and_no_dendrite_values_fails(isolated):
    net = fake_neuron(isolated.log, n=0)
    values = net.peek("dendrite_module").peek("dendrite_values")
    list.clear(values)
    with pytest.raises(IndexError, match="list index out of range"):
        bw.convert_to_vsk_layer_block(net)
    assert isolated.capture.calls == []


def test_processors_equal_to_empty_list_gives_none_entries_and_touches_nothing(isolated):
    log = isolated.log
    net = fake_neuron(log, n=3, processors=[])
    bw.convert_to_vsk_layer_block(net)
    processors = layer_args(isolated.capture)[1]
    assert processors[:3] == [None, None, None]
    assert processors[3] is net.peek("processor")
    assert log.count("processors==[]") == 3
    assert not any(entry.startswith("processors[") for entry in log)


def test_a_non_empty_list_equal_to_empty_list_takes_the_none_path(isolated):
    log = isolated.log
    p0, p1 = make_processor(log, "P0"), make_processor(log, "P1")
    net = fake_neuron(log, n=2, processors=EqualsEmpty([p0, p1]))
    bw.convert_to_vsk_layer_block(net)
    assert layer_args(isolated.capture)[1][:2] == [None, None]
    assert not any(entry.startswith(("P0.", "P1.")) for entry in log)


@pytest.mark.parametrize("processors, error, message", [
    ((), IndexError, "tuple index out of range"),
    (nn.ModuleList(), IndexError, "index 0 is out of range"),
])
def test_an_empty_container_that_is_not_equal_to_empty_list_fails_on_index_0(
        isolated, processors, error, message):
    net = fake_neuron(isolated.log, n=1, processors=processors)
    with pytest.raises(error, match=message):
        bw.convert_to_vsk_layer_block(net)


def test_processor_entries_are_rebound_and_none_entries_kept(isolated):
    log = isolated.log
    p0 = make_processor(log, "P0")
    net = fake_neuron(log, n=2, processors=[p0, None])
    bw.convert_to_vsk_layer_block(net)
    assert p0.peek("pre") is p0.peek("pre_d")
    assert p0.peek("post") is p0.peek("post_d")
    main = net.peek("processor")
    assert main.peek("pre") is main.peek("post_n1")
    assert main.peek("post") is main.peek("post_n2")
    processors = layer_args(isolated.capture)[1]
    assert len(processors) == 3
    assert processors[0] is p0 and processors[1] is None and processors[2] is main


def test_no_main_processor(isolated):
    log = isolated.log
    net = fake_neuron(log, n=1, processor=None)
    bw.convert_to_vsk_layer_block(net)
    processors = layer_args(isolated.capture)[1]
    assert processors[-1] is None
    assert log.count("N.processor") == 2
    assert not any(entry.startswith("PM.") for entry in log)


def test_a_missing_dendrite_processor_attribute_fails_after_earlier_rebinding(isolated):
    log = isolated.log
    p0 = make_processor(log, "P0")
    broken = Rec(log, "P1", pre_d="only pre")
    net = fake_neuron(log, n=2, processors=[p0, broken])
    with pytest.raises(AttributeError, match="P1 has no attribute 'post_d'"):
        bw.convert_to_vsk_layer_block(net)
    assert p0.peek("pre") is p0.peek("pre_d")  # not undone
    assert broken.peek("pre") == "only pre"
    assert isolated.capture.calls == []


def test_a_failing_layer_constructor_propagates_and_rebinding_stays():
    log = []
    p0 = make_processor(log, "P0")
    net = fake_neuron(log, n=1, processors=[p0])
    object.__getattribute__(net.peek("dendrite_module"), "_state")[2]["num_cycles"] = 3
    with pytest.raises(TypeError) as expected:
        nn.Module().register_buffer("num_cycles", 3)
    with pytest.raises(TypeError) as info:
        bw.convert_to_vsk_layer_block(net)
    assert str(info.value) == str(expected.value)
    assert p0.peek("pre") is p0.peek("pre_d") and p0.peek("post") is p0.peek("post_d")
    main = net.peek("processor")
    assert main.peek("pre") is main.peek("post_n1")


def test_a_failing_unwrap_stops_before_anything_else(monkeypatch):
    log = []

    def unwrap(model):
        raise PermissionError("cannot unwrap")

    monkeypatch.setattr(bw, "unWrap_params", unwrap)
    net = fake_neuron(log, n=1)
    with pytest.raises(PermissionError, match="cannot unwrap"):
        bw.convert_to_vsk_layer_block(net)
    assert log == []


def test_fewer_processors_than_layers_fails(isolated):
    net = fake_neuron(isolated.log, n=2, processors=[None])
    with pytest.raises(IndexError):
        bw.convert_to_vsk_layer_block(net)


# ---------------------------------------------------------------- real neuron modules


def trained(n, processor=None, main=None, output_dimensions=(-1, 0), node_index=1):
    torch.manual_seed(0)
    main = main if main is not None else nn.Linear(3, 4)
    module = VSKNeuronModule(main, list(output_dimensions), node_index, processor=processor)
    if n:
        make = type(processor) if processor is not None else None
        module.add_dendrites(n, lambda: nn.Linear(3, 4) if isinstance(main, nn.Linear)
                             else nn.LSTM(3, 4, batch_first=True), processor_factory=make)
    return module


@pytest.mark.parametrize("n", [0, 1, 2, 3])
def test_real_neuron_module_becomes_a_block_layer_sharing_its_pieces(n):
    module = trained(n, processor=Processor())
    holder = module.dendrite_module
    layers = list(holder.layers)
    processors = list(holder.processors)
    d2d, d2t = holder.dendrites_to_dendrites, module.dendrites_to_top
    d2d_before = list(d2d)

    block = bw.convert_to_vsk_layer_block(module)

    assert type(block) is bw.VSKLayer
    assert type(block.layer_array) is nn.Sequential
    assert [id(m) for m in block.layer_array] == [id(m) for m in [*layers, module.main_module]]
    assert type(block.processor_array) is list
    assert [id(p) for p in block.processor_array] == [id(p) for p in
                                                     [*processors, module.processor]]
    for p in processors:
        assert p.pre == p.pre_d and p.post == p.post_d
    assert module.processor.pre == module.processor.post_n1
    assert module.processor.post == module.processor.post_n2
    assert block.node_index is module.this_node_index
    assert block.num_cycles is holder.num_cycles
    assert block.view_tuple.tolist() == [1, -1]
    assert block.internal_nonlinearity is pc.get_vsk_forward_function()
    if n == 0:
        assert not hasattr(block, "skip_weights")
    elif n == 1:
        assert block.skip_weights is not d2d and len(d2d) == 0
        assert [w.shape for w in block.skip_weights] == [(1, 1, 1), (1, 4)]
        assert block.skip_weights[1] is d2t[0]
    else:
        assert block.skip_weights is d2d
        assert [id(w) for w in d2d] == [id(w) for w in [*d2d_before, d2t[n - 1]]]


def test_recurrent_neuron_module_with_processors():
    lstm = nn.LSTM(3, 4, batch_first=True)
    module = trained(2, processor=RecurrentProcessor(), main=lstm,
                     output_dimensions=(-1, -1, 0), node_index=2)
    block = bw.convert_to_vsk_layer_block(module)
    assert block.layer_array[2] is lstm
    assert all(type(p) is RecurrentProcessor for p in block.processor_array)
    assert block.processor_array[2] is module.processor
    assert block.view_tuple.tolist() == [1, 1, -1]
    for p in block.processor_array[:2]:
        assert p.pre == p.pre_d and p.post == p.post_d


def test_real_module_without_processors():
    module = trained(3)
    assert module.dendrite_module.processors == []
    block = bw.convert_to_vsk_layer_block(module)
    assert block.processor_array == [None, None, None, None]


def test_converting_twice_rebinds_again_and_appends_again():
    module = trained(3, processor=Processor())
    d2d, d2t = module.dendrite_module.dendrites_to_dendrites, module.dendrites_to_top
    start = len(d2d)
    first = bw.convert_to_vsk_layer_block(module)
    p0 = module.dendrite_module.processors[0]
    pre_after_first = p0.pre
    second = bw.convert_to_vsk_layer_block(module)
    assert first is not second
    assert first.skip_weights is d2d and second.skip_weights is d2d
    assert len(d2d) == start + 2
    assert d2d[start] is d2t[2] and d2d[start + 1] is d2t[2]
    assert p0.pre == pre_after_first == p0.pre_d
    assert [id(m) for m in first.layer_array] == [id(m) for m in second.layer_array]


def test_real_module_parameters_lose_their_wrapped_marker():
    module = trained(2)
    marked = list(module.parameters())
    for p in marked:
        p.wrapped = True
    bw.convert_to_vsk_layer_block(module)
    assert not any("wrapped" in vars(p) for p in marked)


# ---------------------------------------------------------------- unWrap_params


class Model:
    def __init__(self, *parameters):
        self.items = list(parameters)

    def parameters(self):
        return iter(self.items)


class Poison:
    """A value that fails whatever is done with it."""

    def _fail(self, *args):
        raise AssertionError("the value of wrapped was used")

    __bool__ = __eq__ = __hash__ = __repr__ = __str__ = __len__ = __iter__ = _fail


class GuardedParameter(nn.Parameter):
    """Reading `wrapped` fails; deleting it works."""

    def __getattribute__(self, name):
        if name == "wrapped":
            raise AssertionError("wrapped was read")
        return super().__getattribute__(name)


class ClassMarked(nn.Parameter):
    wrapped = True


class Unlisted(nn.Parameter):
    """Holds `wrapped` but leaves it out of its listing."""

    def __dir__(self):
        return [name for name in super().__dir__() if name != "wrapped"]


class Served(nn.Parameter):
    """`wrapped` served by __getattr__ only, never listed."""

    def __getattr__(self, name):
        if name == "wrapped":
            return True
        raise AttributeError(name)


class Listing:
    """A listing that only answers `in`, and records what it was asked."""

    def __init__(self, names):
        self.names, self.asked = names, []

    def __contains__(self, item):
        self.asked.append(item)
        return item in self.names

    def __iter__(self):
        raise AssertionError("the listing was iterated instead of tested with in")


def parameter(cls=nn.Parameter, **attributes):
    p = cls(torch.zeros(2))
    for name, value in attributes.items():
        setattr(p, name, value)
    return p


def test_no_parameters():
    assert bw.unWrap_params(nn.ReLU()) is None
    assert bw.unWrap_params(Model()) is None


def test_parameters_without_marker_are_untouched():
    linear = nn.Linear(2, 2)
    before = [dict(vars(p)) for p in linear.parameters()]
    assert bw.unWrap_params(linear) is None
    assert [dict(vars(p)) for p in linear.parameters()] == before


def test_two_of_three_marked_parameters():
    net = nn.Sequential(nn.Linear(2, 2), nn.Linear(2, 1, bias=False))
    p1, p2, p3 = net.parameters()
    p1.wrapped = "x"
    p3.wrapped = 0
    p2.other = "kept"
    assert bw.unWrap_params(net) is None
    assert not any(hasattr(p, "wrapped") for p in (p1, p2, p3))
    assert vars(p2) == {"other": "kept"}
    assert bw.unWrap_params(net) is None  # a second call changes nothing
    assert vars(p2) == {"other": "kept"}


@pytest.mark.parametrize("make", [
    lambda: parameter(wrapped=Poison()),
    lambda: parameter(GuardedParameter, wrapped=1),
])
def test_the_marker_is_deleted_without_being_read(make):
    p = make()
    bw.unWrap_params(Model(p))
    assert "wrapped" not in vars(p)


def test_presence_is_taken_from_the_parameters_own_listing():
    unlisted = parameter(Unlisted, wrapped=True)
    served = parameter(Served)
    instance_listing = parameter(wrapped=True)
    instance_listing.__dir__ = lambda: []  # the object's own __dir__, not dir()
    bw.unWrap_params(Model(unlisted, served, instance_listing))
    assert vars(unlisted)["wrapped"] is True
    assert served.wrapped is True
    assert vars(instance_listing)["wrapped"] is True


def test_listing_is_tested_with_in():
    listing = Listing(["wrapped"])
    p = types.SimpleNamespace(wrapped=1)
    p.__dir__ = lambda: listing
    bw.unWrap_params(Model(p))
    assert listing.asked == ["wrapped"]
    assert not hasattr(p, "wrapped")


def test_listed_but_absent_marker_fails_on_delete():
    p = types.SimpleNamespace()
    p.__dir__ = lambda: ["wrapped"]
    with pytest.raises(AttributeError):
        bw.unWrap_params(Model(p))


def test_class_level_marker_fails_and_stops_the_walk():
    first = parameter(wrapped=1)
    middle = parameter(ClassMarked)
    last = parameter(wrapped=2)
    with pytest.raises(AttributeError):
        bw.unWrap_params(Model(first, middle, last))
    assert "wrapped" not in vars(first)
    assert vars(last)["wrapped"] == 2
    assert ClassMarked.wrapped is True


def test_errors_of_the_parameters_call_propagate():
    class Broken:
        def parameters(self):
            raise KeyError("no parameters")

    with pytest.raises(KeyError, match="no parameters"):
        bw.unWrap_params(Broken())


def test_parameters_are_iterated_once_in_order():
    order = []

    class Tracked:
        def __init__(self, name):
            self.name = name

        def __dir__(self):
            order.append(self.name)
            return []

    class Once:
        calls = 0

        def parameters(self):
            Once.calls += 1
            return (Tracked(n) for n in "abc")

    bw.unWrap_params(Once())
    assert Once.calls == 1
    assert order == ["a", "b", "c"]
