"""Training-side building blocks: a neuron module and its dendrite branches.

A ``VSKNeuronModule`` wraps one main layer. Each dendrite is a layer with
the same call signature as the main layer; dendrite k sees the activated
outputs of dendrites 0..k-1, and the main output sees all of them. The
converters read the attributes documented here, so their names, shapes and
container types are part of the module's contract.
"""
from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

import torch
from torch import nn

from veskari import globals_veskari as GVS
from veskari import layouts
from veskari._conversion import recorded_forward
from veskari._internal.attribute_forwarding import forwarding_getattr

__all__ = ["DendriteHolder", "DendriteValues", "NewDendrites", "Processor",
           "RecurrentProcessor", "VSKNeuronModule", "broadcast_shape", "freeze_unread",
           "neuron_count"]

# What a neuron module holds itself; never read from its main layer.
_OWN_NAMES = ("main_module", "processor", "num_neurons", "dendrites_to_top",
              "this_node_index", "dendrite_module")


class DendriteValues:
    """Layout record of one dendrite's output: which axis holds the neurons.

    Plain object (not a module) so it never shows up in ``state_dict``.
    """

    def __init__(self, output_dimensions: list[int], node_index: int):
        # One entry per output axis: 0 marks the neuron axis, -1 any other.
        self.this_output_dimensions = list(output_dimensions)
        self.this_node_index = int(node_index)


def add_earlier(current: Any, earlier: Sequence[Any], weights: Any, shape: Sequence[int]) -> Any:
    """The cascade merge: ``current`` plus, for each earlier branch output in
    order, row ``i`` of ``weights`` laid along the neuron axis times it.

    Training (dendrite into dendrite, dendrites into the main output) and a
    converted layer under a tracer both merge through this one statement, in
    the order and with the operations the native forward uses, so their
    results are bitwise those of the native converters' layers.
    """
    for i, value in enumerate(earlier):
        current = current + weights[i, :].view(shape).to(current.device) * value
    return current


def broadcast_shape(values: DendriteValues) -> list[int]:
    """Shape that lays a length-N weight row along the neuron axis."""
    return [-1 if axis == values.this_node_index else 1
            for axis in range(len(values.this_output_dimensions))]


class DendriteHolder(nn.Module):
    """The dendrite layers of one neuron module and the weights between them."""

    num_cycles: torch.Tensor  # a buffer

    def __init__(self, output_dimensions: list[int], node_index: int):
        super().__init__()
        self.layers = nn.ModuleList()
        # [] while no dendrite needs processing, else one entry per layer.
        self.processors: list[Processor | None] = []
        # Empty below two dendrites; then entry 0 is an unused placeholder
        # and entry k (k, N) feeds dendrites 0..k-1 into dendrite k.
        self.dendrites_to_dendrites = nn.ParameterList()
        self.register_buffer("num_cycles", torch.tensor(0, dtype=torch.int64))
        # Kept non-empty so the output layout is known before any dendrite.
        self.dendrite_values = [DendriteValues(output_dimensions, node_index)]

    def forward(self, *args: Any, **kwargs: Any) -> list[torch.Tensor]:
        """Run the cascade; returns the activated output of every dendrite."""
        view = broadcast_shape(self.dendrite_values[0])
        activated: list[torch.Tensor] = []
        for k, layer in enumerate(self.layers):
            proc = self.processors[k] if self.processors != [] else None
            a, kw = proc.pre_d(*args, **kwargs) if proc is not None else (args, kwargs)
            cur = layer(*a, **kw)
            if proc is not None:
                cur = proc.post_d(cur)
            weights: Any = self.dendrites_to_dendrites[k] if k > 0 else None
            cur = add_earlier(cur, activated, weights, view)
            # Read per dendrite so a setter called mid-run takes effect at once.
            act = GVS.pc.get_vsk_forward_function()
            activated.append(act(cur))
        return activated


class NewDendrites:
    """Dendrites made for a neuron module and not yet attached to it."""

    def __init__(self, processed: bool):
        self.processed = processed  # made with a processor factory
        self.layers: list[nn.Module] = []
        self.processors: list[Processor | None] = []
        self.tops: list[nn.Parameter] = []  # dendrites_to_top entries
        self.links: list[nn.Parameter] = []  # dendrites_to_dendrites entries (no placeholder)


class VSKNeuronModule(nn.Module):
    """A main layer plus dendrite branches that add into its output.

    Args:
        main_module: the wrapped layer (nn.Linear, nn.Conv2d, nn.LSTM, ...).
        output_dimensions: one entry per axis of the main output (after
            ``processor.post_n1``), 0 on the neuron axis and -1 elsewhere,
            e.g. ``[-1, 0]`` for Linear, ``[-1, 0, -1, -1]`` for Conv2d.
        node_index: the neuron axis (the position of the 0 above).
        processor: object adapting the main layer's output, or None.
        num_neurons: size of the neuron axis; inferred from common layer
            types when omitted.
    """

    def __init__(self, main_module: nn.Module, output_dimensions: list[int], node_index: int,
                 processor: Processor | None = None, num_neurons: int | None = None):
        super().__init__()
        dims = list(output_dimensions)
        if not 0 <= node_index < len(dims) or dims[node_index] != 0:
            raise ValueError(f"output_dimensions {dims} has no 0 at node_index {node_index}")
        self.main_module = main_module
        self.processor = processor
        self.num_neurons = (layouts.positive_count(num_neurons, "num_neurons")
                            if num_neurons is not None else neuron_count(main_module))
        self.dendrites_to_top = nn.ParameterList()
        self.register_buffer("this_node_index", torch.tensor(node_index, dtype=torch.int64))
        self.dendrite_module = DendriteHolder(dims, node_index)

    @property
    def num_dendrites(self) -> int:
        return len(self.dendrite_module.layers)

    def add_dendrites(self, k: int, layer_factory: Callable[[], nn.Module],
                      processor_factory: Callable[[], Processor] | None = None,
                      init_scale: float = 0.1,
                      generator: torch.Generator | None = None) -> VSKNeuronModule:
        """Append ``k`` dendrites made by ``layer_factory()``.

        New weights are ``init_scale * randn`` drawn from ``generator`` (or
        the global RNG); the weights of existing dendrites are kept. The
        weights the forward no longer reads then stop requiring grad
        (:func:`freeze_unread`).
        """
        self.attach_dendrites(self.make_dendrites(k, layer_factory, processor_factory,
                                                  init_scale, generator))
        return self

    def make_dendrites(self, k: int, layer_factory: Callable[[], nn.Module],
                       processor_factory: Callable[[], Processor] | None = None,
                       init_scale: float = 0.1,
                       generator: torch.Generator | None = None) -> NewDendrites:
        """The ``k`` dendrites :meth:`add_dendrites` appends, made (drawing
        from the random stream in the same order) but not attached: the
        module is unchanged until :meth:`attach_dendrites`."""
        n_neurons = self.num_neurons
        ref = self._weight_reference()

        def randn(*shape: int) -> nn.Parameter:
            w = torch.randn(*shape, generator=generator, dtype=ref.dtype) * init_scale
            return nn.Parameter(w.to(ref.device))

        new = NewDendrites(processor_factory is not None)
        start = len(self.dendrite_module.layers)
        last = self.dendrites_to_top[-1] if start > 0 else None
        for j in range(start, start + k):
            new.layers.append(layer_factory())
            new.processors.append(processor_factory() if processor_factory is not None else None)
            top = randn(j + 1, n_neurons)
            if last is not None:
                with torch.no_grad():
                    top[:j] = last
            new.tops.append(last := top)
            if j >= 1:
                new.links.append(randn(j, n_neurons))
        return new

    def attach_dendrites(self, new: NewDendrites) -> None:
        """Append the dendrites :meth:`make_dendrites` made (nothing here can
        run the caller's code or draw random numbers), then
        :func:`freeze_unread`."""
        holder = self.dendrite_module
        ref = self._weight_reference()
        links = iter(new.links)
        for layer, proc, top in zip(new.layers, new.processors, new.tops, strict=True):
            j = len(holder.layers)
            holder.layers.append(layer)
            if new.processed:
                if holder.processors == []:
                    holder.processors = [None] * j
                holder.processors.append(proc)
            elif holder.processors != []:
                holder.processors.append(None)
            self.dendrites_to_top.append(top)
            if j == 1:
                holder.dendrites_to_dendrites.append(
                    nn.Parameter(torch.zeros(1, 1, 1, dtype=ref.dtype, device=ref.device)))
            if j >= 1:
                holder.dendrites_to_dendrites.append(next(links))
                values = holder.dendrite_values[0]
                holder.dendrite_values.append(
                    DendriteValues(values.this_output_dimensions, values.this_node_index))
            holder.num_cycles += 1
        freeze_unread(self)

    def _weight_reference(self) -> torch.Tensor:
        """A tensor whose dtype/device new weights should follow."""
        for p in self.main_module.parameters():
            return p
        return torch.empty(0)

    __getattr__ = forwarding_getattr(lambda modules: modules.get("main_module"), _OWN_NAMES)

    def forward(self, *args: Any, **kwargs: Any) -> Any:
        called = recorded_forward.recording
        if called is not None:
            called.add(id(self))
        activated = self.dendrite_module(*args, **kwargs)
        view = broadcast_shape(self.dendrite_module.dendrite_values[0])
        out = self.main_module(*args, **kwargs)
        if self.processor is not None:
            out = self.processor.post_n1(out)
        _require_width(out, view, self.num_neurons, self.main_module)
        if len(self.dendrites_to_top) > 0:
            _require_every_axis(out, view, self.main_module)
            out = add_earlier(out, activated, self.dendrites_to_top[-1], view)
        if self.processor is not None:
            out = self.processor.post_n2(out)
        return out

    def extra_repr(self) -> str:
        return f"num_neurons={self.num_neurons}, dendrites={self.num_dendrites}"


def freeze_unread(module: VSKNeuronModule) -> None:
    """Stop the weights of ``module`` that its training forward never reads
    from requiring grad.

    The forward reads only the last ``dendrites_to_top`` entry and never the
    placeholder ``dendrites_to_dendrites[0]``; left trainable, they get no
    gradient, which ``DistributedDataParallel`` refuses (unless told to walk
    the graph for them every step, ``find_unused_parameters=True``). They
    stay parameters under their keys, with their values, so checkpoints and
    the converters see the same state. Every other flag is left as it is.
    """
    for weight in list(module.dendrites_to_top)[:-1]:
        weight.requires_grad_(False)
    for weight in list(module.dendrite_module.dendrites_to_dendrites)[:1]:
        weight.requires_grad_(False)


def _require_every_axis(out: Any, view: list[int], main: nn.Module) -> None:
    # The weight rows are laid out for every axis of the layout; on an output
    # with fewer axes (an unbatched input) they would broadcast one in.
    if isinstance(out, torch.Tensor) and out.dim() < len(view):
        raise ValueError(
            f"the output of {type(main).__name__} has {out.dim()} axis/axes, but its layout "
            f"has {len(view)} (the first one the batch axis): give the input a batch axis, "
            "e.g. x.unsqueeze(0), and drop it from the output")


def _require_width(out: Any, view: list[int], neurons: int, main: nn.Module) -> None:
    # A wrong count would let the weight rows broadcast over the real axis.
    if isinstance(out, torch.Tensor) and out.dim() == len(view):
        axis = view.index(-1)  # the neuron axis
        if out.shape[axis] != neurons:
            raise ValueError(
                f"the output of {type(main).__name__} has {out.shape[axis]} neurons on its "
                f"neuron axis ({axis}), but its neuron module was made for {neurons}: give "
                "wrap_layers(..., layouts=...) the layer's real layout and neuron count")


def neuron_count(module: nn.Module) -> int:
    """Size of the neuron axis of a layer's output, for common layer types."""
    return layouts.neuron_count(module)


class Processor:
    """Adapts a layer's call and output; this base passes everything through.

    Dendrite side: ``pre_d`` maps the call arguments to ``(args, kwargs)``,
    ``post_d`` maps the dendrite output. Main side: ``post_n1`` maps the
    main output before the dendrites are added, ``post_n2`` after.
    """

    def pre_d(self, *args: Any, **kwargs: Any) -> tuple[tuple[Any, ...], dict[str, Any]]:
        return args, kwargs

    def post_d(self, out: Any) -> Any:
        return out

    def post_n1(self, out: Any) -> Any:
        return out

    def post_n2(self, value: Any) -> Any:
        return value


class RecurrentProcessor(Processor):
    """For recurrent layers returning ``(output, state)``, e.g. nn.LSTM.

    Dendrites run from a zero initial state and contribute only their output
    sequence. The main side keeps the main layer's final state between
    ``post_n1`` and ``post_n2``; because of that stored state, one network
    holding such a processor must not run forward calls concurrently.
    """

    # Name of the initial-state argument of nn.RNN / nn.GRU / nn.LSTM.
    state_argument = "hx"

    def __init__(self) -> None:
        self.kept_state: Any = None

    def pre_d(self, *args: Any, **kwargs: Any) -> tuple[tuple[Any, ...], dict[str, Any]]:
        kwargs = {k: v for k, v in kwargs.items() if k != self.state_argument}
        return tuple(args[:1]), kwargs

    def post_d(self, out: Any) -> Any:
        return out[0]

    def post_n1(self, out: Any) -> Any:
        self.kept_state = out[1]
        return out[0]

    def post_n2(self, value: Any) -> Any:
        # Hand the state over and drop it, so no tensor of a finished call
        # stays on the processor (and in copies or saves of the network).
        state, self.kept_state = self.kept_state, None
        return value, state
