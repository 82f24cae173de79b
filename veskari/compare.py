"""Comparing two networks' outputs, whatever holds the tensors.

An output may be a tensor, a tuple, a dict, a ``ModelOutput``-like mapping,
a dataclass, anything registered with PyTorch's pytree utilities, or an
object such as a key/value cache that keeps its tensors in attributes. Every
tensor is compared; of the other leaves only numbers, strings, bytes and
``None`` are, since comparing anything else (a cache object, a config)
means nothing beyond the tensors it holds.
"""
from __future__ import annotations

import dataclasses
import math
from collections.abc import Iterator
from typing import Any

import torch
import torch.utils._pytree as pytree
from torch import nn

__all__ = ["Mismatch", "largest_difference"]

_PLAIN = (bool, int, float, complex, str, bytes, type(None))
# Objects inside objects inside the output: deep enough for caches
# (cache -> layers -> layer -> tensors), shallow enough to stay off configs.
_MAX_OBJECT_DEPTH = 4


class Mismatch(Exception):
    """Outputs differ at ``where`` by ``difference``."""

    def __init__(self, where: str, difference: float | int, what: str):
        super().__init__(f"{where} {what}")
        self.where, self.difference = where, difference


def largest_difference(expected: Any, actual: Any) -> float | int:
    """The largest difference over every compared leaf; raises :class:`Mismatch`.

    Floating and complex tensors pass when ``torch.testing.assert_close``
    passes (NaN equals NaN in the same place, an infinity equals itself);
    integer and boolean tensors and numbers must be equal in their own type.
    The difference is the true one: 0 for equal infinities, the exact gap of
    integers (a Python int, never rounded through float64).
    """
    want, got = list(_leaves(expected)), list(_leaves(actual))
    if [where for where, _ in want] != [where for where, _ in got]:
        raise Mismatch("output", math.inf, "is structured differently")
    largest: float | int = 0
    for (where, a), (_, b) in zip(want, got, strict=True):
        difference, equal = _difference(a, b)
        if not equal:
            raise Mismatch(where, difference, "differs")
        largest = max(largest, difference)
    return largest


def _leaves(value: Any, where: str = "output", depth: int = 0) -> Iterator[tuple[str, Any]]:
    flat, _ = pytree.tree_flatten_with_path(value)
    for path, leaf in flat:
        here = where + pytree.keystr(path)
        if isinstance(leaf, (torch.Tensor, *_PLAIN)):
            yield here, leaf
        elif depth < _MAX_OBJECT_DEPTH and not isinstance(leaf, (nn.Module, type)):
            for name, item in _members(leaf):
                yield from _leaves(item, f"{here}.{name}", depth + 1)


def _members(obj: Any) -> list[tuple[str, Any]]:
    if dataclasses.is_dataclass(obj):
        return [(f.name, getattr(obj, f.name)) for f in dataclasses.fields(obj)]
    return list(getattr(obj, "__dict__", {}).items())


def _difference(want: Any, got: Any) -> tuple[float | int, bool]:
    if isinstance(want, torch.Tensor) and isinstance(got, torch.Tensor):
        return _tensor_difference(want, got)
    if isinstance(want, torch.Tensor) or isinstance(got, torch.Tensor):
        return math.inf, False
    if isinstance(want, (int, float, complex)) and isinstance(got, (int, float, complex)):
        if type(want) is not type(got):
            return math.inf, False
        if want == got or (want != want and got != got):  # NaN in both places
            return 0, True
        return abs(got - want) if not isinstance(want, bool) else 1, False
    return (0, True) if type(want) is type(got) and want == got else (math.inf, False)


def _tensor_difference(want: torch.Tensor, got: torch.Tensor) -> tuple[float | int, bool]:
    if want.shape != got.shape or want.dtype != got.dtype or want.device != got.device:
        return math.inf, False
    if want.numel() == 0:
        return 0, True
    if not (want.is_floating_point() or want.is_complex()):
        if torch.equal(want, got):
            return 0, True
        differs = want != got
        pairs = zip(want[differs].tolist(), got[differs].tolist(), strict=True)
        return max(abs(int(a) - int(b)) for a, b in pairs), False
    wide = torch.complex128 if want.is_complex() else torch.float64
    # Equal values (equal infinities among them) and NaN against NaN are no change.
    same = (want == got) | (want.isnan() & got.isnan())
    gap = torch.where(same, 0.0, (got.to(wide) - want.to(wide)).abs())
    largest = gap.nan_to_num(nan=math.inf, posinf=math.inf).max().item()
    try:
        torch.testing.assert_close(got, want, equal_nan=True)
    except AssertionError:
        return largest, False
    return largest, True
