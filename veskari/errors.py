"""The package's warning and error types.

They sit at the bottom of the import order, so that any module may raise or
warn with them without importing the machinery that usually does.
"""
from __future__ import annotations

from collections.abc import Iterable
from typing import Any

__all__ = [
    "ConversionMismatchError", "ConversionWarning", "CopiedDendritesWarning",
    "LayerLeftUnwrappedWarning", "Mismatch", "NothingDoneWarning", "Uncomparable",
]


class ConversionWarning(UserWarning):
    """Nothing was converted, or a layer was left half converted."""


class ConversionMismatchError(RuntimeError):
    """The converted network's output differs from the trained network's.

    Raised before the caller's network is touched; ``report`` (a
    ``veskari.ConversionReport``) says what the conversion would have done.
    """

    def __init__(self, message: str, max_difference: float | int, where: str,
                 report: Any = None):
        super().__init__(message)
        self.max_difference = max_difference
        self.where = where
        self.report = report


class LayerLeftUnwrappedWarning(UserWarning):
    """A layer of a wrapped type was left as it is: its dendrites would not
    count, or its weights are tied to another module's. ``layers`` holds
    every such ``(path, why)``; the message names the first few."""

    def __init__(self, message: str, layers: Iterable[tuple[str, str]] = ()):
        super().__init__(message)
        self.layers = list(layers)


class NothingDoneWarning(UserWarning):
    """A helper was given a network holding nothing it acts on."""


class CopiedDendritesWarning(UserWarning):
    """Dendrites start as copies of their trained main layer: its type has no
    known way to re-initialise."""


class Mismatch(Exception):
    """Outputs differ at ``where`` by ``difference``."""

    def __init__(self, where: str, difference: float | int, what: str):
        super().__init__(f"{where} {what}")
        self.where, self.difference = where, difference


class Uncomparable(TypeError):
    """The output at ``where`` holds something the comparison cannot check."""

    def __init__(self, where: str, what: str):
        super().__init__(f"{where} {what}")
        self.where = where
