"""The former home of ``prepare``, kept so that code naming it keeps working.

``veskari.inference`` owns :func:`~veskari.inference.prepare` and documents
what compiling and exporting a converted network fixes at trace time.
``compilable`` and ``CompilableVSKModule``, the oldest names of that
function and of :class:`~veskari.inference.InferenceLayer`, still work and
warn with a ``DeprecationWarning``.
"""
from __future__ import annotations

import warnings
from typing import Any, TypeVar

from torch import nn

# Re-exported under its former path.
from veskari.inference import InferenceLayer
from veskari.inference import prepare as prepare

__all__ = ["prepare"]

_M = TypeVar("_M", bound=nn.Module)


def _deprecated(old: str, new: str) -> None:
    warnings.warn(f"veskari.deploy.{old} is deprecated; use {new}", DeprecationWarning,
                  stacklevel=3)


def compilable(net: _M) -> _M:
    """Deprecated name of :func:`veskari.inference.prepare`."""
    _deprecated("compilable", "veskari.inference.prepare")
    return prepare(net)


def __getattr__(name: str) -> Any:
    if name == "CompilableVSKModule":
        _deprecated(name, "veskari.inference.InferenceLayer")
        return InferenceLayer
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
