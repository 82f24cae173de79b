"""A dendrite's fresh start: re-initialising the copy of its main layer.

A dendrite that starts as an exact copy of the trained main layer adds that
layer's output a second time instead of learning something of its own, so
every parameterised part of the copy is re-initialised: by the caller's
initialiser for its type, by its own ``reset_parameters``, or, for a Linear
stored transposed, by nn.Linear's rule. The types none of these covers are
named, so that the caller can be warned.
"""
from __future__ import annotations

from collections.abc import Callable, Mapping

from torch import nn

from veskari._internal.torch_private import parameter_table
from veskari.layouts import is_transposed_linear, reset_transposed_linear

Rule = Callable[[nn.Module], object]
Initialisers = Mapping[type, Rule]


def _reset(part: nn.Module) -> object:
    return part.reset_parameters()  # type: ignore[operator]


def rule_for(part: nn.Module, initialisers: Initialisers | None = None) -> Rule | None:
    """How to re-initialise ``part``; None if nothing is known and it holds
    parameters of its own (parts without any need no rule: a no-op)."""
    given = (initialisers or {}).get(type(part))
    if given is not None:
        return given
    if callable(getattr(part, "reset_parameters", None)):
        return _reset
    if is_transposed_linear(part):
        return reset_transposed_linear
    if any(p is not None for p in parameter_table(part).values()):
        return None
    return lambda _: None


def reinitialise(layer: nn.Module, initialisers: Initialisers | None = None) -> None:
    """Re-initialise, in place, every part of ``layer`` that a rule covers."""
    for part in layer.modules():
        rule = rule_for(part, initialisers)
        if rule is not None:
            rule(part)


def uncovered_types(layer: nn.Module, initialisers: Initialisers | None = None) -> list[str]:
    """Names of the types in ``layer`` whose parameters no rule re-initialises."""
    return list(dict.fromkeys(type(part).__name__ for part in layer.modules()
                              if rule_for(part, initialisers) is None))
