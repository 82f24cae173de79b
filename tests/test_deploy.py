"""Converted networks made compilable: every PyTorch 2 path computes what the
trained network computes, and eager calls still run the native forward.

Compiles use the aot_eager backend (dynamo and autograd tracing, the part
that follows our code); inductor and AOTInductor, which only lower the same
graph, run under the ``slow`` marker.
"""
import copy
import io
import types

import pytest
import torch
from torch import nn

import test_clean_layer as layer_tests
from networks import ALL_NETWORKS
from test_clean_layer import recording_thread, thread_errors, threaded  # noqa: F401 -- fixtures
from test_inference_layer import doubling_dendrites
from veskari import blockwise_veskari, clean_veskari
from veskari.inference import InferenceLayer, prepare
from veskari.utils_veskari import add_dendrites, wrap_module


def single_layer():
    """A converted layer as the root module."""
    with torch.random.fork_rng(devices=[]):
        torch.manual_seed(5)
        layer = add_dendrites(wrap_module(nn.Linear(6, 5)), 3, seed=6, init_scale=0.5)
        return layer.eval(), (torch.randn(4, 6),)


NETWORKS = {**ALL_NETWORKS, "layer": single_layer}


def convert(net):
    """Both walks; a neuron-module root is converted through a holder."""
    holder = nn.Sequential(net)
    blockwise_veskari.blockwise_network(holder)
    return clean_veskari.refresh_net(holder)[0]


# The tracing tests take the MLP in make test, every network under slow.
TRACED = [n if n == "mlp" else pytest.param(n, marks=pytest.mark.slow) for n in sorted(NETWORKS)]


def tensors(out):
    return list(out) if isinstance(out, tuple) else [out]


@pytest.fixture(autouse=True)
def _rnn_tracing_and_prepared_layer_tests(monkeypatch):
    # Dynamo leaves nn.LSTM to eager mode unless told otherwise, trained
    # networks included.
    # (torch's own patch, not monkeypatch: newer pytest restores module
    # attributes in a way torch's config modules do not survive)
    monkeypatch.setattr(layer_tests, "VSKModulePyThread", InferenceLayer)
    with torch._dynamo.config.patch(allow_rnn=True):
        yield


@pytest.fixture(scope="module", params=sorted(NETWORKS))
def case(request):
    net, args = NETWORKS[request.param]()
    trained = copy.deepcopy(net)
    # Conversion keeps the parameter objects: the converted network's are
    # the trained network's under its old names.
    shared = dict(net.named_parameters())
    with torch.no_grad():
        expected = trained(*args)
    net = prepare(convert(net)).eval()
    return types.SimpleNamespace(name=request.param, trained=trained, net=net, args=args,
                                 expected=expected, shared=shared)


def assert_outputs(got, case):
    torch.testing.assert_close(tensors(got), tensors(case.expected), rtol=1e-5, atol=1e-5)


# ------------------------------------------------------------------- eager


def test_prepared_network_keeps_its_state_and_eager_results(case):
    layers = [m for m in case.net.modules() if isinstance(m, clean_veskari.VSKModulePyThread)]
    assert layers and all(type(m) is InferenceLayer for m in layers)
    native = convert(NETWORKS[case.name]()[0])
    assert list(case.net.state_dict()) == list(native.state_dict())
    native.load_state_dict(case.net.state_dict())
    case.net.load_state_dict(native.state_dict())
    buffer = io.BytesIO()
    torch.save(prepare(case.net), buffer)
    buffer.seek(0)
    with torch.no_grad():
        for net in (case.net, torch.load(buffer, weights_only=False)):
            for clean_veskari.doing_threading in (False, True):
                assert_outputs(net(*case.args), case)


# The native forward's call-order and threaded-mode cases, on prepared layers.
test_cascade_matches_the_hand_computation = layer_tests.test_cascade_matches_the_hand_computation
test_activation_fetched_afresh_for_each_dendrite = \
    layer_tests.test_activation_fetched_afresh_for_each_dendrite
test_flag_is_read_once_per_call_through_its_truth_value = \
    layer_tests.test_flag_is_read_once_per_call_through_its_truth_value
test_threads_created_then_started_then_joined_in_order = \
    layer_tests.test_threads_created_then_started_then_joined_in_order
test_threaded_equals_sequential_in_every_autograd_mode = \
    layer_tests.test_threaded_equals_sequential_in_every_autograd_mode
test_thread_arguments = layer_tests.test_thread_arguments


# ----------------------------------------------------------- torch.compile


@pytest.mark.parametrize("case", TRACED, indirect=True)
def test_compile_fullgraph_outputs_and_gradients(case):
    explained = torch._dynamo.explain(case.net)(*case.args)
    assert (explained.graph_count, explained.graph_break_count) == (1, 0)
    compiled = torch.compile(case.net, fullgraph=True, backend="aot_eager")
    # torch cannot compile an LSTM's backward (nor the trained network's).
    with torch.set_grad_enabled(case.name != "recurrent"):
        out = compiled(*case.args)
        expected = case.trained(*case.args)
    assert_outputs(out, case)
    if not out.requires_grad:
        return
    # The weights the training forward never reads are frozen (add_dendrites).
    names = sorted(n for n, p in case.shared.items() if p.requires_grad)
    trained_params = dict(case.trained.named_parameters())
    got = torch.autograd.grad(sum(t.sum() for t in tensors(out)),
                              [case.shared[n] for n in names], allow_unused=True)
    want = torch.autograd.grad(sum(t.sum() for t in tensors(expected)),
                               [trained_params[n] for n in names], allow_unused=True)
    for name, g, w in zip(names, got, want, strict=True):
        assert (g is None) == (w is None), name
        if g is not None:
            torch.testing.assert_close(g, w, rtol=1e-5, atol=1e-5, msg=name)


def test_compiled_layer_follows_a_changed_nonlinearity(settings):
    net, args = single_layer()
    net = prepare(convert(net))
    compiled = torch.compile(net, fullgraph=True, backend="eager")
    with torch.no_grad():
        for activation in (torch.sigmoid, torch.tanh):
            settings.set_vsk_forward_function(activation)
            torch.testing.assert_close(compiled(*args), net(*args))


# ------------------------------------------------------------------- export


@pytest.mark.parametrize("strict", [True, False], ids=["strict", "non_strict"])
@pytest.mark.parametrize("case", TRACED, indirect=True)
def test_export_and_save_load_round_trip(case, strict):
    buffer = io.BytesIO()
    torch.export.save(torch.export.export(case.net, case.args, strict=strict), buffer)
    buffer.seek(0)
    assert_outputs(torch.export.load(buffer).module()(*case.args), case)


@pytest.mark.parametrize("case", TRACED, indirect=True)
def test_onnx_dynamo_under_onnxruntime(case, tmp_path):
    ort = pytest.importorskip("onnxruntime")
    path = tmp_path / f"{case.name}.onnx"
    torch.onnx.export(case.net, case.args, path, dynamo=True)
    session = ort.InferenceSession(path, providers=["CPUExecutionProvider"])
    feed = {i.name: a.numpy() for i, a in zip(session.get_inputs(), case.args, strict=True)}
    got = [torch.from_numpy(o) for o in session.run(None, feed)]
    assert_outputs(tuple(got), case)


# ------------------------------------------------ inductor and AOTInductor


@pytest.mark.slow
def test_inductor_and_aotinductor(case, tmp_path):
    with torch.no_grad():
        assert_outputs(torch.compile(case.net, fullgraph=True)(*case.args), case)
    program = torch.export.export(case.net, case.args)
    package = torch._inductor.aoti_compile_and_package(
        program, package_path=str(tmp_path / f"{case.name}.pt2"))
    with torch.no_grad():
        assert_outputs(torch._inductor.aoti_load_package(package)(*case.args), case)


def test_a_subclass_overriding_a_branch_step_is_called_when_compiled():
    net, args = single_layer()
    net = prepare(convert(net))
    plain = type(net)
    net.__class__ = doubling_dendrites(plain)
    with torch.no_grad():
        eager = net(*args)
        torch.testing.assert_close(torch.compile(net, backend="eager")(*args), eager)
        net.__class__ = plain
        assert not torch.equal(net(*args), eager)  # the override changed the output
