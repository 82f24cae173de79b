"""Deploying converted networks through PyTorch's compilers and exporters.

A converted layer (``VSKModulePyThread``) runs a native ``forward``. Eager
PyTorch, threads, ``torch.jit.trace``, ``torch.fx`` and the TorchScript-based
ONNX exporter take it as it is, but the PyTorch 2 tracers (``torch.compile``,
``torch.export``, the ``dynamo=True`` ONNX exporter, AOTInductor) cannot look
inside a native function: ``torch.compile`` breaks the graph at every
converted layer and runs it uncompiled, and ``fullgraph=True`` and the
exporters fail.

:func:`prepare` makes a converted network traceable (and faster in eager
mode). It switches the class of every converted layer, in place, to
:class:`veskari.inference.InferenceLayer`, whose ``forward``, only while a
PyTorch 2 tracer is running, is the same computation written in Python,
which the tracer can follow. ``veskari.convert`` returns networks already
prepared. :func:`compilable` and ``CompilableVSKModule`` are the older names
of the same function and class.

Trace-time constants: a compiled or exported graph fixes, when it is traced,

* the dendrite nonlinearity (``GVS.pc.get_vsk_forward_function()``).
  ``torch.compile`` guards on it, so a later ``set_vsk_forward_function``
  recompiles; an exported program, ONNX file or AOTInductor package keeps
  the one it was traced with, so export again after changing it;
* the view shape of the skip-weight rows, read from each layer's
  ``view_tuple`` buffer when :func:`prepare` runs (a tracer sees buffers
  as symbolic tensors, so it cannot read their values). It depends only on
  the layer's output layout and never changes in normal use; if you write
  a different ``view_tuple`` into a layer, call :func:`prepare` again
  before compiling or exporting;
* the branch structure (number of branches, processors, presence of skip
  weights), as for any module attribute.

The threading flag ``clean_veskari.doing_threading`` is not read while
tracing: the traced graph holds all branches and the compiler schedules
them, which gives the result of both eager modes.
"""
import warnings

from veskari.inference import InferenceLayer, switch

__all__ = ["CompilableVSKModule", "compilable", "prepare"]

# The name this class had before it became the one inference layer; kept so
# that code and whole-module pickles that name it keep working.
CompilableVSKModule = InferenceLayer


def prepare(net):
    """Make every converted layer of ``net`` an ``InferenceLayer``, in place.

    ``net`` is the result of ``clean_veskari.refresh_net`` (a whole network
    or a single converted layer). Each ``VSKModulePyThread`` in it becomes an
    :class:`~veskari.inference.InferenceLayer`: the same object, with the
    same parameters, buffers, sub-modules and ``state_dict()`` keys, so
    checkpoints load both ways and anything holding the network or its
    parameters sees the change. ``torch.compile``, ``torch.export``,
    ``torch.onnx.export(..., dynamo=True)`` and AOTInductor trace the Python
    twin described in the module documentation, which fixes the
    nonlinearity and the view shape at trace time.

    A layer of a user's own ``VSKModulePyThread`` subclass cannot be
    switched and raises ``TypeError``; a network without converted layers
    gives a ``veskari.ConversionWarning``. Calling it again is harmless and
    re-reads every layer's view shape. Returns ``net``.
    """
    from veskari.conversion import ConversionWarning

    switch(net, refuse_subclasses=True)
    if not any(isinstance(m, InferenceLayer) for m in net.modules()):
        warnings.warn("veskari.deploy.prepare found no converted layer: convert the network "
                      "first (veskari.convert)", ConversionWarning, stacklevel=2)
    return net


compilable = prepare
