"""Training-side building blocks: a neuron module and its dendrite branches."""
from collections.abc import Callable
from contextlib import AbstractContextManager
from typing import Any

import torch
from torch import nn

WRAPPER_NAMES: frozenset[str]

def forwarding_getattr(
    main_of: Callable[[dict[str, nn.Module]], nn.Module | None],
) -> Callable[[nn.Module, str], Any]:
    """A ``__getattr__`` for a wrapper: Module's own names, then its main layer's."""

def recording_calls() -> AbstractContextManager[set[int]]:
    """Yields the set of ids of the neuron modules whose forward ran inside."""

class DendriteValues:
    """Layout record of one dendrite's output: which axis holds the neurons."""

    this_output_dimensions: list[int]
    this_node_index: int
    def __init__(self, output_dimensions: list[int], node_index: int) -> None: ...

def broadcast_shape(values: DendriteValues) -> list[int]:
    """Shape that lays a length-N weight row along the neuron axis."""

class DendriteHolder(nn.Module):
    """The dendrite layers of one neuron module and the weights between them."""

    layers: nn.ModuleList
    processors: list[Processor | None]
    dendrites_to_dendrites: nn.ParameterList
    num_cycles: torch.Tensor
    dendrite_values: list[DendriteValues]
    def __init__(self, output_dimensions: list[int], node_index: int) -> None: ...
    def forward(self, *args: Any, **kwargs: Any) -> list[torch.Tensor]:
        """Run the cascade; returns the activated output of every dendrite."""

class VSKNeuronModule(nn.Module):
    """A main layer plus dendrite branches that add into its output."""

    main_module: nn.Module
    processor: Processor | None
    num_neurons: int
    dendrites_to_top: nn.ParameterList
    this_node_index: torch.Tensor
    dendrite_module: DendriteHolder
    def __init__(
        self,
        main_module: nn.Module,
        output_dimensions: list[int],
        node_index: int,
        processor: Processor | None = None,
        num_neurons: int | None = None,
    ) -> None: ...
    @property
    def num_dendrites(self) -> int: ...
    def add_dendrites(
        self,
        k: int,
        layer_factory: Callable[[], nn.Module],
        processor_factory: Callable[[], Processor] | None = None,
        init_scale: float = 0.1,
        generator: torch.Generator | None = None,
    ) -> VSKNeuronModule:
        """Append ``k`` dendrites made by ``layer_factory()``."""
    def __getattr__(self, name: str) -> Any: ...
    def forward(self, *args: Any, **kwargs: Any) -> Any: ...

def neuron_count(module: nn.Module) -> int:
    """Size of the neuron axis of a layer's output, for common layer types."""

class Processor:
    """Adapts a layer's call and output; this base passes everything through."""

    def pre_d(self, *args: Any, **kwargs: Any) -> tuple[tuple[Any, ...], dict[str, Any]]: ...
    def post_d(self, out: Any) -> Any: ...
    def post_n1(self, out: Any) -> Any: ...
    def post_n2(self, value: Any) -> Any: ...

class RecurrentProcessor(Processor):
    """For recurrent layers returning ``(output, state)``, e.g. nn.LSTM."""

    state_argument: str
    kept_state: Any
    def __init__(self) -> None: ...
