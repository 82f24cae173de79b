"""The inference layer: what ``veskari.convert`` turns every converted layer into.

The native converters leave ``VSKModulePyThread`` layers, whose forward
re-slices, re-views and re-moves every skip-weight row on every call.
:class:`InferenceLayer` is a subclass with the same state, parameters,
buffers and ``state_dict()`` keys, so a class switch in place (:func:`switch`)
is all it takes, and checkpoints load both ways. It adds three things:

* **eager speed**: in sequential mode, with no autograd graph to build, it
  merges through rows viewed once (the same branch calls, processor calls,
  settings calls, operations and order as the native forward, so outputs
  are bitwise equal). The rows are views, so in-place updates of the
  weights (optimizer steps, ``load_state_dict``) show through them; they are
  rebuilt when a weight, the view shape or the device changes (``.to()``,
  ``.half()``, a replaced parameter, ``load_state_dict(assign=True)``, a
  written ``view_tuple``). Threaded mode, autograd and anything unusual run
  the native forward unchanged;
* **tracing**: under a PyTorch 2 tracer (``torch.compile``, ``torch.export``,
  the dynamo ONNX exporter, AOTInductor) it runs the same computation
  written in Python, which the tracer can follow (see :mod:`veskari.deploy`);
* **its main layer's attributes**: a parent that reads ``layer.weight``,
  ``layer.stride`` or ``layer.weight.dtype`` of a child it then calls keeps
  working after conversion, as it does on the trained network.
"""
import operator

import torch

from veskari import clean_veskari
from veskari import globals_veskari as GVS
from veskari.modules_veskari import main_layer_attribute

__all__ = ["InferenceLayer", "switch"]

_native_forward = clean_veskari.VSKModulePyThread.forward
# Assigning one of these on the layer makes its prepared rows stale.
_PLAN_INPUTS = frozenset({"layer_array", "processor_array", "skip_weights", "view_tuple"})


class InferenceLayer(clean_veskari.VSKModulePyThread):
    """A converted layer in the form ``veskari.convert`` returns; see the module."""

    # Set per layer by switch(): the view shape a tracer cannot read from the buffer.
    _vsk_view_shape = None

    def forward(self, *args, **kwargs):
        if torch.compiler.is_compiling():
            return _traced_forward(self, args, kwargs)
        plan = self.__dict__.get("_vsk_plan")
        if plan is not None and (plan is False or plan.current(self)):
            pass
        else:
            plan = _Plan.build(self)
        # A flag that is not exactly False (threads, or a value whose truth
        # test the native forward makes once per branch) and autograd take
        # the native forward.
        if (plan is False or clean_veskari.doing_threading is not False
                or (torch.is_grad_enabled() and plan.needs_grad())):
            return _native_forward(self, *args, **kwargs)
        return plan.forward(self, args, kwargs)

    def __getattr__(self, name):
        try:
            return super().__getattr__(name)
        except AttributeError:
            pass
        layers = self.__dict__.get("_modules", {}).get("layer_array")
        return main_layer_attribute(self, name, layers[-1] if layers else None)

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
        state = super().__getstate__()
        state = dict(state)
        state.pop("_vsk_plan", None)  # views are rebuilt on first use, not saved
        return state


class _Plan:
    """Skip-weight rows viewed once, and what they were made from."""

    __slots__ = ("layers", "processors", "weights", "params", "pointers", "view",
                 "view_version", "device", "rows")

    @classmethod
    def build(cls, layer):
        """The plan of ``layer`` (kept on it); False where only the native
        forward fits, until one of the layer's inputs is assigned again."""
        layers = layer._modules.get("layer_array")
        processors = layer.__dict__.get("processor_array")
        weights = layer._modules.get("skip_weights")
        view = layer._buffers.get("view_tuple")
        if (type(layers) is not torch.nn.Sequential or type(processors) is not list
                or not isinstance(view, torch.Tensor)
                or len(processors) != len(layers) or not len(layers)
                or not (weights is None or type(weights) is torch.nn.ParameterList)):
            layer.__dict__["_vsk_plan"] = False
            return False
        plan = cls()
        plan.layers, plan.processors, plan.weights, plan.view = layers, processors, weights, view
        plan.params = tuple(weights._parameters.values()) if weights is not None else ()
        plan.pointers = tuple(p.data_ptr() for p in plan.params)
        plan.view_version = view._version
        n = len(layers)
        plan.rows, plan.device = None, None
        if n > 1 and weights is not None:
            if len(plan.params) < n - 1 or len({p.device for p in plan.params}) > 1:
                layer.__dict__["_vsk_plan"] = False
                return False
            shape = view.tolist()
            with torch.no_grad():
                plan.rows = [[p[i, :].view(shape) for i in range(k + 1)]
                             for k, p in enumerate(plan.params[:n - 1])]
            plan.device = plan.params[0].device
        layer.__dict__["_vsk_plan"] = plan
        return plan

    def current(self, layer):
        """Whether nothing the rows were made from changed since."""
        weights = self.weights
        if not (layer._modules.get("layer_array") is self.layers
                and layer.__dict__.get("processor_array") is self.processors
                and layer._modules.get("skip_weights") is weights
                and layer._buffers.get("view_tuple") is self.view
                and self.view._version == self.view_version):
            return False
        if weights is None:
            return True
        # A replaced entry, or storage swapped under the same parameter.
        entries = weights._parameters.values()
        return (len(entries) == len(self.params)
                and all(map(operator.is_, entries, self.params))
                and list(map(torch.Tensor.data_ptr, self.params)) == list(self.pointers))

    def needs_grad(self):
        return any(p.requires_grad for p in self.params)

    def forward(self, layer, args, kwargs):
        # The native sequential forward, call for call, with every
        # `skip_weights[k][i, :].view(V).to(device)` replaced by its row.
        outs = [None] * len(self.layers)
        for c in range(len(outs) - 1):
            layer.process_and_forward(c, outs, *args, **kwargs)
        layer.process_and_pre(outs, *args, **kwargs)
        rows = self.rows
        if rows is None:
            current_out = outs[-1]
        else:
            last = len(outs) - 1
            for out_index, current_out in enumerate(outs):
                if out_index:
                    device = current_out.device
                    moved = device != self.device  # rows stay where the weights are
                    for row, earlier in zip(rows[out_index - 1], outs, strict=False):
                        current_out = current_out + (row.to(device) if moved else row) * earlier
                if out_index < last:
                    current_out = GVS.pc.get_vsk_forward_function()(current_out)
                outs[out_index] = current_out
        main = self.processors[-1]
        if main is not None:
            current_out = main.post(current_out)
        return current_out


def _traced_forward(self, args, kwargs):
    # The native sequential forward, step for step: the same branch calls,
    # processor calls and merge order, so a traced graph computes exactly
    # what eager mode does.
    layers = self.layer_array
    processors = self.processor_array
    n = len(layers)
    outs = []
    for c in range(n - 1):
        branch_args, branch_kwargs = args, dict(kwargs)
        if processors[c] != None:  # noqa: E711 -- a rich comparison, as the native forward makes it
            branch_args, branch_kwargs = processors[c].pre(*branch_args, **branch_kwargs)
        out = layers[c](*branch_args, **branch_kwargs)
        if processors[c] != None:  # noqa: E711
            out = processors[c].post(out)
        outs.append(out)
    # The main branch bypasses its module's hooks, as the native forward does.
    out = layers[-1].forward(*args, **kwargs)
    if processors[-1] is not None:
        out = processors[-1].pre(out)
    outs.append(out)

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
