"""veskari.convert: both conversions in one call, with a report, warnings and a check."""
import copy
import functools
import threading
import time
import unittest.mock
import warnings

import pytest
import torch
import torch.utils._pytree as pytree
from torch import nn

import veskari
from helpers import snapshot
from networks import ALL_NETWORKS
from veskari import blockwise_veskari, clean_veskari
from veskari import globals_veskari as GVS
from veskari.inference import InferenceLayer
from veskari.modules_veskari import VSKNeuronModule
from veskari.utils_veskari import add_dendrites, wrap_module


def dendritic(features=4):
    return add_dendrites(wrap_module(nn.Linear(features, features)), 2, init_scale=0.5)


class Holder(nn.Module):
    """Neuron modules under a chosen attribute name and beside it."""

    def __init__(self, name, child):
        super().__init__()
        self.kept = dendritic()
        self.add_module(name, child)


class SubNeuron(VSKNeuronModule):
    pass


def quiet_convert(net, *args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        return veskari.convert(net, *args, **kwargs)


@pytest.mark.parametrize("name", sorted(ALL_NETWORKS))
def test_converts_every_neuron_module_and_checks_the_output(name):
    net, args = ALL_NETWORKS[name]()
    native, _ = quiet_convert(copy.deepcopy(net), args, prepare=False)
    paths = [path for path, m in net.named_modules() if isinstance(m, VSKNeuronModule)]
    result, report = quiet_convert(net, args)
    assert result is net
    assert report.converted == paths and report.skipped == []
    assert report.max_difference is not None and report.max_difference < 1e-4
    assert all(type(net.get_submodule(p)) is InferenceLayer for p in paths)
    assert all(type(native.get_submodule(p)) is clean_veskari.VSKModulePyThread for p in paths)
    with torch.no_grad():  # the prepared rows change nothing, bit for bit
        for _ in range(2):
            assert all(map(torch.equal, pytree.tree_leaves(net(*args)),
                           pytree.tree_leaves(native(*args))))


@pytest.mark.parametrize("stage", ["blockwise only", "root block"])
def test_finishes_a_half_converted_network(stage):
    net = nn.Sequential(dendritic(), nn.ReLU())
    blockwise_veskari.blockwise_network(net)
    if stage == "root block":
        net = net[0]
    result, report = quiet_convert(net)
    assert report.converted == (["0"] if stage == "blockwise only" else [""])
    assert type(result if stage == "root block" else result[0]) is InferenceLayer
    result(torch.randn(2, 4))


@pytest.mark.parametrize("build, path, because", [
    (lambda: Holder("base_model", dendritic()), "base_model", "'.base_model' is on the skip list"),
    (lambda: (GVS.pc.set_modules_to_track([nn.ModuleDict]),
              Holder("parts", nn.ModuleDict({"1x": dendritic()})))[1], "parts.1x",
     "starts with a digit"),
    (lambda: Holder("sub", SubNeuron(nn.Linear(4, 4), [-1, 0], 1)), "sub", "is a subclass"),
    (dendritic, "", "the network itself is a neuron module"),
], ids=["skip list", "digit key, tracked", "subclass", "root"])
def test_reports_what_it_skipped_and_why(build, path, because):
    net = build()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        _, report = veskari.convert(net)
    assert [p for p, _ in report.skipped] == [path]
    assert because in report.skipped[0][1] and because in str(report)
    assert report.converted == ([] if path == "" else ["kept"])
    # Only the user's own skip-list entry leaves a layer behind silently.
    assert [str(w.message).count(because) for w in caught] == (
        [] if path == "base_model" else [1])


def test_names_a_layer_left_half_converted():
    class Tracked(nn.Module):
        def __init__(self):
            super().__init__()
            self.inner = dendritic()

    GVS.pc.set_modules_to_track([Tracked])
    net = Holder("tracked", Tracked())
    with pytest.warns(veskari.ConversionWarning, match="tracked.inner"):
        _, report = veskari.convert(net)
    assert report.converted == ["kept"]
    assert "get_modules_to_track" in dict(report.skipped)["tracked.inner"]


@pytest.mark.parametrize("build, because", [
    (lambda: nn.Sequential(nn.Linear(4, 4)), "holds no VSKNeuronModule"),
    (lambda: veskari.convert(nn.Sequential(dendritic()))[0], "already converted"),
], ids=["plain network", "converted twice"])
def test_warns_when_nothing_was_converted(build, because):
    net = build()
    with pytest.warns(veskari.ConversionWarning, match=because):
        result, report = veskari.convert(net)
    assert result is net and report.converted == []


@pytest.mark.parametrize("value", [torch.randn(2, 4), None, 3, [nn.Linear(2, 2)]])
def test_rejects_what_is_not_a_module(value):
    with pytest.raises(TypeError, match="needs a torch.nn.Module"):
        veskari.convert(value)


@pytest.fixture
def shifted(monkeypatch):
    """Converted layers whose output is off by 0.5."""
    class Shifted(clean_veskari.VSKModulePyThread):
        def forward(self, *args, **kwargs):
            return super().forward(*args, **kwargs) + 0.5

    monkeypatch.setattr(clean_veskari, "ModuleType", Shifted)


class Outputs(nn.Module):
    """One neuron module between a preparation of the input and a shaping of the output."""

    def __init__(self, out=lambda y: y, before=lambda x: x):
        super().__init__()
        self.layer, self.out, self.before = dendritic(), out, before

    def forward(self, x):
        return self.out(self.layer(self.before(x)))


@pytest.mark.parametrize("out, where", [
    (lambda y: y, "output"), (lambda y: {"array": y.numpy()}, r"output\['array'\]"),
    (lambda y: y.to_sparse(), "output"),
    (lambda y: torch.nested.nested_tensor([y[:1], y[1:]], layout=torch.jagged), r"output\[0\]"),
], ids=["tensor", "numpy", "sparse", "nested"])
def test_a_mismatch_is_found_in_any_output_and_leaves_the_network_as_it_was(shifted, out, where):
    net = Outputs(out)
    for param in net.parameters():
        param.wrapped = True  # the conversion deletes it
    state = net.state_dict(keep_vars=True)
    with pytest.raises(veskari.ConversionMismatchError,
                       match=where + " differs .* largest difference 0.5") as err:
        veskari.convert(net, torch.randn(3, 4))
    assert err.value.max_difference == pytest.approx(0.5)
    assert net.state_dict(keep_vars=True) == state and len(net.layer.dendrites_to_top) == 2
    assert all(p.wrapped for p in net.parameters())


@pytest.mark.parametrize("before", [lambda x: x.mul_(2), nn.BatchNorm1d(4)],
                         ids=["input changed in place", "statistics updated"])
def test_the_check_changes_neither_the_inputs_nor_the_buffers(before):
    net, x = Outputs(before=before), torch.randn(3, 4)
    kept = copy.deepcopy((x, net.state_dict()))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # a network in training mode is warned about
        _, report = veskari.convert(net, x)
    assert torch.equal(x, kept[0]) and report.max_difference == 0
    assert all(torch.equal(net.state_dict()[k], v) for k, v in kept[1].items() if "before" in k)


class Writes(nn.Module):
    def __init__(self):
        super().__init__()
        self.scale = nn.Parameter(torch.ones(1))

    def forward(self, x):
        return x * self.scale.mul_(1)


@pytest.mark.parametrize("build, kwargs, error, message", [
    (lambda: Outputs(lambda y: threading.Lock()), {}, TypeError,
     r"its output cannot be compared .*lock.* without example_inputs"),
    (lambda: Outputs(before=functools.partial(lambda lock, x: x, threading.Lock())), {},
     TypeError, "(?s)pickle.*convert.net. without example_inputs"),
    (Outputs, {"example_kwargs": [1]}, TypeError, "example_kwargs must be a dict .* got list$"),
    (lambda: Outputs(before=Writes()), {}, RuntimeError, "wrote in place .*before.scale"),
], ids=["opaque output", "uncopyable network", "kwargs not a dict", "weights written"])
def test_the_check_refuses_what_it_cannot_check(build, kwargs, error, message):
    net = build()
    with pytest.raises(error, match=message):
        veskari.convert(net, torch.randn(3, 4), **kwargs)
    assert not any(isinstance(m, InferenceLayer) for m in net.modules())


def test_two_threads_converting_at_once_see_only_their_own_skip_list(monkeypatch):
    # Converting a child under a digit key shows the walks a rebased skip
    # list; the other thread's walks, given time to overlap, never see it.
    names, foreign = GVS.pc.get_module_names_to_not_save(), []

    class Settings(GVS.VeskariSettings):
        def get_module_names_to_not_save(self):
            current = super().get_module_names_to_not_save()
            if current is not names:
                if threading.current_thread().name == "plain":
                    foreign.append(current)
                time.sleep(0.002)  # the other thread runs meanwhile
            return current

    nets = {"digit": lambda: nn.Sequential(nn.ModuleDict({"0": nn.Sequential(dendritic())})),
            "plain": lambda: nn.Sequential(dendritic(), dendritic())}
    converted = {name: [veskari.convert(nets[name]())[1].converted] for name in nets}
    monkeypatch.setattr(GVS, "pc", Settings())
    GVS.pc.set_module_names_to_not_save(names)
    threads = [threading.Thread(name=name, target=lambda name=name: [
        converted[name].append(veskari.convert(nets[name]())[1].converted) for _ in range(3)])
        for name in nets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert foreign == [] and all(len(set(map(tuple, c))) == 1 and len(c) == 4
                                 for c in converted.values())


@pytest.mark.parametrize("write, factor", [
    (lambda m: m.weight.data.mul_(0.5), 0.25),  # no write counter sees .data; the check runs twice
    (lambda m: m.weight.detach().mul_(1), 1)], ids=["through .data", "counted"])
def test_the_check_names_every_weight_its_forward_wrote(write, factor):
    net, x = Outputs(before=nn.Linear(4, 4)).eval(), torch.randn(3, 4)
    net.before.register_forward_pre_hook(lambda module, args: write(module))  # runs on the copies
    before, weight = snapshot(net), net.before.weight.detach().clone()
    with pytest.raises(RuntimeError, match=r"parameter\(s\) before.weight during "
                       "the check; .* now hold the values the forward wrote"):
        veskari.convert(net, x)
    assert torch.equal(net.before.weight.detach(), weight * factor)
    net.before.weight.data.copy_(weight)  # all else is as it was
    assert before == snapshot(net)


@pytest.mark.parametrize("break_it", [
    lambda net, patch: net[1].add_module("back", net),
    lambda net, patch: patch.setattr(clean_veskari, "refresh_net", unittest.mock.Mock(
        side_effect=KeyboardInterrupt))], ids=["submodule cycle", "interrupted walk"])
def test_a_check_whose_copy_fails_to_convert_says_the_network_is_unchanged(break_it, monkeypatch):
    net, x = nn.Sequential(dendritic(), nn.Sequential()).eval(), torch.randn(2, 4)
    break_it(net, monkeypatch)
    before = snapshot(net)
    with pytest.raises(BaseException) as err:
        veskari.convert(net, x)
    assert err.value.__notes__[-1].endswith("your network was not converted and is unchanged")
    assert before == snapshot(net)


@pytest.mark.parametrize("prepare", [True, False])
@pytest.mark.parametrize("parents", [lambda m: nn.Sequential(nn.Sequential(m), nn.ReLU(),
                                                             nn.Sequential(m)),
                                     lambda m: nn.Sequential(m, nn.ReLU(), m)],
                         ids=["two parents", "one parent, two names"])
def test_a_neuron_module_held_twice_stays_one_layer(parents, prepare):
    net, x = parents(dendritic()).eval(), torch.randn(3, 4)
    paths = [p for p, m in net.named_modules(remove_duplicate=False) if type(m) is VSKNeuronModule]
    state, expected = copy.deepcopy(net.state_dict()), net(x)
    _, report = quiet_convert(net, x, prepare=prepare)
    layers = [net.get_submodule(path) for path in paths]
    assert layers[0] is layers[1] and not isinstance(layers[0], VSKNeuronModule)
    assert report.converted == list(report.keys) == paths and torch.equal(net(x), expected)
    assert any({t.rpartition(".")[0].rsplit(".", 2)[0] for t in tie} >= set(paths)
               for tie in report.tied)
    translated, now = report.translate(state), net.state_dict()
    assert translated.keys() == now.keys() and all(torch.equal(translated[k], now[k]) for k in now)
