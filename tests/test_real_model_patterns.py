"""Stand-ins for what real architectures do to wrapped layers and to the check."""
import copy
import dataclasses
import logging
import math
import warnings

import numpy
import pytest
import torch
from torch import nn

import veskari
from networks import LayerGetter
from veskari import globals_veskari as GVS
from veskari._conversion.compare_outputs import Mismatch, largest_difference
from veskari.errors import LayerLeftUnwrappedWarning
from veskari.modules_veskari import VSKNeuronModule
from veskari.utils_veskari import add_dendrites, wrap_layers


class ReadsDtype(nn.Module):
    """Casts to its child's weight dtype before calling it."""

    def __init__(self):
        super().__init__()
        self.wo = nn.Linear(6, 6)

    def forward(self, x):
        return self.wo(x.to(self.wo.weight.dtype))


class ReadsStride(nn.Module):
    def __init__(self):
        super().__init__()
        self.conv = nn.Conv1d(6, 6, 3, stride=2, padding=1)

    def forward(self, x):
        return self.conv(x.unsqueeze(-1).expand(-1, -1, 4 * self.conv.stride[0])).mean(-1)


class UsesWeight(nn.Module):
    """Computes with its child's weight and never calls the child."""

    def __init__(self):
        super().__init__()
        self.proj = nn.Linear(6, 6)

    def forward(self, x):
        return nn.functional.linear(x, self.proj.weight, self.proj.bias)


@dataclasses.dataclass
class Output:
    logits: torch.Tensor
    cache: object


class Cache:
    def __init__(self, key):
        self.layers = [{"key": key, "value": key * 2}]


class CausalLM(nn.Module):
    """Keyword-only inputs; returns a dataclass holding a cache object."""

    def __init__(self):
        super().__init__()
        self.body = nn.Sequential(ReadsDtype(), ReadsStride(), nn.Linear(6, 6))
        self.norm = nn.BatchNorm1d(6)

    def forward(self, *, input_ids, scale=1.0):
        hidden = self.norm(self.body(input_ids)) * scale
        return Output(logits=hidden, cache=Cache(hidden[:, :2]))


def dendritic_lm():
    torch.manual_seed(0)
    net = wrap_layers(CausalLM(), [nn.Linear, nn.Conv1d])
    return add_dendrites(net, 2, init_scale=0.5).eval()


def test_parents_reading_their_children_work_trained_and_converted():
    net = dendritic_lm()
    kwargs = {"input_ids": torch.randn(3, 6), "scale": 2.0}
    assert isinstance(net.body[0].wo, VSKNeuronModule) and net.body[1].conv.stride == (2,)
    with torch.no_grad():
        expected = net(**kwargs).logits
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        net, report = veskari.convert(net, example_kwargs=kwargs)
    assert report.max_difference == 0 and len(report.converted) == 3
    assert net.body[1].conv.stride == (2,) and net.body[0].wo.weight.dtype == torch.float32
    with torch.no_grad():
        assert torch.equal(net(**kwargs).logits, expected)


class Attention(nn.Module):
    def __init__(self):
        super().__init__()
        self.mha = nn.MultiheadAttention(6, 2)
        self.out = nn.Linear(6, 6)

    def forward(self, x):
        return self.out(self.mha(x, x, x)[0])


def encoder():
    layer = nn.TransformerEncoderLayer(6, 2, 12, dropout=0.0, batch_first=True)
    return nn.TransformerEncoder(layer, 1, enable_nested_tensor=False)


@pytest.mark.parametrize("build, types, example, left", [
    (UsesWeight, [nn.Linear], True, "0.proj: UsesWeight did not call it"),
    (Attention, [nn.modules.linear.NonDynamicallyQuantizableLinear, nn.Linear], False,
     "0.mha.out_proj: nn.MultiheadAttention computes"),
    (encoder, [nn.Linear], False, "0.layers.0.linear1: nn.TransformerEncoderLayer's fast path"),
], ids=["computes with weight", "attention out_proj", "encoder fast path"])
def test_wrapping_leaves_out_layers_whose_dendrites_would_not_count(build, types, example, left):
    torch.manual_seed(0)
    net = nn.Sequential(build(), nn.Linear(6, 6)).train()
    x = torch.randn(2, 3, 6)
    with pytest.warns(LayerLeftUnwrappedWarning, match=left):
        wrap_layers(net, types, example_inputs=x if example else None)
    assert net.training  # the trial ran in eval mode and left the mode as it was
    wrapped = [m for m in net.modules() if isinstance(m, VSKNeuronModule)]
    assert wrapped and net[1] in wrapped
    add_dendrites(net, 2, init_scale=0.5)
    # Every layer left wrapped changes the output through its dendrites.
    for module in wrapped:
        for mode in (net.train, net.eval):
            mode()
            with torch.no_grad():
                before = net(x)
                module.dendrites_to_top[-1].data.add_(1.0)
                assert not torch.equal(before, net(x))


def test_the_check_never_changes_the_network_and_a_mismatch_leaves_it_unconverted(monkeypatch):
    net = dendritic_lm().train()
    state = copy.deepcopy(net.state_dict())
    kwargs = {"input_ids": torch.randn(4, 6)}

    class Shifted(veskari.inference.InferenceLayer):
        def forward(self, *args, **kwargs):
            return super().forward(*args, **kwargs) + 1

    monkeypatch.setattr(veskari.inference, "InferenceLayer", Shifted)
    monkeypatch.setattr(veskari.inference.clean_veskari, "ModuleType", Shifted)
    with pytest.warns(veskari.ConversionWarning, match="training mode"), \
            pytest.raises(veskari.ConversionMismatchError, match="logits differs") as err:
        veskari.convert(net, example_kwargs=kwargs)
    assert err.value.report.converted and err.value.max_difference > 0
    assert all(torch.equal(v, state[k]) for k, v in net.state_dict().items())
    assert isinstance(net.body[2], VSKNeuronModule)


def test_a_layer_that_never_runs_in_the_check_is_named():
    net = wrap_layers(UsesWeight(), [nn.Linear])  # no example inputs: not found here
    with pytest.warns(veskari.ConversionWarning, match=r"1 layer\(s\) \(proj\) never ran"):
        veskari.convert(net.eval(), torch.randn(2, 6))


@pytest.mark.parametrize("entry, warned", [
    (".encoder[1]", "names a container child"), ("encoder.2", "start with '.'"),
    (".nothing", "no attribute member"), (".encoder[1].proj", None), (".head", None)])
def test_skip_list_entries_that_can_never_match_are_named(entry, warned):
    class Net(nn.Module):
        def __init__(self):
            super().__init__()
            self.encoder = nn.Sequential(nn.Identity(), UsesWeight())
            self.head = add_dendrites(wrap_layers(nn.Sequential(nn.Linear(6, 6)), nn.Linear), 1)

    GVS.pc.set_module_names_to_not_save([entry])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        veskari.convert(Net())
    messages = [str(w.message) for w in caught if "skip-list" in str(w.message)]
    assert messages == ([] if warned is None else [messages[0]])
    assert warned is None or warned in messages[0]


INF, NAN = math.inf, math.nan


@pytest.mark.parametrize("want, got, difference, equal", [
    (torch.tensor([INF, -INF, 1.0]), torch.tensor([INF, -INF, 1.0]), 0.0, True),
    ((NAN, "s", None, 3), (NAN, "s", None, 3), 0, True),
    (Output(torch.ones(2, 2), Cache(torch.ones(2))), Output(torch.ones(2, 2), Cache(torch.ones(2))),
     0.0, True),
    ({"a": torch.tensor([2**60])}, {"a": torch.tensor([2**60 + 1])}, 1, False),
    (Output(torch.ones(2), Cache(torch.ones(2))), Output(torch.ones(2), Cache(torch.zeros(2))),
     1.0, False),
    (torch.tensor([1.0, INF]), torch.tensor([1.0, -INF]), INF, False),
    ((torch.float16, numpy.array([2**60])), (torch.float16, numpy.array([2**60 + 1])), 1, False),
], ids=["infinities", "plain leaves", "dataclass and cache", "int64 gap", "inside a cache",
        "opposite infinities", "dtype and numpy int64 gap"])
def test_output_comparison(want, got, difference, equal):
    try:
        found = largest_difference(want, got)
    except Mismatch as mismatch:
        found = mismatch.difference
        assert not equal
    else:
        assert equal
    assert found == difference and (equal or type(found) is type(difference))


class TransposedLinear(nn.Module):
    """Like GPT-2's Conv1D: weight stored (in, out), no reset_parameters."""

    def __init__(self, nf, nx):
        super().__init__()
        self.nf = nf
        self.weight = nn.Parameter(torch.randn(nx, nf) * 0.02)
        self.bias = nn.Parameter(torch.zeros(nf))

    def forward(self, x):
        flat = torch.addmm(self.bias, x.reshape(-1, x.size(-1)), self.weight)
        return flat.view(*x.shape[:-1], self.nf)


class Inner(nn.Module):
    def __init__(self):
        super().__init__()
        self.blocks = nn.ModuleDict({"0": nn.Conv2d(4, 4, 1)})

    def forward(self, x):
        return self.blocks["0"](x)


class Segmenter(nn.Module):
    def __init__(self):
        super().__init__()
        self.backbone = LayerGetter({"0": nn.Sequential(nn.Conv2d(3, 4, 3, padding=1), nn.ReLU()),
                                     "1": nn.Conv2d(4, 4, 1), "2": Inner()},
                                    {"1": "aux", "2": "out"})
        self.head = TransposedLinear(5, 4)

    def forward(self, x):
        found = self.backbone(x)
        return self.head((found["out"] + found["aux"]).mean((2, 3)))


class TiedLM(nn.Module):
    def __init__(self):
        super().__init__()
        self.embed = nn.Embedding(10, 6)
        self.body = nn.Linear(6, 6)
        self.head = nn.Linear(6, 10, bias=False)
        self.head.weight = self.embed.weight

    def forward(self, ids):
        return self.head(torch.relu(self.body(self.embed(ids))))


def shared_keys(state):
    pointers = [v.data_ptr() for v in state.values()]
    return {k for k, v in state.items() if pointers.count(v.data_ptr()) > 1}


@pytest.mark.parametrize("entry, left", [
    (None, []), (".backbone.1", ["backbone.1"]), (".backbone.2.blocks.0", ["backbone.2.blocks.0"]),
], ids=["all", "digit child skipped", "nested digit child skipped"])
def test_digit_keyed_children_convert_and_honour_the_skip_list(entry, left):
    torch.manual_seed(0)
    net = add_dendrites(wrap_layers(Segmenter(), [nn.Conv2d, TransposedLinear]), 2, init_scale=0.5)
    head = net.head  # its dendrites are fresh, no copies of the main layer
    assert not torch.equal(head.dendrite_module.layers[0].weight, head.main_module.weight)
    if entry:
        GVS.pc.set_module_names_to_not_save([entry])
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        net, report = veskari.convert(net.eval(), torch.randn(2, 3, 6, 6))
    assert report.max_difference == 0 and [p for p, _ in report.skipped] == left
    assert len(report.converted) == 4 - len(left)
    assert all(type(m) is not VSKNeuronModule or p in left for p, m in net.named_modules())


def test_tied_layers_stay_unwrapped_and_the_tie_keeps_its_names():
    torch.manual_seed(0)
    net = TiedLM()
    with pytest.warns(LayerLeftUnwrappedWarning, match="head: its weight is tied to embed.weight"):
        add_dendrites(wrap_layers(net, [nn.Linear]), 2, init_scale=0.5)
    assert shared_keys(net.state_dict()) == {"embed.weight", "head.weight"}
    net, report = veskari.convert(net.eval(), torch.tensor([[1, 2, 3]]))
    assert report.converted == ["body"] and report.max_difference == 0
    assert shared_keys(net.state_dict()) == {"embed.weight", "head.weight"}


class Shared(nn.Module):
    def __init__(self):
        super().__init__()
        self.a = nn.Linear(4, 4)
        self.b = self.a
        self.seq = nn.Sequential(self.a, nn.ReLU())

    def forward(self, x):
        return self.seq(self.b(self.a(x)))


def test_a_layer_under_several_names_gets_one_wrapper_and_converts_under_each():
    def build(seed):
        torch.manual_seed(seed)
        return add_dendrites(wrap_layers(Shared(), [nn.Linear]), 2, seed=seed, init_scale=0.5)

    net, x = build(0).eval(), torch.randn(3, 4)
    assert isinstance(net.a, VSKNeuronModule) and net.a is net.b is net.seq[0]
    net, report = veskari.convert(net, x)
    assert report.max_difference == 0
    state = net.state_dict()
    assert {k.split(".")[0] for k in state} == {"a", "b", "seq"}
    assert shared_keys(state) >= {"a.layer_array.2.weight", "b.layer_array.2.weight"}
    again, _ = veskari.convert(build(1).eval())
    again.load_state_dict(state)
    with torch.no_grad():
        assert torch.equal(again(x), net(x))


class Chatty(nn.Module):
    """A property that warns and logs when read, as some libraries' do."""

    def __init__(self):
        super().__init__()
        self.proj = nn.Linear(6, 6)

    @property
    def checkpointing(self):
        warnings.warn("checkpointing is deprecated", FutureWarning, stacklevel=2)
        logging.getLogger("elsewhere").warning("loss_type=None is unrecognized")
        return False

    def forward(self, x):
        return self.proj(x)


def test_convert_holds_back_what_other_libraries_say_during_the_walk(caplog):
    net = add_dendrites(wrap_layers(nn.Sequential(Chatty()), [nn.Linear]), 2).eval()
    with warnings.catch_warnings(record=True) as caught, caplog.at_level(logging.DEBUG):
        warnings.simplefilter("always")
        veskari.convert(net, torch.randn(2, 6))
        said = [(r.name, r.levelno) for r in caplog.records]
        net[0].checkpointing  # noqa: B018 -- outside the walk it is heard again
    assert caught[-1].category is FutureWarning and len(caught) == 1
    assert set(said) == {("veskari", logging.DEBUG)}  # the checked copy's walks and the net's
    assert "loss_type=None" in caplog.records[0].getMessage()
    assert caplog.records[-1].name == "elsewhere"


def test_warnings_about_many_layers_name_three():
    net = nn.Sequential(*[nn.MultiheadAttention(4, 1) for _ in range(5)])
    with pytest.warns(LayerLeftUnwrappedWarning) as caught:
        wrap_layers(net, [nn.modules.linear.NonDynamicallyQuantizableLinear])
    message = str(caught[0].message)
    assert "left 5 layer(s) (0.out_proj, 1.out_proj, 2.out_proj, ...)" in message
    assert "0.out_proj and 4 more: nn.MultiheadAttention" in message
    assert len(caught[0].message.layers) == 5
