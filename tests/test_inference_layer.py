"""The layer veskari.convert returns follows every change of its weights."""
import copy

import pytest
import torch
from torch import nn

import veskari
import veskari.deploy
from veskari import _prepared, clean_veskari
from veskari.inference import InferenceLayer
from veskari.utils_veskari import add_dendrites, wrap_module


def converted():
    with torch.random.fork_rng(devices=[]):
        torch.manual_seed(3)
        net = nn.Sequential(add_dendrites(wrap_module(nn.Linear(5, 5)), 3, init_scale=0.5))
        return veskari.convert(net.eval())[0]


def native_twin(net):
    twin = copy.deepcopy(net)
    for module in twin.modules():
        if isinstance(module, InferenceLayer):
            module.__class__ = clean_veskari.VSKModulePyThread
    return twin


def optimizer_step(layer):
    optimizer = torch.optim.SGD(layer.parameters(), lr=0.5)
    layer(torch.randn(5, 5)).square().sum().backward()  # autograd: the native forward
    optimizer.step()


def scaled_state(layer):
    return {k: v * 2 if v.is_floating_point() else v for k, v in layer.state_dict().items()}


CHANGES = {
    "optimizer step": optimizer_step,
    "replaced parameter": lambda layer: layer.skip_weights.__setitem__(
        1, nn.Parameter(torch.randn_like(layer.skip_weights[1]))),
    "storage swapped": lambda layer: setattr(layer.skip_weights[2], "data",
                                             torch.randn_like(layer.skip_weights[2])),
    "to float64": lambda layer: layer.double(),
    "load_state_dict": lambda layer: layer.load_state_dict(scaled_state(layer)),
    "load_state_dict assign": lambda layer: layer.load_state_dict(scaled_state(layer),
                                                                  assign=True),
    # Batch 5 = 5 neurons: both view shapes broadcast, to different results.
    "view_tuple written": lambda layer: layer.view_tuple.copy_(torch.tensor([-1, 1])),
    "view_tuple replaced": lambda layer: setattr(layer, "view_tuple", torch.tensor([-1, 1])),
}


@pytest.mark.parametrize("change", CHANGES)
def test_prepared_rows_follow_every_change_of_the_weights(change):
    net = converted()
    x = torch.randn(5, 5)
    with torch.no_grad():
        before = net(x)  # the rows are made here
    CHANGES[change](net[0])
    x = x.to(net[0].skip_weights[0].dtype)
    with torch.no_grad():
        got = net(x)
        assert torch.equal(got, native_twin(net)(x))
    assert not torch.equal(got.to(before.dtype), before) or change == "to float64"


def test_prepare_refuses_a_subclass_with_its_own_forward_and_warns_on_nothing():
    class Own(clean_veskari.VSKModulePyThread):
        def forward(self, *args, **kwargs):
            return super().forward(*args, **kwargs)

    net = native_twin(converted())
    net[0].__class__ = Own
    with pytest.raises(TypeError, match="Own is a subclass of VSKModulePyThread"):
        veskari.deploy.prepare(net)
    with pytest.warns(veskari.ConversionWarning, match="found no converted layer"):
        veskari.deploy.compilable(nn.Sequential(nn.Linear(2, 2)))


@pytest.mark.parametrize("field, value", [
    (3, ()), (3, [nn.Identity()]), (5, (None,)), (9, ()), (12, ((),)), (12, ((1,), (1,))),
    (None, None)])
def test_the_native_forward_refuses_a_malformed_plan(field, value):
    layer = converted()[0]
    with torch.no_grad():
        layer(torch.randn(1, 5))
    plan = list(layer._vsk_plan)
    if field is not None:
        plan[field] = value
    with pytest.raises(TypeError, match=r"run\(layer, plan, args, kwargs\)"):
        _prepared.run(layer, tuple(plan) if field is not None else plan, (), {})


@pytest.mark.parametrize("trace", [lambda net, x: torch.jit.trace(net, x),
                                   lambda net, x: torch.fx.symbolic_trace(net)],
                         ids=["jit.trace", "fx"])
def test_the_older_tracers_record_the_native_computation(trace):
    net, x = converted(), torch.randn(4, 5)
    with torch.no_grad():
        traced = trace(net, x)
        net[0].skip_weights[0].mul_(2)  # a graph holding rows as constants would miss this
        assert torch.equal(traced(x), net(x))
