"""Helpers to turn an ordinary network into a dendrite network and grow it."""
from collections.abc import Callable, Iterable
from typing import Any, TypeAlias, TypeVar

from torch import nn

from veskari.fresh import Initialisers
from veskari.layouts import Layouts
from veskari.modules_veskari import Processor, VSKNeuronModule

_M = TypeVar("_M", bound=nn.Module)
_MakeProcessor: TypeAlias = Callable[[nn.Module], Processor | None]
_Type: TypeAlias = type[nn.Module]
_Types: TypeAlias = _Type | list[_Type] | tuple[_Type, ...] | set[_Type]

class LayerLeftUnwrappedWarning(UserWarning):
    """A layer of a wrapped type was left as it is: its dendrites would not
    count, or its weights are tied to another module's."""

    layers: list[tuple[str, str]]
    def __init__(self, message: str, layers: Iterable[tuple[str, str]] = ()) -> None: ...

class NothingDoneWarning(UserWarning):
    """A helper was given a network holding nothing it acts on."""

class CopiedDendritesWarning(UserWarning):
    """Dendrites start as copies of their trained main layer."""

def output_layout(module: nn.Module, layouts: Layouts | None = None) -> tuple[list[int], int]:
    """``(output_dimensions, node_index)`` of a layer's (processed) output."""

def default_processor(module: nn.Module) -> Processor | None:
    """A processor for layers whose output needs adapting, else None."""

def wrap_module(
    module: nn.Module, make_processor: _MakeProcessor | None = None, layouts: Layouts | None = None
) -> VSKNeuronModule:
    """Wrap one layer in a ``VSKNeuronModule`` with the inferred layout."""

def wrap_layers(
    net: nn.Module,
    layer_types: _Types,
    make_processor: _MakeProcessor | None = None,
    *,
    example_inputs: Any = None,
    example_kwargs: dict[str, Any] | None = None,
    layouts: Layouts | None = None,
) -> nn.Module:
    """Replace, in place, every submodule of exactly one of ``layer_types``
    whose dendrites would count; returns ``net``, or its wrapper if ``net``
    itself matched."""

def bypassed_children(parent: nn.Module) -> dict[str, str]:
    """``{child name: why}`` for the children a PyTorch module computes with
    directly instead of calling them."""

def named_neuron_modules(net: nn.Module) -> list[tuple[str, VSKNeuronModule]]:
    """``(path, module)`` for every neuron module in ``net``, in module order."""

def neuron_modules(net: nn.Module) -> list[VSKNeuronModule]:
    """Every neuron module in ``net`` (including ``net`` itself), in module order."""

def fresh_copy_factory(
    layer: nn.Module, initialisers: Initialisers | None = None
) -> Callable[[], nn.Module]:
    """Factory of re-initialised copies of ``layer`` (same configuration)."""

def add_dendrites(
    net: _M, k: int, seed: int = 0, init_scale: float = 0.1, *,
    initialisers: Initialisers | None = None,
) -> _M:
    """Add ``k`` dendrites to every neuron module of ``net``; returns ``net``."""

def describe(net: nn.Module) -> str:
    """One line per neuron module: path, main layer type, dendrite count."""
