"""The inference layer: what ``veskari.convert`` turns every converted layer into.

:class:`InferenceLayer` is a subclass of the native converters'
``VSKModulePyThread`` with the same state, parameters, buffers and
``state_dict()`` keys (checkpoints load both ways); :func:`prepare` makes
the layers of a network converted by hand with the two native converters
InferenceLayers, in place. Over the native layer it adds:

* **eager speed**: in sequential mode it computes bitwise what the native
  forward computes (the same calls, in the same order) and merges through
  skip-weight rows viewed once. Where it cannot prove those rows are what
  the native forward would read at that moment (a weight swapped, moved,
  freed or resized, trainable skip weights under autograd, forward-mode
  AD or a ``torch.func`` transform, a torch function or dispatch mode, a
  class overriding a branch step, threaded mode, the older tracers) it
  takes the native forward's own reads. The proof is taken before each
  merge and again after each activation written in Python, not around
  other code the merge may run (a finalizer, another thread): such code
  changing a weight mid-call is not seen, and the call answers for the
  weights as they stood when its merge began. How the proof works is
  written beside the native code (``src/prepared``);
* **tracing**: under a PyTorch 2 tracer (``torch.compile``, ``torch.export``,
  the dynamo ONNX exporter, AOTInductor) it runs the same computation
  written in Python, which the tracer can follow; the native forward alone
  breaks ``torch.compile``'s graph at every layer and fails the exporters;
* **its main layer's attributes**: a parent that reads ``layer.weight``,
  ``layer.stride`` or ``layer.weight.dtype`` of a child it then calls keeps
  working after conversion, as it does on the trained network.

Trace-time constants: a compiled or exported graph fixes, when it is traced,

* the dendrite nonlinearity (``GVS.pc.get_vsk_forward_function()``).
  ``torch.compile`` guards on it, so a later ``set_vsk_forward_function``
  recompiles; an exported program, ONNX file or AOTInductor package keeps
  the one it was traced with, so export again after changing it;
* the view shape of the skip-weight rows, read from each layer's
  ``view_tuple`` buffer by :func:`prepare` (a tracer sees buffers as
  symbolic tensors, so it cannot read their values). It depends only on
  the layer's output layout; if you write a different ``view_tuple`` into
  a layer, call :func:`prepare` again before compiling or exporting;
* the branch structure (number of branches, processors, presence of skip
  weights), as for any module attribute.

The threading flag ``clean_veskari.doing_threading`` is not read while
tracing: the traced graph holds all branches and the compiler schedules
them, which gives the result of both eager modes.
"""
from __future__ import annotations

import warnings
from typing import Any, TypeVar

import torch
from torch import nn

from veskari import _prepared, clean_veskari
from veskari import globals_veskari as GVS
from veskari._internal.attribute_forwarding import forwarding_getattr
from veskari.errors import ConversionWarning
from veskari.modules_veskari import add_earlier

__all__ = ["InferenceLayer", "prepare"]

_M = TypeVar("_M", bound=nn.Module)

_run = _prepared.run
_release = _prepared.release
_is_compiling = torch.compiler.is_compiling
# Assigning one of these on the layer releases its rows at once (they would
# otherwise go at the next call, which would find them stale).
_PLAN_INPUTS = frozenset({"layer_array", "processor_array", "skip_weights", "view_tuple"})
# What a converted layer holds itself (the native converters' names); never
# read from its main layer.
_OWN_NAMES = ("layer_array", "processor_array", "skip_weights", "node_index", "num_cycles",
              "view_tuple", "internal_nonlinearity")


def _main_layer(modules: dict[str, Any]) -> nn.Module | None:
    layers = modules.get("layer_array")
    return layers[-1] if layers else None


class InferenceLayer(clean_veskari.VSKModulePyThread):
    """A converted layer in the form ``veskari.convert`` returns; see the module."""

    # Set per layer by _switch(): the view shape a tracer cannot read from the buffer.
    _vsk_view_shape: tuple[int, ...] | None = None

    def forward(self, *args: Any, **kwargs: Any) -> Any:
        if _is_compiling():
            return _traced_forward(self, args, kwargs)
        # The eager forward; it takes the native one itself for threads (a
        # flag that is not exactly False) and for the older tracers, which
        # would keep the rows as constants.
        return _run(self, args, kwargs)

    __getattr__ = forwarding_getattr(_main_layer, _OWN_NAMES)

    def __setattr__(self, name: str, value: Any) -> None:
        if name in _PLAN_INPUTS:
            _release(self)
        super().__setattr__(name, value)

    def _apply(self, fn: Any, recurse: bool = True) -> Any:
        # .to(), .half(), .cuda(), .float() ... swap the weights' storage.
        _release(self)
        return super()._apply(fn, recurse)

    def _load_from_state_dict(self, *args: Any, **kwargs: Any) -> None:
        # load_state_dict(assign=True) replaces the parameters themselves.
        _release(self)
        super()._load_from_state_dict(*args, **kwargs)

    def __getstate__(self) -> dict[str, Any]:
        _release(self)  # the rows are made again on first use, never saved or copied
        return dict(super().__getstate__())


def _traced_forward(self: InferenceLayer, args: tuple[Any, ...], kwargs: dict[str, Any]) -> Any:
    # The native sequential forward, step for step: the same branch calls,
    # processor calls and merge order, so a traced graph computes exactly
    # what eager mode does.
    layers = self.layer_array
    processors = self.processor_array
    n = len(layers)
    outs: list[Any] = [None] * n
    own = _overridden_branch_methods(type(self))
    for c in range(n - 1):
        if "process_and_forward" in own:  # the subclass's own step, as eager mode calls it
            self.process_and_forward(c, outs, *args, **kwargs)
            continue
        branch_args, branch_kwargs = args, dict(kwargs)
        if processors[c] != None:  # noqa: E711 -- a rich comparison, as the native forward makes it
            branch_args, branch_kwargs = processors[c].pre(*branch_args, **branch_kwargs)
        out = layers[c](*branch_args, **branch_kwargs)
        if processors[c] != None:  # noqa: E711
            out = processors[c].post(out)
        outs[c] = out
    if "process_and_pre" in own:
        self.process_and_pre(outs, *args, **kwargs)
    else:
        # The main branch bypasses its module's hooks, as the native forward does.
        out = layers[-1].forward(*args, **kwargs)
        if processors[-1] is not None:
            out = processors[-1].pre(out)
        outs[-1] = out

    if n > 1 and hasattr(self, "skip_weights"):
        shape = self._vsk_view_shape
        if shape is None:
            raise RuntimeError(
                "a converted layer was traced without its view shape; "
                "call veskari.inference.prepare(net) before compiling or exporting")
        for out_index in range(n):
            weights = self.skip_weights[out_index - 1] if out_index else None
            current_out = add_earlier(outs[out_index], outs[:out_index], weights, shape)
            if out_index < n - 1:
                current_out = GVS.pc.get_vsk_forward_function()(current_out)
            outs[out_index] = current_out
    else:
        current_out = outs[-1]
    if processors[-1] is not None:
        current_out = processors[-1].post(current_out)
    return current_out


def _overridden_branch_methods(cls: type) -> set[str]:
    return {name for name in ("process_and_forward", "process_and_pre")
            if getattr(cls, name) is not getattr(clean_veskari.VSKModulePyThread, name)}


def _switch(net: nn.Module, refuse_subclasses: bool = False
            ) -> list[clean_veskari.VSKModulePyThread]:
    """Make every converted layer of ``net`` an :class:`InferenceLayer`, in place.

    Returns the list of layers of a user's own ``VSKModulePyThread``
    subclass, which keep their class (their ``forward`` is theirs); with
    ``refuse_subclasses`` such a layer raises ``TypeError`` instead, before
    anything is switched.
    """
    layers = [m for m in net.modules() if isinstance(m, clean_veskari.VSKModulePyThread)]
    own = [m for m in layers if not isinstance(m, InferenceLayer)
           and type(m) is not clean_veskari.VSKModulePyThread]
    if own and refuse_subclasses:
        raise TypeError(
            f"{type(own[0]).__name__} is a subclass of VSKModulePyThread with a forward of "
            "its own; it cannot be made an InferenceLayer. Derive it from "
            "veskari.inference.InferenceLayer instead, or convert with the plain "
            "clean_veskari.ModuleType")
    for layer in layers:
        if layer in own:
            continue
        # Read once here: under a tracer the buffer's values are unknown.
        layer.__dict__["_vsk_view_shape"] = tuple(int(v) for v in layer.view_tuple.tolist())
        _release(layer)
        if type(layer) is clean_veskari.VSKModulePyThread:
            layer.__class__ = InferenceLayer
    return own


def prepare(net: _M) -> _M:
    """Make every converted layer of ``net`` an :class:`InferenceLayer`, in place.

    ``net`` is the result of ``clean_veskari.refresh_net`` (a whole network
    or a single converted layer). Each ``VSKModulePyThread`` in it becomes an
    :class:`InferenceLayer`: the same object, with the same parameters,
    buffers, sub-modules and ``state_dict()`` keys, so checkpoints load both
    ways and anything holding the network or its parameters sees the
    change. ``veskari.convert`` returns networks already prepared.

    A layer of a user's own ``VSKModulePyThread`` subclass cannot be
    switched and raises ``TypeError``; a network without converted layers
    gives a ``veskari.ConversionWarning``. Calling it again is harmless and
    re-reads every layer's view shape. Returns ``net``.
    """
    _switch(net, refuse_subclasses=True)
    if not any(isinstance(m, InferenceLayer) for m in net.modules()):
        warnings.warn("veskari.inference.prepare found no converted layer: convert the network "
                      "first (veskari.convert)", ConversionWarning, stacklevel=2)
    return net


def __getattr__(name: str) -> Any:
    if name == "switch":
        warnings.warn("veskari.inference.switch is deprecated (it goes in 0.4.0); use "
                      "veskari.inference.prepare", DeprecationWarning, stacklevel=2)
        return _switch
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
