"""How the native walks name and reach a network's members, stated once in Python.

``veskari.stranded`` completes what the walks miss and ``veskari.convert``
explains it; both follow these rules, which restate the walks' own: a
member's path name is its parent's, then ``.name`` for an attribute member
or ``[key]`` for a child of a ``Sequential``/``ModuleList``; a member is
entered when its parent's ``dir()`` lists it and its path name is not on the
skip list; the clean walk leaves a type on ``get_modules_to_track()``
untouched.
"""
from __future__ import annotations

import re
from collections.abc import Iterator
from typing import Any

from torch import nn

from veskari import globals_veskari as GVS
from veskari.modules_veskari import VSKNeuronModule
from veskari.torch_private import child_table


def is_container(module: nn.Module) -> bool:
    """Whether the walks hand every child of ``module`` on under ``[key]``."""
    return isinstance(module, (nn.Sequential, nn.ModuleList))


def is_block(module: nn.Module) -> bool:
    """A block left by the block-wise walk (its class is native)."""
    return type(module).__name__ == "VSKLayer"


def converted_whole(module: nn.Module) -> bool:
    """What the walks replace without looking inside (a subclass is walked)."""
    return type(module) is VSKNeuronModule or is_block(module)


def steps(net: nn.Module, path: str) -> Iterator[tuple[nn.Module, str, str]]:
    """(parent, child name, the walks' path name of the child) from the root
    down to ``path`` (a ``named_modules()`` path)."""
    parent, walk_name = net, ""
    for name in path.split(".") if path else []:
        walk_name += f"[{name}]" if is_container(parent) else f".{name}"
        yield parent, name, walk_name
        parent = parent.get_submodule(name)


def skip_listed(walk_name: str) -> bool:
    return walk_name in GVS.pc.get_module_names_to_not_save()


def tracked(module: nn.Module) -> bool:
    return type(module) in GVS.pc.get_modules_to_track()


def names_a_member(net: nn.Module, entry: str) -> bool:
    """Whether ``entry`` is the walks' path name of an attribute member of ``net``."""
    parts = re.findall(r"\.([^.\[\]]+)|\[([^\]]*)\]", entry)
    if not parts or "".join(f".{a}" if a else f"[{k}]" for a, k in parts) != entry:
        return False
    module: Any = net
    for i, (attribute, key) in enumerate(parts):
        container = is_container(module)
        if attribute and (container or not _attribute_member(module, attribute)):
            return False
        if key and (not container or key not in child_table(module)):
            return False
        if i + 1 < len(parts):
            module = getattr(module, attribute) if attribute else child_table(module)[key]
            if not isinstance(module, nn.Module):
                return False
    return bool(parts[-1][0])


def _attribute_member(module: nn.Module, name: str) -> bool:
    # convert reaches digit-named children too (veskari.stranded)
    return name in dir(module) or (name[:1].isdigit() and name in child_table(module))
