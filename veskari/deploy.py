"""Deploying converted networks through PyTorch's compilers and exporters.

A converted layer (``VSKModulePyThread``) runs a native ``forward``. Eager
PyTorch, threads, ``torch.jit.trace``, ``torch.fx`` and the TorchScript-based
ONNX exporter take it as it is, but the PyTorch 2 tracers (``torch.compile``,
``torch.export``, the ``dynamo=True`` ONNX exporter, AOTInductor) cannot look
inside a native function: ``torch.compile`` breaks the graph at every
converted layer and runs it uncompiled, and ``fullgraph=True`` and the
exporters fail.

:func:`compilable` makes a converted network traceable. It switches the
class of every converted layer, in place, to :class:`CompilableVSKModule`, a
subclass whose ``forward`` runs the native forward unchanged in eager mode
and, only while a PyTorch 2 tracer is running, the same computation written
in Python, which the tracer can follow.

Trace-time constants: a compiled or exported graph fixes, when it is traced,

* the dendrite nonlinearity (``GVS.pc.get_vsk_forward_function()``).
  ``torch.compile`` guards on it, so a later ``set_vsk_forward_function``
  recompiles; an exported program, ONNX file or AOTInductor package keeps
  the one it was traced with, so export again after changing it;
* the view shape of the skip-weight rows, read from each layer's
  ``view_tuple`` buffer when :func:`compilable` runs (a tracer sees buffers
  as symbolic tensors, so it cannot read their values). It depends only on
  the layer's output layout and never changes in normal use; if you write
  a different ``view_tuple`` into a layer, call :func:`compilable` again
  before compiling or exporting;
* the branch structure (number of branches, processors, presence of skip
  weights), as for any module attribute.

The threading flag ``clean_veskari.doing_threading`` is not read while
tracing: the traced graph holds all branches and the compiler schedules
them, which gives the result of both eager modes.
"""
import torch

from veskari import clean_veskari
from veskari import globals_veskari as GVS

__all__ = ["CompilableVSKModule", "compilable"]

_native_forward = clean_veskari.VSKModulePyThread.forward


class CompilableVSKModule(clean_veskari.VSKModulePyThread):
    """A converted layer that PyTorch 2 tracers can follow.

    Same state, parameters, buffers and ``state_dict()`` keys as the
    ``VSKModulePyThread`` it was; made by :func:`compilable`, which also
    records the view shape the traced forward needs.
    """

    # Set per layer by compilable(); None on a layer it has not seen.
    _vsk_view_shape = None

    def forward(self, *args, **kwargs):
        if torch.compiler.is_compiling():
            return _traced_forward(self, args, kwargs)
        return _native_forward(self, *args, **kwargs)


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
                "call veskari.deploy.compilable(net) before compiling or exporting")
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


def _layers(net):
    return [m for m in net.modules() if isinstance(m, clean_veskari.VSKModulePyThread)]


def compilable(net):
    """Make a converted network compilable and exportable, in place.

    ``net`` is the result of ``clean_veskari.refresh_net`` (a whole network
    or a single converted layer). Every ``VSKModulePyThread`` in it becomes
    a :class:`CompilableVSKModule`: the same object, with the same
    parameters, buffers, sub-modules and ``state_dict()`` keys, so
    checkpoints load both ways and anything holding the network or its
    parameters sees the change. Eager calls keep running the native
    forward, threaded mode included; ``torch.compile``, ``torch.export``,
    ``torch.onnx.export(..., dynamo=True)`` and AOTInductor trace the Python
    twin described in the module documentation, which fixes the
    nonlinearity and the view shape at trace time.

    Calling it again is harmless and re-reads every layer's view shape.
    Returns ``net``.
    """
    for layer in _layers(net):
        # Read once here: under a tracer the buffer's values are unknown.
        layer._vsk_view_shape = tuple(int(v) for v in layer.view_tuple.tolist())
        if type(layer) is clean_veskari.VSKModulePyThread:
            layer.__class__ = CompilableVSKModule
    return net
