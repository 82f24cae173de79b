"""Wrappers that answer their main layer's attribute reads.

A parent that reads its child's ``weight``, ``stride`` or ``weight.dtype``
and then calls the child keeps working once the child is wrapped (trained)
or converted. Each wrapper says where its main layer is and which names are
its own, never forwarded: so copying, pickling, the converters and
``hasattr`` tests of the converters see the wrapper exactly as it is.
"""
from __future__ import annotations

from collections.abc import Callable, Iterable
from typing import Any

from torch import nn

from veskari._internal.torch_private import child_table

MainOf = Callable[[dict[str, Any]], "nn.Module | None"]


def forwarding_getattr(main_of: MainOf, own_names: Iterable[str]
                       ) -> Callable[[nn.Module, str], Any]:
    """A ``__getattr__``: Module's own names, then the main layer's.

    ``main_of(children)`` picks the main layer from the wrapper's child
    table. Private names and ``own_names`` are never forwarded.
    """
    own = frozenset(own_names)

    def __getattr__(self: nn.Module, name: str) -> Any:
        try:
            return nn.Module.__getattr__(self, name)
        except AttributeError:
            pass
        main = main_of(child_table(self))
        if name.startswith("_") or name in own or main is None:
            raise AttributeError(f"'{type(self).__name__}' object has no attribute '{name}'")
        try:
            return getattr(main, name)
        except AttributeError:
            raise AttributeError(
                f"'{type(self).__name__}' object has no attribute '{name}', "
                f"nor has its main layer ({type(main).__name__})") from None

    # It answers what Module.__getattr__ answers before anything else, so the
    # native modules may still read those names from the tables directly.
    # Read by C++ (src/core/shortcuts.hpp), under this name, from the
    # function's own dict.
    __getattr__.__vsk_module_getattr_first__ = True  # type: ignore[attr-defined]
    return __getattr__
