"""Comparing two networks' outputs, whatever holds the tensors.

An output may be a tensor, a tuple, a dict, a ``ModelOutput``-like mapping,
a dataclass, anything registered with PyTorch's pytree utilities, or an
object such as a key/value cache that keeps its tensors in attributes or
slots. Every tensor is compared (a sparse one densified, a nested one part
by part), and so is every array (numpy's, or anything with ``__array__``);
of the other leaves, numbers, strings, bytes and ``None`` are compared, and
so are objects that define their own equality. An object whose contents can
be neither read nor compared raises :class:`Uncomparable`: passing it would
pass whatever tensors it hides.
"""
from __future__ import annotations

import dataclasses
import math
from collections.abc import Iterator
from typing import Any

import numpy
import torch
from torch import nn

from veskari._internal.torch_private import pytree
from veskari.errors import Mismatch, Uncomparable

__all__ = ["Mismatch", "Uncomparable", "largest_difference"]

_PLAIN = (bool, int, float, complex, str, bytes, type(None))
# Objects inside objects inside the output: deep enough for caches
# (cache -> layers -> layer -> tensors), shallow enough to stay off configs.
_MAX_OBJECT_DEPTH = 4


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
        try:
            difference, equal = _difference(a, b)
        except (RuntimeError, NotImplementedError, TypeError, ValueError) as err:
            raise Uncomparable(where, f"cannot be compared ({_first_line(err)})") from err
        if not equal:
            raise Mismatch(where, difference, "differs")
        largest = max(largest, difference)
    return largest


def _leaves(value: Any, where: str = "output", depth: int = 0) -> Iterator[tuple[str, Any]]:
    flat, _ = pytree.tree_flatten_with_path(value)
    for path, leaf in flat:
        here = where + pytree.keystr(path)
        if isinstance(leaf, torch.Tensor):
            yield from _tensor_leaves(here, leaf)
        elif isinstance(leaf, _PLAIN) or hasattr(type(leaf), "__array__"):
            yield here, leaf
        elif depth < _MAX_OBJECT_DEPTH and not isinstance(leaf, (nn.Module, type)):
            members = _members(leaf)
            if members is None:
                yield here, _Opaque(leaf)
            for name, item in members or ():
                yield from _leaves(item, f"{here}.{name}", depth + 1)


def _tensor_leaves(where: str, tensor: torch.Tensor) -> Iterator[tuple[str, Any]]:
    try:
        if tensor.is_nested:
            parts: list[tuple[str, torch.Tensor]] = [
                (f"{where}[{i}]", part) for i, part in enumerate(tensor.unbind())]
        elif tensor.layout != torch.strided:  # sparse: compared as the values it stands for
            parts = [(where, tensor.to_dense())]
        else:
            parts = [(where, tensor)]
    except (RuntimeError, NotImplementedError, TypeError) as err:
        raise Uncomparable(where, f"is a {tensor.layout} tensor that cannot be read "
                                  f"({_first_line(err)})") from err
    for here, part in parts:
        if part is tensor:
            yield here, part
        else:
            yield from _tensor_leaves(here, part)


def _first_line(err: BaseException, longest: int = 160) -> str:
    # PyTorch's dispatcher errors run to pages; their first line says what failed.
    line = (str(err).splitlines() or [""])[0]
    return f"{type(err).__name__}: " + (line[:longest] + " ..." if len(line) > longest else line)


class _Opaque:
    """An object with no readable members: equal only by its own ``==``."""

    def __init__(self, value: Any):
        self.value = value


def _members(obj: Any) -> list[tuple[str, Any]] | None:
    """Its fields, attributes and slots; None if it keeps none Python can read."""
    if dataclasses.is_dataclass(obj):
        return [(f.name, getattr(obj, f.name)) for f in dataclasses.fields(obj)]
    slots = [name for cls in type(obj).__mro__ for name in _slot_names(cls)
             if name not in ("__dict__", "__weakref__") and hasattr(obj, name)]
    if not hasattr(obj, "__dict__") and not slots:
        return None
    return list(getattr(obj, "__dict__", {}).items()) + [(n, getattr(obj, n)) for n in slots]


def _slot_names(cls: type) -> tuple[str, ...]:
    slots = cls.__dict__.get("__slots__", ())
    return (slots,) if isinstance(slots, str) else tuple(slots)


def _difference(want: Any, got: Any) -> tuple[float | int, bool]:
    if isinstance(want, _Opaque) and isinstance(got, _Opaque):
        return _opaque_difference(want.value, got.value)
    if isinstance(want, torch.Tensor) and isinstance(got, torch.Tensor):
        return _tensor_difference(want, got)
    if isinstance(want, torch.Tensor) or isinstance(got, torch.Tensor):
        return math.inf, False
    if not isinstance(want, _PLAIN) and hasattr(type(want), "__array__"):
        if type(want) is not type(got):
            return math.inf, False
        return _array_difference(numpy.asarray(want), numpy.asarray(got))
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


def _array_difference(want: numpy.ndarray, got: numpy.ndarray) -> tuple[float | int, bool]:
    if want.dtype != got.dtype or want.shape != got.shape:
        return math.inf, False
    if want.dtype.kind in "biufc":
        return _tensor_difference(torch.from_numpy(want.copy()), torch.from_numpy(got.copy()))
    if want.dtype.kind == "O":
        raise TypeError("an array of Python objects, whose elements may be anything")
    return (0, True) if numpy.array_equal(want, got) else (math.inf, False)


def _opaque_difference(want: Any, got: Any) -> tuple[float | int, bool]:
    if want is got:  # a singleton such as a dtype
        return 0, True
    if type(want) is not type(got):
        return math.inf, False
    if type(want).__eq__ is object.__eq__:
        raise TypeError(f"a {type(want).__name__} object, which keeps its contents where "
                        "Python cannot read them and has no equality of its own")
    equal = want == got
    if not isinstance(equal, bool):
        raise TypeError(f"a {type(want).__name__} object, whose == gives no True or False")
    return (0, True) if equal else (math.inf, False)
