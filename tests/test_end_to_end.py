"""The whole road: trained network -> blocks -> clean inference network.

Every converted network must compute what the trained one did, in both
branch modes, and survive what users do with a module afterwards.
"""
import copy
import io

import pytest
import torch
from torch import nn

from helpers import bf16_lstm_refusal, run_together
from networks import ALL_NETWORKS
from veskari import blockwise_veskari, clean_veskari
from veskari.modules_veskari import VSKNeuronModule

NETWORKS = sorted(ALL_NETWORKS)
GRAD_MODES = {"no_grad": torch.no_grad, "inference_mode": torch.inference_mode}
# PyTorch keeps these per thread: threaded mode must carry them to its workers.
CALLER_MODES = {**GRAD_MODES, "autocast_bf16": lambda: torch.autocast("cpu", dtype=torch.bfloat16),
                "autocast_bf16_no_cache": lambda: torch.autocast("cpu", dtype=torch.bfloat16,
                                                                 cache_enabled=False)}


def convert(net):
    blockwise_veskari.blockwise_network(net)
    return clean_veskari.refresh_net(net)


def types_in(net):
    return {type(m).__name__ for m in net.modules()}


@pytest.fixture(scope="module", params=NETWORKS)
def converted(request):
    """(name, trained twin, converted network, inputs, trained output)."""
    net, args = ALL_NETWORKS[request.param]()
    trained = copy.deepcopy(net)
    with torch.no_grad():
        expected = trained(*args)
    result = convert(net)
    assert result is net
    return request.param, trained, net, args, expected


@pytest.fixture
def threaded(request):
    clean_veskari.doing_threading = request.param
    yield request.param
    clean_veskari.doing_threading = False


def outputs_equal(got, expected):
    torch.testing.assert_close(got, expected, rtol=1e-5, atol=1e-6)


@pytest.mark.parametrize("threaded", [False, True], indirect=True, ids=["sequential", "threaded"])
@pytest.mark.parametrize("grad_mode", sorted(GRAD_MODES))
def test_converted_network_computes_the_trained_output(converted, threaded, grad_mode):
    _, _, net, args, expected = converted
    assert "VSKNeuronModule" not in types_in(net) and "VSKLayer" not in types_in(net)
    assert "VSKModulePyThread" in types_in(net)
    with GRAD_MODES[grad_mode]():
        outputs_equal(net(*args), expected)


@pytest.mark.parametrize("mode", sorted(CALLER_MODES))
def test_threaded_equals_sequential_in_the_callers_modes(converted, mode):
    name, _, net, args, _ = converted
    if name == "recurrent" and mode.startswith("autocast") and bf16_lstm_refusal():
        pytest.skip(f"this CPU runs no nn.LSTM under bf16 autocast: {bf16_lstm_refusal()}")
    outputs = []
    for clean_veskari.doing_threading in (False, True):
        with CALLER_MODES[mode]():
            outputs.append(net(*args))
    sequential, threaded = outputs
    torch.testing.assert_close(threaded, sequential, rtol=0, atol=0)
    assert (threaded.requires_grad, threaded.is_inference()) == \
        (sequential.requires_grad, sequential.is_inference())


def test_state_dict_loads_into_a_freshly_converted_twin(converted):
    name, _, net, args, expected = converted
    twin = convert(ALL_NETWORKS[name]()[0])
    with torch.no_grad():
        for p in twin.parameters():
            p.zero_()
    assert set(twin.state_dict()) == set(net.state_dict())
    twin.load_state_dict(net.state_dict())
    with torch.no_grad():
        outputs_equal(twin(*args), expected)


@pytest.mark.parametrize("copier", ["deepcopy", "save_load"])
def test_copies_compute_the_same(converted, copier):
    _, _, net, args, expected = converted
    if copier == "deepcopy":
        other = copy.deepcopy(net)
    else:
        buffer = io.BytesIO()
        torch.save(net, buffer)
        buffer.seek(0)
        other = torch.load(buffer, weights_only=False)
    assert type(other) is type(net) and other is not net
    with torch.no_grad():
        outputs_equal(other(*args), expected)


def test_dtype_round_trip_and_eval(converted):
    name, _, net, args, expected = converted
    other = copy.deepcopy(net).to(torch.float64)
    args64 = tuple(a.to(torch.float64) if a.is_floating_point() else a for a in args)
    with torch.no_grad():
        out64 = other(*args64)
    first = out64[0] if isinstance(out64, tuple) else out64
    assert first.dtype == torch.float64
    other = other.to(torch.float32).eval()
    with torch.no_grad():
        outputs_equal(other(*args), expected)


def test_second_refresh_changes_nothing(converted):
    _, _, net, args, expected = converted
    before = [(n, m) for n, m in net.named_modules()]
    assert clean_veskari.refresh_net(net) is net
    assert [(n, m) for n, m in net.named_modules()] == before
    with torch.no_grad():
        outputs_equal(net(*args), expected)


def test_network_without_blocks_comes_back_unchanged():
    net = nn.Sequential(nn.Linear(4, 4), nn.ReLU(), nn.ModuleList([nn.Linear(4, 2)]))
    before = list(net.named_modules())
    params = [p for p in net.parameters()]
    assert blockwise_veskari.blockwise_network(net) is net
    assert clean_veskari.refresh_net(net) is net
    assert list(net.named_modules()) == before
    assert all(a is b for a, b in zip(net.parameters(), params, strict=True))


def test_neuron_module_as_root_is_kept_then_converted_whole():
    net, args = ALL_NETWORKS["mlp"]()
    neuron = next(m for m in net.modules() if type(m) is VSKNeuronModule)
    expected = neuron(torch.randn(3, neuron.main_module.in_features))
    # The block-wise walk never replaces its root; converting the root itself
    # goes through the assembly function, then the clean walk returns a new module.
    block = blockwise_veskari.convert_to_vsk_layer_block(neuron)
    clean = clean_veskari.refresh_net(block)
    assert type(clean) is clean_veskari.VSKModulePyThread
    assert clean.layer_array is block.layer_array
    assert expected.shape[-1] == neuron.main_module.out_features


# (make test runs the threaded case on one layer, in test_clean_layer.py)
@pytest.mark.parametrize("threaded", [False, pytest.param(True, marks=pytest.mark.slow)],
                         indirect=True, ids=["sequential", "threaded"])
def test_concurrent_forwards_of_one_network(threaded):
    net, args = ALL_NETWORKS["mlp"]()
    trained = copy.deepcopy(net)
    convert(net)
    inputs = [torch.randn_like(args[0]) for _ in range(8)]
    with torch.no_grad():
        expected = [trained(x) for x in inputs]

    def work(i):
        with torch.no_grad():
            for _ in range(200):
                torch.testing.assert_close(net(inputs[i]), expected[i])

    assert run_together(work) == []
