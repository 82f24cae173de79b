"""The layer veskari.convert returns follows every change of its weights."""
import copy
import tempfile
import weakref
from unittest import mock

import pytest
import torch
import torch.autograd.forward_ad as fwAD
from torch import nn

import veskari
import veskari.deploy
import veskari.inference
from helpers import run_child, tail
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
        veskari.inference.prepare(net)
    with pytest.warns(veskari.ConversionWarning, match="found no converted layer"):
        veskari.inference.prepare(nn.Sequential(nn.Linear(2, 2)))


def test_the_deprecated_names_still_work_and_warn():
    net = native_twin(converted())
    assert veskari.deploy.prepare is veskari.inference.prepare
    with pytest.warns(DeprecationWarning, match="compilable is deprecated"):
        assert veskari.deploy.compilable(net) is net
    with pytest.warns(DeprecationWarning, match="CompilableVSKModule is deprecated"):
        assert veskari.deploy.CompilableVSKModule is veskari.inference.InferenceLayer
    with pytest.warns(DeprecationWarning, match="switch is deprecated"):
        assert veskari.inference.switch(net) == []
    assert type(net[0]) is veskari.inference.InferenceLayer


def frozen(layer):
    return layer.requires_grad_(False)


def skip_weight_grads(layer, x):
    """Gradients of a functional call whose skip weights require grad."""
    params = {k: v.detach().requires_grad_(k.startswith("skip_weights"))
              for k, v in frozen(layer).named_parameters()}
    torch.func.functional_call(layer, params, (x,)).sum().backward()
    return [params[k].grad for k in sorted(params) if k.startswith("skip_weights")]


def replaced_then_backward(layer, x):
    frozen(layer).skip_weights[1] = nn.Parameter(torch.ones_like(layer.skip_weights[1]))
    layer(x).sum().backward()
    return layer.skip_weights[1].grad


def plain_list(layer, x):
    weights = list(layer.skip_weights)
    del layer.skip_weights
    layer.skip_weights = weights
    with torch.no_grad():
        return layer(x)


def doubling_dendrites(cls):
    """A user's subclass of ``cls`` whose own branch step doubles each dendrite."""
    class Own(cls):
        def process_and_forward(self, c, outs, *args, **kwargs):
            super().process_and_forward(c, outs, *args, **kwargs)
            outs[c] = outs[c] * 2
    return Own


def own_branch_step(layer, x):
    layer.__class__ = doubling_dendrites(type(layer))
    with torch.no_grad():
        plain = layer(x)
    with torch.inference_mode():
        return plain, layer(x), layer(x * 1)  # under both eager modes


def swapped_inside_the_forward(layer, x):
    # Python code that runs while the forward runs (a branch's hook, the
    # activation) swaps a weight the rows were cut from.
    weight = layer.skip_weights[2]
    layer.layer_array[0].register_forward_hook(
        lambda *_: setattr(weight, "data", weight.data * 3))
    with torch.no_grad():
        first = layer(x)
    activation = veskari.globals_veskari.pc.get_vsk_forward_function()

    def swapping(value):
        weight.data = weight.data + 1
        return activation(value)

    veskari.globals_veskari.pc.set_vsk_forward_function(swapping)
    try:
        with torch.no_grad():
            return first, layer(x)
    finally:
        veskari.globals_veskari.pc.set_vsk_forward_function(activation)


def view_written_without_a_version(layer, x):
    layer.view_tuple.numpy()[:] = [-1, 1]
    with torch.no_grad():
        return layer(x)


def regeometry(change):
    def run(layer, x):
        change(layer.skip_weights[2])
        with torch.no_grad():
            return layer(x)
    return run


def untracked(weight):
    return weight.requires_grad_(False)


def swapped(layer, x):
    weight = layer.skip_weights[0]
    torch.utils.swap_tensors(weight, nn.Parameter(weight.detach() + 1))
    torch.__future__.set_swap_module_params_on_conversion(True)
    try:
        layer.skip_weights.double()
    finally:
        torch.__future__.set_swap_module_params_on_conversion(False)
    with torch.no_grad():
        return layer(x.double())


def of_parameters(transform):
    """A case: `transform(f, params)` of the layer as a function of its parameters."""
    def run(layer, x):
        params = {k: v.detach() for k, v in layer.named_parameters()}
        return transform(lambda p: torch.func.functional_call(layer, p, (x,)), params)
    return run


def dual_call(f, params):  # each parameter its own tangent
    with fwAD.dual_level():
        return fwAD.unpack_dual(f({k: fwAD.make_dual(v, v) for k, v in params.items()}))


def activation_property(layer, x):
    # A class attribute answers the getter's read before the instance dict.
    with torch.no_grad(), mock.patch.object(veskari.globals_veskari.VeskariSettings,
                                            "_vsk_forward_function",
                                            property(lambda self: torch.tanh), create=True):
        return layer(x)


FREED_STORAGE = """
import sys, torch
layer, x = torch.load(sys.argv[1], weights_only=False)
weight = layer.skip_weights[2]
weight.data = weight.data.clone()  # a loaded storage cannot be resized
with torch.no_grad():
    layer(x)  # the rows are made here
    weight.untyped_storage().resize_(0)  # as FSDP frees a parameter
    try:
        torch.save(layer(x), sys.argv[1])
    except RuntimeError as err:
        torch.save(str(err), sys.argv[1])
"""


def storage_freed(layer, x):
    """In a child interpreter: a crash fails the case, not the run."""
    with tempfile.TemporaryDirectory() as folder:
        torch.save((layer, x), path := f"{folder}/case.pt")
        result = run_child(FREED_STORAGE, path)
        assert result.returncode == 0, tail(result)
        return torch.load(path)


FAST_PATH_CASES = {
    "functional_call on a frozen net": skip_weight_grads,
    "parameter replaced on a frozen net, then backward": replaced_then_backward,
    "skip weights as a plain list": plain_list,
    "subclass overriding a branch step": own_branch_step,
    "weight swapped while the forward runs": swapped_inside_the_forward,
    "view shape written without a version bump": view_written_without_a_version,
    "transposed data, same pointer": regeometry(lambda w: setattr(w, "data", w.data.t())),
    "as_strided_": regeometry(lambda w: untracked(w).as_strided_((3, 4), (1, 3))),
    "narrowed data": regeometry(lambda w: setattr(w, "data", w.data[:, :3])),
    "resize_": regeometry(lambda w: untracked(w).resize_(3, 2)),
    "swap_tensors and .double() with swapping on": swapped,
    "torch.func.grad over functional_call": of_parameters(
        lambda f, params: torch.func.grad(lambda p: f(p).sum())(params)),
    "dual parameters through functional_call": of_parameters(dual_call),
    "torch.func.jvp over functional_call": of_parameters(
        lambda f, params: torch.func.jvp(f, (params,), (params,))),
    "forward function a property of the settings class": activation_property,
    "storage shrunk in place": regeometry(lambda w: w.untyped_storage().resize_(16)),
    "storage freed (child interpreter)": storage_freed,
}


def square_layer():
    with torch.random.fork_rng(devices=[]):
        torch.manual_seed(4)
        layer = add_dendrites(wrap_module(nn.Linear(4, 4)), 3, init_scale=0.5)
        return veskari.convert(nn.Sequential(layer.eval()))[0][0]


def outcome(case, layer, x):
    try:
        return case(layer, x)
    except Exception as err:  # the native forward's error is the expected answer
        return type(err), str(err)


@pytest.mark.parametrize("case", FAST_PATH_CASES)
def test_the_fast_path_answers_what_the_native_forward_answers(case):
    layer, x = square_layer(), torch.randn(4, 4)
    native = native_twin(layer)  # a copy drops the rows: made after it
    with torch.no_grad():
        layer(x)  # the rows are made here
    assert type(layer) is InferenceLayer and type(native) is clean_veskari.VSKModulePyThread
    got, want = outcome(FAST_PATH_CASES[case], layer, x), outcome(FAST_PATH_CASES[case], native, x)
    flat_got, flat_want = map(torch.utils._pytree.tree_leaves, (got, want))
    for a, b in zip(flat_got, flat_want, strict=True):
        assert (torch.equal(a, b) if isinstance(a, torch.Tensor) else a == b), case


@pytest.mark.parametrize("replace", ["branch module", "skip weight"])
def test_the_plan_keeps_nothing_replaced_alive(replace):
    layer, x = square_layer(), torch.randn(4, 4)
    with torch.no_grad():
        layer(x)
    if replace == "branch module":
        old, layer.layer_array[1] = layer.layer_array[1], nn.Linear(4, 4)
    else:
        old, layer.skip_weights[1] = layer.skip_weights[1], nn.Parameter(torch.ones(2, 4))
    ref = weakref.ref(old)
    del old
    assert ref() is None


def test_a_branch_calling_its_own_layer_ends_in_recursion_error():
    layer = square_layer()

    class Again(nn.Module):
        def forward(self, x):
            return layer(x)

    layer.layer_array[0] = Again()
    with torch.no_grad(), pytest.raises(RecursionError):
        layer(torch.randn(2, 4))


@pytest.mark.parametrize("args", [(), (1, 2, 3), (None, (), {}), (object(), [], {})])
def test_run_takes_any_arguments_without_crashing(args):
    with pytest.raises((TypeError, AttributeError)):  # as VSKModulePyThread.forward(None)
        _prepared.run(*args)
    with pytest.raises(TypeError):
        _prepared.Plan()


@pytest.mark.parametrize("trace", [lambda net, x: torch.jit.trace(net, x),
                                   lambda net, x: torch.fx.symbolic_trace(net)],
                         ids=["jit.trace", "fx"])
def test_the_older_tracers_record_the_native_computation(trace):
    net, x = converted(), torch.randn(4, 5)
    with torch.no_grad():
        traced = trace(net, x)
        net[0].skip_weights[0].mul_(2)  # a graph holding rows as constants would miss this
        assert torch.equal(traced(x), net(x))
