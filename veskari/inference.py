"""The inference layer: what ``veskari.convert`` turns every converted layer into.

The native converters leave ``VSKModulePyThread`` layers, whose forward
re-slices, re-views and re-moves every skip-weight row on every call.
:class:`InferenceLayer` is a subclass with the same state, parameters,
buffers and ``state_dict()`` keys, so a class switch in place (:func:`switch`)
is all it takes, and checkpoints load both ways. It adds three things:

* **eager speed**: in sequential mode it runs the native forward's steps
  directly (the same branch calls, processor calls, settings calls,
  operations and order, so outputs are bitwise equal) and merges through
  skip-weight rows viewed once. Before every merge the rows are proved to
  view what the native forward would slice now: each weight's storage,
  offset, sizes, strides and dtype, the view shape by value, and no
  autograd graph to record through them (grad enabled with a trainable skip
  weight), no torch function or dispatch mode, no tensor subclass among
  the branch outputs. Where the proof fails the rows are read afresh, as
  the native forward reads them; a class that overrides a branch method,
  threaded mode and the older tracers run the native forward itself. The
  rows hold their weights' storage, not the weights: a replaced weight or
  branch module is freed at once, its old storage at the layer's next call;
* * **tracing**: under a PyTorch 2 tracer (``torch.compile``, ``torch.export``,
  the dynamo ONNX exporter, AOTInductor) it runs the same computation
  written in Python, which the tracer can follow (see :mod:`veskari.deploy`);
* **its main layer's attributes**: a parent that reads ``layer.weight``,
  ``layer.stride`` or ``layer.weight.dtype`` of a child it then calls keeps
  working after conversion, as it does on the trained network.
"""
import torch

from veskari import _prepared, clean_veskari
from veskari import globals_veskari as GVS
from veskari.modules_veskari import forwarding_getattr

__all__ = ["InferenceLayer", "switch"]

_run = _prepared.run
_is_compiling = torch.compiler.is_compiling
# Assigning one of these on the layer releases its rows at once (they would
# otherwise go at the next call, which would find them stale).
_PLAN_INPUTS = frozenset({"layer_array", "processor_array", "skip_weights", "view_tuple"})


def _main_layer(modules):
    layers = modules.get("layer_array")
    return layers[-1] if layers else None


class InferenceLayer(clean_veskari.VSKModulePyThread):
    """A converted layer in the form ``veskari.convert`` returns; see the module."""

    # Set per layer by switch(): the view shape a tracer cannot read from the buffer.
    _vsk_view_shape = None

    def forward(self, *args, **kwargs):
        if _is_compiling():
            return _traced_forward(self, args, kwargs)
        # The eager forward; it takes the native one itself for threads (a
        # flag that is not exactly False) and for the older tracers, which
        # would keep the rows as constants.
        return _run(self, args, kwargs)

    __getattr__ = forwarding_getattr(_main_layer)

    def __setattr__(self, name, value):
        if name in _PLAN_INPUTS:
            self.__dict__.pop("_vsk_plan", None)
        super().__setattr__(name, value)

    def _apply(self, fn, recurse=True):
        # .to(), .half(), .cuda(), .float() ... swap the weights' storage.
        self.__dict__.pop("_vsk_plan", None)
        return super()._apply(fn, recurse)

    def _load_from_state_dict(self, *args, **kwargs):
        # load_state_dict(assign=True) replaces the parameters themselves.
        self.__dict__.pop("_vsk_plan", None)
        super()._load_from_state_dict(*args, **kwargs)

    def __getstate__(self):
        state = dict(super().__getstate__())
        state.pop("_vsk_plan", None)  # views are made again on first use, never saved
        return state


def _traced_forward(self, args, kwargs):
    # The native sequential forward, step for step: the same branch calls,
    # processor calls and merge order, so a traced graph computes exactly
    # what eager mode does.
    layers = self.layer_array
    processors = self.processor_array
    n = len(layers)
    outs = [None] * n
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
                "call veskari.deploy.prepare(net) before compiling or exporting")
        for out_index in range(n):
            current_out = outs[out_index]
            for in_index in range(out_index):
                row = self.skip_weights[out_index - 1][in_index, :].view(shape)
                current_out = current_out + row.to(current_out.device) * outs[in_index]
            if out_index < n - 1:
                current_out = GVS.pc.get_vsk_forward_function()(current_out)
            outs[out_index] = current_out
    else:
        current_out = outs[-1]
    if processors[-1] is not None:
        current_out = processors[-1].post(current_out)
    return current_out


def _overridden_branch_methods(cls):
    return {name for name in ("process_and_forward", "process_and_pre")
            if getattr(cls, name) is not getattr(clean_veskari.VSKModulePyThread, name)}


def switch(net, refuse_subclasses=False):
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
        layer._vsk_view_shape = tuple(int(v) for v in layer.view_tuple.tolist())
        layer.__dict__.pop("_vsk_plan", None)
        if type(layer) is clean_veskari.VSKModulePyThread:
            layer.__class__ = InferenceLayer
    return own
