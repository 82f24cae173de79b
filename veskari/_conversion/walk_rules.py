"""How the native walks name and reach a network's members, stated once in Python.

``veskari._conversion.digit_keys`` completes what the walks miss and ``veskari.convert``
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
from typing import Any, NamedTuple

from torch import nn

from veskari import globals_veskari as GVS
from veskari._internal.torch_private import child_table
from veskari.modules_veskari import VSKNeuronModule


def is_container(module: nn.Module) -> bool:
    """Whether the walks hand every child of ``module`` on under ``[key]``."""
    return isinstance(module, (nn.Sequential, nn.ModuleList))


def is_block(module: nn.Module) -> bool:
    """A block left by the block-wise walk (its class is native)."""
    return type(module).__name__ == "VSKLayer"


def converted_whole(module: nn.Module) -> bool:
    """What the walks replace without looking inside (a subclass is walked)."""
    return type(module) is VSKNeuronModule or is_block(module)


# Members the clean walk never enters, whatever they hold.
CLEAN_WALK_PASSES_BY = frozenset({"device", "dtype"})


class Step(NamedTuple):
    """One step of a walk, from ``parent`` into its member ``name``, and what
    each rule of the walks says about it."""

    parent: nn.Module
    name: str
    walk_name: str  # the walks' path name of the member

    @property
    def handed_on(self) -> bool:
        """A container's child: the walks enter it, no other rule applies."""
        return is_container(self.parent)

    @property
    def inside_tracked(self) -> bool:
        """The clean walk leaves ``parent`` untouched."""
        return tracked(self.parent)

    @property
    def passed_by_clean_walk(self) -> bool:
        return self.name in CLEAN_WALK_PASSES_BY

    @property
    def skip_listed(self) -> bool:
        return skip_listed(self.walk_name)

    @property
    def digit_named(self) -> bool:
        """PyTorch's ``Module.__dir__`` leaves out names starting with a digit."""
        return self.name[:1].isdigit()

    def listed(self) -> bool:
        """Whether ``parent.__dir__()`` lists the member (the walks enter only those)."""
        return self.name in dir(self.parent)


def steps(net: nn.Module, path: str) -> Iterator[Step]:
    """The steps from the root down to ``path`` (a ``named_modules()`` path)."""
    parent, walk_name = net, ""
    for name in path.split(".") if path else []:
        walk_name += f"[{name}]" if is_container(parent) else f".{name}"
        yield Step(parent, name, walk_name)
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
    # convert reaches digit-named children too (veskari._conversion.digit_keys)
    return name in dir(module) or (name[:1].isdigit() and name in child_table(module))


def every_path(net: nn.Module) -> Iterator[tuple[str, nn.Module]]:
    """``net.named_modules()`` with a module held under several names given
    under each of them (as the walks meet it); a child that is one of its
    own ancestors (a cycle) is not entered again."""
    def walk(module: nn.Module, path: str, above: tuple[int, ...]) -> Iterator[
            tuple[str, nn.Module]]:
        yield path, module
        for name, child in child_table(module).items():
            if child is not None and id(child) not in above:
                yield from walk(child, f"{path}.{name}" if path else name, (*above, id(child)))
    return walk(net, "", (id(net),))
