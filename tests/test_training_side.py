"""Tests of the training-side modules, helpers and the example network zoo."""
import copy

import pytest
import torch
from torch import nn

from helpers import snapshot
from networks import ALL_NETWORKS
from veskari import globals_veskari as GVS
from veskari import reference
from veskari.errors import CopiedDendritesWarning, NothingDoneWarning
from veskari.layouts import OutputLayout, layout_of
from veskari.modules_veskari import DendriteValues, Processor, RecurrentProcessor, VSKNeuronModule
from veskari.utils_veskari import (
    add_dendrites,
    freeze_unread,
    fresh_copy_factory,
    neuron_modules,
    wrap_layers,
    wrap_module,
)


def _grown(layer, n, seed=0, scale=0.7):
    torch.manual_seed(seed)
    module = wrap_module(layer)
    add_dendrites(module, n, seed=seed + 1, init_scale=scale)
    return module


def _oracle(module):
    """The inference layer that veskari.reference makes of a copy of `module`."""
    return reference.make_module(reference.convert_to_vsk_layer_block(copy.deepcopy(module)))


LAYER_CASES = {
    "linear": (lambda: nn.Linear(5, 6), lambda: torch.randn(4, 5)),
    "conv1d": (lambda: nn.Conv1d(3, 6, 3), lambda: torch.randn(2, 3, 9)),
    "conv2d": (lambda: nn.Conv2d(3, 6, 3, padding=1), lambda: torch.randn(2, 3, 5, 5)),
}


@pytest.mark.parametrize("n", [0, 1, 2, 3])
@pytest.mark.parametrize("case", sorted(LAYER_CASES))
def test_cascade_matches_the_converters(case, n):
    make_layer, make_input = LAYER_CASES[case]
    module = _grown(make_layer(), n)
    x = make_input()
    torch.testing.assert_close(module(x), _oracle(module)(x))
    if n:
        # The dendrites must actually reach the output.
        assert not torch.allclose(module(x), module.main_module(x))


@pytest.mark.parametrize("n", [2, 3])
def test_dendrite_to_dendrite_weights_are_used(n):
    module = _grown(nn.Linear(5, 6), n)
    x = torch.randn(4, 5)
    before = module(x)
    with torch.no_grad():
        module.dendrite_module.dendrites_to_dendrites[n - 1].zero_()
    assert not torch.allclose(module(x), before)


def test_activation_is_read_for_every_dendrite():
    module = _grown(nn.Linear(5, 6), 3)
    x = torch.randn(4, 5)
    calls = []

    def counting_tanh(t):
        calls.append(t.shape)
        return torch.tanh(t)

    GVS.pc.set_vsk_forward_function(counting_tanh)
    out = module(x)
    assert len(calls) == 3
    torch.testing.assert_close(out, _oracle(module)(x))


@pytest.mark.parametrize("n", [0, 1, 2, 3, 4])
def test_attribute_contract(n):
    module = _grown(nn.Conv2d(2, 7, 3), n)
    holder = module.dendrite_module
    assert isinstance(module.dendrites_to_top, nn.ParameterList)
    assert [tuple(p.shape) for p in module.dendrites_to_top] == [(j + 1, 7) for j in range(n)]
    d2d = [tuple(p.shape) for p in holder.dendrites_to_dendrites]
    assert d2d == ([] if n < 2 else [(1, 1, 1)] + [(k, 7) for k in range(1, n)])
    assert len(holder.layers) == n and isinstance(holder.layers, nn.ModuleList)
    assert type(holder.processors) is list and holder.processors == []

    for buf, value in ((module.this_node_index, 1), (holder.num_cycles, n)):
        assert buf.dim() == 0 and buf.dtype == torch.int64 and buf.item() == value
    buffers = dict(module.named_buffers())
    assert "this_node_index" in buffers and "dendrite_module.num_cycles" in buffers

    assert type(holder.dendrite_values) is list and len(holder.dendrite_values) == max(1, n)
    for record in holder.dendrite_values:
        assert isinstance(record, DendriteValues) and not isinstance(record, nn.Module)
        assert record.this_output_dimensions == [-1, 0, -1, -1]
        assert type(record.this_node_index) is int and record.this_node_index == 1


def test_growing_keeps_existing_top_weights():
    module = _grown(nn.Linear(5, 6), 2)
    first = module.dendrites_to_top[-1].detach().clone()
    add_dendrites(module, 1, seed=9)
    torch.testing.assert_close(module.dendrites_to_top[-1][:2], first)
    assert module.dendrite_module.num_cycles.item() == 3


def test_constructor_rejects_inconsistent_layout():
    with pytest.raises(ValueError):
        VSKNeuronModule(nn.Linear(2, 3), [-1, 0], 0)


def test_generator_makes_weights_reproducible():
    def build():
        module = VSKNeuronModule(nn.Linear(3, 4), [-1, 0], 1)
        return module.add_dendrites(2, lambda: nn.Linear(3, 4),
                                    generator=torch.Generator().manual_seed(5))
    a, b = build(), build()
    torch.testing.assert_close(a.dendrites_to_top[-1], b.dendrites_to_top[-1], rtol=0, atol=0)


def test_recurrent_processor_dendrite_side():
    proc = RecurrentProcessor()
    x, hx = torch.randn(2, 3, 4), (torch.zeros(1), torch.zeros(1))
    assert proc.pre_d(x, hx) == ((x,), {})
    args, kwargs = proc.pre_d(x, hx=hx, other=1)
    assert args == (x,) and kwargs == {"other": 1}
    assert proc.post_d(("out", "state")) == "out"


def test_recurrent_processor_main_side_and_reassignment():
    proc = RecurrentProcessor()
    assert proc.post_n1(("out", "state")) == "out"
    assert proc.post_n2("sum") == ("sum", "state")
    # The converters rebind these names on the processor objects.
    proc.pre, proc.post = proc.post_n1, proc.post_n2
    assert proc.post(proc.pre(("o", "s"))) == ("o", "s")
    assert Processor().pre_d(1, a=2) == ((1,), {"a": 2})


def test_processor_list_follows_layers():
    module = VSKNeuronModule(nn.Linear(3, 4), [-1, 0], 1)
    module.add_dendrites(1, lambda: nn.Linear(3, 4))
    assert module.dendrite_module.processors == []
    module.add_dendrites(2, lambda: nn.Linear(3, 4), processor_factory=Processor)
    procs = module.dendrite_module.processors
    assert procs[0] is None and all(isinstance(p, Processor) for p in procs[1:])
    assert len(procs) == 3
    module.add_dendrites(1, lambda: nn.Linear(3, 4))
    assert len(procs) == 4 and procs[3] is None


@pytest.mark.parametrize("n", [0, 1, 2])
@pytest.mark.parametrize("state_as_keyword", [False, True])
def test_lstm_neuron_module(n, state_as_keyword):
    module = _grown(nn.LSTM(4, 5, batch_first=True), n)
    assert module.this_node_index.item() == 2
    assert all(isinstance(p, RecurrentProcessor) for p in module.dendrite_module.processors)
    x = torch.randn(3, 6, 4)
    hx = (torch.randn(1, 3, 5), torch.randn(1, 3, 5))
    out, state = module(x, hx=hx) if state_as_keyword else module(x, hx)

    # Dendrites start from a zero state and contribute their output sequence.
    main_out, main_state = module.main_module(x, hx)
    holder = module.dendrite_module
    activated = []
    for k, layer in enumerate(holder.layers):
        d = layer(x)[0]
        for i in range(k):
            d = d + holder.dendrites_to_dendrites[k][i] * activated[i]
        activated.append(torch.sigmoid(d))
    expected = main_out
    for i, a in enumerate(activated):
        expected = expected + module.dendrites_to_top[-1][i] * a
    torch.testing.assert_close(out, expected)
    torch.testing.assert_close(state, main_state)


CASES_LAYOUT = [
    (nn.Linear(2, 3), [-1, 0], 1),
    (nn.Conv1d(2, 3, 1), [-1, 0, -1], 1),
    (nn.Conv2d(2, 3, 1), [-1, 0, -1, -1], 1),
    (nn.LSTM(2, 3, batch_first=True), [-1, -1, 0], 2),
    (nn.GRU(2, 3, batch_first=True), [-1, -1, 0], 2),
]


@pytest.mark.parametrize("layer,dims,axis", CASES_LAYOUT, ids=lambda v: type(v).__name__)
def test_output_layout(layer, dims, axis):
    layout = layout_of(layer)
    assert (list(layout.dimensions), layout.node_index) == (dims, axis)


class _Nested(nn.Module):
    def __init__(self):
        super().__init__()
        self.a = nn.Linear(4, 4)
        self.seq = nn.Sequential(nn.ReLU(), nn.ModuleList([nn.Linear(4, 4), nn.Conv1d(1, 1, 1)]))
        self.attn = nn.MultiheadAttention(4, 1, batch_first=True)

    def forward(self, x):
        x = self.seq[1][0](torch.relu(self.a(x)))
        return self.attn(x, x, x)[0]


def test_wrap_layers_replaces_nested_exact_types_once():
    net = _Nested()
    x = torch.randn(2, 3, 4)
    before = net(x)
    assert wrap_layers(net, [nn.Linear]) is net
    assert isinstance(net.a, VSKNeuronModule) and isinstance(net.seq[1][0], VSKNeuronModule)
    assert isinstance(net.seq[1][1], nn.Conv1d)
    # A Linear subclass read by weight must stay untouched.
    assert not isinstance(net.attn.out_proj, VSKNeuronModule)
    wrap_layers(net, [nn.Linear])
    assert isinstance(net.a.main_module, nn.Linear)
    assert len(neuron_modules(net)) == 2
    torch.testing.assert_close(net(x), before)


def test_wrap_layers_on_a_matching_root():
    layer = nn.Linear(2, 3)
    wrapped = wrap_layers(layer, nn.Linear)
    assert isinstance(wrapped, VSKNeuronModule) and wrapped.main_module is layer


def test_add_dendrites_helper_is_seeded_and_leaves_global_rng():
    def build(seed):
        torch.manual_seed(0)
        net = wrap_layers(nn.Sequential(nn.Linear(3, 4), nn.Sequential(nn.Linear(4, 2))),
                          [nn.Linear])
        state = torch.get_rng_state()
        add_dendrites(net, 2, seed=seed)
        assert torch.equal(torch.get_rng_state(), state)
        return net

    a, b, c = build(1), build(1), build(2)
    assert [m.num_dendrites for m in neuron_modules(a)] == [2, 2]
    x = torch.randn(5, 3)
    torch.testing.assert_close(a(x), b(x), rtol=0, atol=0)
    assert not torch.allclose(a(x), c(x))


def test_fresh_copies_share_config_not_weights():
    layer = nn.Conv2d(2, 3, 3, stride=2, padding=1)
    copy_ = fresh_copy_factory(layer)()
    assert ((copy_.stride, copy_.padding, copy_.weight.shape)
            == (layer.stride, layer.padding, layer.weight.shape))
    assert not torch.equal(copy_.weight, layer.weight)
    assert copy_.weight.data_ptr() != layer.weight.data_ptr()


@pytest.mark.parametrize("name", sorted(ALL_NETWORKS))
def test_zoo_networks_are_deterministic_and_use_dendrites(name):
    net, args = ALL_NETWORKS[name]()
    net2, args2 = ALL_NETWORKS[name]()
    with torch.no_grad():
        out = net(*args)
        torch.testing.assert_close(net2(*args2), out, rtol=0, atol=0)
        torch.testing.assert_close(copy.deepcopy(net)(*args), out, rtol=0, atol=0)
        for module in neuron_modules(net):
            for p in module.dendrites_to_top:
                p.zero_()
        assert not torch.allclose(net(*args), out, atol=1e-4)


@pytest.mark.parametrize("name", sorted(ALL_NETWORKS))
def test_exactly_the_weights_the_training_forward_reads_are_trainable(name):
    net, args = ALL_NETWORKS[name]()
    add_dendrites(net, 1)  # a second growth freezes the entries it supersedes
    state = {key: p.detach().clone() for key, p in net.named_parameters()}
    for unfrozen in (False, True):
        if unfrozen:  # a user's unfreeze, then the one call that restores
            freeze_unread(net.requires_grad_(True))
        out = net.train()(*args)
        sum(t.sum() for t in out if torch.is_tensor(t)).backward()
        trainable = {k for k, p in net.named_parameters() if p.requires_grad}
        assert trainable == {k for k, p in net.named_parameters() if p.grad is not None}
        assert any("dendrites_to_top.0" in k for k in set(state) - trainable)
        net.zero_grad(set_to_none=True)
    assert all(isinstance(p, nn.Parameter) and torch.equal(state[k], p)
               for k, p in net.named_parameters()) and len(state) == len(list(net.parameters()))


def test_zoo_mlp_covers_every_dendrite_count():
    net, _ = ALL_NETWORKS["mlp"]()
    assert {m.num_dendrites for m in neuron_modules(net)} >= {0, 1, 2, 3}


@pytest.mark.parametrize("types", [["Linear"], [nn.Linear(2, 2)], nn.Linear(2, 2)],
                         ids=["string", "instance in a list", "instance"])
def test_wrap_layers_rejects_what_is_not_a_layer_class(types):
    with pytest.raises(TypeError, match="needs layer classes"):
        wrap_layers(nn.Sequential(nn.Linear(2, 2)), types)


@pytest.mark.parametrize("helper", [lambda net: wrap_layers(net, [nn.Conv1d]),
                                    lambda net: add_dendrites(net, 2)], ids=["wrap", "add"])
def test_helpers_that_find_nothing_say_so(helper):
    with pytest.warns(NothingDoneWarning):
        helper(nn.Sequential(nn.Linear(2, 2)))


@pytest.mark.parametrize("layer, x", [
    (nn.Linear(16, 4), torch.randn(16)), (nn.Conv2d(3, 4, 3), torch.randn(3, 5, 5)),
    (nn.LSTM(4, 5), torch.randn(6, 4))], ids=["linear", "conv2d", "lstm"])
def test_unbatched_inputs_are_refused_with_dendrites(layer, x):
    module = _grown(layer, 0)
    module(x)  # without dendrites the layer's own result stands
    add_dendrites(module, 1)
    with pytest.raises(ValueError, match="give the input a batch axis"):
        module(x)


class Scaled(nn.Module):
    """A layer type of no known layout and without reset_parameters."""

    def __init__(self, width):
        super().__init__()
        self.scale = nn.Parameter(torch.randn(width))

    def forward(self, x):
        return x * self.scale


def test_layouts_and_initialisers_for_a_type_of_ones_own():
    net = nn.Sequential(Scaled(3))
    with pytest.raises(ValueError, match=r"layouts=\{Scaled: \[-1, 0\]\}"):
        wrap_layers(net, [Scaled])
    layout = OutputLayout([-1, 0], neurons=lambda m: m.scale.numel())
    wrap_layers(net, [Scaled], layouts={Scaled: layout})
    assert net[0].num_neurons == 3 and net[0].this_node_index.item() == 1
    with pytest.warns(CopiedDendritesWarning, match=r"initialisers=\{Scaled: function\}"):
        add_dendrites(net, 1)
    add_dendrites(net, 1, initialisers={Scaled: lambda m: nn.init.zeros_(m.scale)})
    copied, fresh = net[0].dendrite_module.layers
    assert torch.equal(copied.scale, net[0].main_module.scale) and not fresh.scale.any()


def _scaled_layout(neurons):
    return {Scaled: OutputLayout([-1, 0], neurons=neurons)}


@pytest.mark.parametrize("call, error, message", [
    (lambda n: wrap_layers(n, [nn.Linear, Scaled], layouts={Scaled: [-1, -1]}), ValueError,
     "exactly one 0"),
    (lambda n: wrap_layers(n, [nn.Linear, Scaled], layouts=_scaled_layout(lambda m: 1 / 0)),
     ZeroDivisionError, "division"),
    *[(lambda n, v=v: wrap_layers(n, [nn.Linear, Scaled], layouts=_scaled_layout(lambda m: v)),
       error, "must be a positive int") for v, error in
      [(0, ValueError), (-3, ValueError), (1e30, TypeError), (True, TypeError)]],
    (lambda n: wrap_layers(n, [nn.Linear, Scaled], layouts=_scaled_layout(lambda m: 1),
                           example_inputs=torch.ones(2, 8)), ValueError, "has 8 neurons"),
    (lambda n: wrap_layers(copy.deepcopy(n), [Scaled], layouts=_scaled_layout(lambda m: 1))(
        torch.ones(2, 8)), ValueError, "made for 1"),  # no example inputs: the first forward
    (lambda n: wrap_layers(n, [nn.Linear, Scaled], layouts=[Scaled]), TypeError, "takes a dict"),
    (lambda n: wrap_layers(n, [nn.Linear, Scaled], layouts={Scaled: 5}), TypeError,
     "got 5 for Scaled"),
    (lambda n: add_dendrites(n, 2, initialisers={Scaled: lambda m: 1 / 0}), ZeroDivisionError,
     "division"),
    (lambda n: add_dendrites(n, 2, initialisers={
        Scaled: lambda m: setattr(m, "scale", nn.Parameter(torch.ones(3)))}), ValueError,
     r"scale is \(3,\) torch.float32 on cpu, the layer's \(8,\)"),
    (lambda n: add_dendrites(n, 2.0), TypeError, "k must be an int"),
], ids=["layout", "neurons raises", "0", "-3", "1e30", "bool", "wrong width",
        "wrong width at the first forward", "layouts list", "layout int", "initialiser raises",
        "initialiser reshapes", "k float"])
def test_wrapping_and_growing_are_all_or_nothing(call, error, message):
    torch.manual_seed(0)
    net = nn.Sequential(nn.Linear(8, 8), nn.ReLU(), Scaled(8))
    if "add_dendrites" in call.__code__.co_names:
        add_dendrites(wrap_layers(net, [nn.Linear, Scaled], layouts=_scaled_layout(
            lambda m: m.scale.numel())), 1, initialisers={Scaled: nn.Module.zero_grad})
    before = snapshot(net)
    with pytest.raises(error, match=message):
        call(net)
    assert before == snapshot(net)
