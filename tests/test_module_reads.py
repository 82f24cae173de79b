"""The direct reads of module attributes and container entries.

The converters read attributes and Sequential/ParameterList entries straight
from PyTorch's tables only while a type keeps PyTorch's own protocol; every
override must still be honoured.
"""
import copy

import pytest
import torch
from torch import nn

from helpers import converted_layer, neuron
from veskari import blockwise_veskari, clean_veskari
from veskari.modules_veskari import VSKNeuronModule


def converted_and_trained():
    module = neuron(2, 4, 3, seed=3)
    trained = copy.deepcopy(module)
    return converted_layer(module), trained


X = torch.randn(2, 4)


def counting(monkeypatch, cls, name):
    calls = []
    original = cls.__dict__[name]

    def wrapper(self, *args):
        calls.append(args)
        return original(self, *args)

    monkeypatch.setattr(cls, name, wrapper)
    return calls


@pytest.mark.parametrize("cls,name", [
    (nn.Module, "__getattr__"),
    (nn.Sequential, "__getitem__"),
    (nn.Sequential, "__len__"),
    (nn.ParameterList, "__getitem__"),
], ids=["Module.__getattr__", "Sequential.__getitem__", "Sequential.__len__",
        "ParameterList.__getitem__"])
def test_patched_pytorch_methods_are_called(monkeypatch, cls, name):
    layer, trained = converted_and_trained()
    calls = counting(monkeypatch, cls, name)
    with torch.no_grad():
        torch.testing.assert_close(layer(X), trained(X))
    assert calls


def test_subclassed_containers_are_indexed_through_their_own_methods():
    layer, trained = converted_and_trained()

    def logging(cls):
        class Logging(cls):
            seen = []

            def __getitem__(self, idx):
                self.seen.append(idx)
                return super().__getitem__(idx)
        return Logging

    LoggingSequential, LoggingParameters = logging(nn.Sequential), logging(nn.ParameterList)

    layer.layer_array = LoggingSequential(*layer.layer_array)
    layer.skip_weights = LoggingParameters(list(layer.skip_weights))
    with torch.no_grad():
        torch.testing.assert_close(layer(X), trained(X))
    assert LoggingSequential.seen == [0, 1, -1]
    assert LoggingParameters.seen == [0, 1, 1]


def test_instance_dict_entries_shadow_registered_modules():
    layer, trained = converted_and_trained()
    main_only = nn.Sequential(layer.layer_array[-1])
    object.__setattr__(layer, "layer_array", main_only)  # shadows _modules["layer_array"]
    with torch.no_grad():
        assert torch.equal(layer(X), main_only[0](X))


def test_a_block_stored_under_a_method_name_is_still_converted():
    neuron = VSKNeuronModule(nn.Linear(4, 3), [-1, 0], 1)
    block = blockwise_veskari.convert_to_vsk_layer_block(neuron)
    holder = nn.Module()
    holder.__dict__["extra_repr"] = block  # an instance value where the class has a method
    clean_veskari.refresh_net(holder)
    # Set back with setattr, so PyTorch now registers it as a sub-module.
    assert type(holder._modules["extra_repr"]) is clean_veskari.VSKModulePyThread
    assert "extra_repr" not in holder.__dict__


def test_properties_on_subclasses_are_read_not_assumed_methods():
    reads = []

    class WithProperty(nn.Module):
        @property
        def inner(self):
            reads.append("inner")
            return self._inner

    holder = WithProperty()
    holder._inner = VSKNeuronModule(nn.Linear(4, 3), [-1, 0], 1)
    blockwise_veskari.blockwise_network(holder)
    assert reads  # the walk went through the property
    assert type(holder._inner).__name__ == "VSKLayer"


def test_the_native_read_of_the_activation_follows_its_getter():
    # The inference layer reads pc._vsk_forward_function in place of calling
    # get_vsk_forward_function(); that is sound only while the getter does
    # nothing but return that attribute. Change both together.
    import dis

    from veskari.globals_veskari import VeskariSettings

    steps = [(i.opname, i.argval) for i in dis.get_instructions(
        VeskariSettings.get_vsk_forward_function) if i.opname not in ("RESUME", "CACHE")]
    assert steps == [("LOAD_FAST", "self"), ("LOAD_ATTR", "_vsk_forward_function"),
                     ("RETURN_VALUE", None)]
