"""Converting the neuron modules the walks cannot reach: those under digit keys.

The walks find a module's members through ``dir()``, and PyTorch's
``Module.__dir__`` leaves out names starting with a digit, so an
``nn.ModuleDict`` keyed ``"0"``, ``"1"``, ... (torchvision keeps its
segmentation and detection backbones in one) hides everything below it.
Renaming the keys would break the parent's own lookups (``return_layers``),
so each such child is converted where it is instead: moved into a one-item
``nn.Sequential``, where the walks do reach it, converted by both walks,
and put back under its key.

The walks inside that holder name the child ``[0]``; the skip list is
shown to them rebased, so an entry is matched against the path the walks
would give the child in the whole network (``.backbone.0[1].conv``), as
for any other layer.
"""
from __future__ import annotations

from collections.abc import Container
from typing import Any

from torch import nn

from veskari import blockwise_veskari, clean_veskari
from veskari import globals_veskari as GVS
from veskari._conversion.walk_rules import converted_whole, steps
from veskari._internal.torch_private import child_table

HOLDER_NAME = "[0]"

# (parent, key under it, the walks' path name of the child)
_Unit = tuple[nn.Module, str, str]


class RebasedSkipList:
    """The user's skip list as the walks inside the holder query it."""

    def __init__(self, names: Container[Any], walk_name: str):
        self.names = names
        self.walk_name = walk_name

    def __contains__(self, name: object) -> bool:
        return (isinstance(name, str) and name.startswith(HOLDER_NAME)
                and self.walk_name + name[len(HOLDER_NAME):] in self.names)


def convert_under_digit_keys(net: nn.Module) -> list[str]:
    """Convert, in place, every neuron module the walks missed only because a
    key on its path starts with a digit; returns the walks' path names of
    the children converted that way. Deeper digit keys are reached in later
    rounds, once the child above them is converted."""
    done: set[tuple[int, str]] = set()
    converted: list[str] = []
    while True:
        units = _digit_keyed_units(net, done)
        if not units:
            return converted
        for parent, key, walk_name in units:
            done.add((id(parent), key))
            _convert_in_holder(parent, key, walk_name)
            converted.append(walk_name)


def _convert_in_holder(parent: nn.Module, key: str, walk_name: str) -> None:
    holder = nn.Sequential(parent.get_submodule(key))
    names = GVS.pc.get_module_names_to_not_save()
    GVS.pc.set_module_names_to_not_save(RebasedSkipList(names, walk_name))
    try:
        blockwise_veskari.blockwise_network(holder)
        holder = clean_veskari.refresh_net(holder)
    finally:
        GVS.pc.set_module_names_to_not_save(names)
    child_table(parent)[key] = child_table(holder)["0"]


def _digit_keyed_units(net: nn.Module, done: set[tuple[int, str]]) -> list[_Unit]:
    listed: dict[int, set[str]] = {}  # dir() of each parent, read once

    def walk_sees(parent: nn.Module, name: str) -> bool:
        if id(parent) not in listed:
            listed[id(parent)] = set(dir(parent))
        return name in listed[id(parent)]

    units: dict[tuple[int, str], _Unit] = {}
    for path, module in net.named_modules():
        if converted_whole(module):
            unit = _digit_step(net, path, walk_sees, done)
            if unit is not None:
                units.setdefault((id(unit[0]), unit[1]), unit)
    return list(units.values())


def _digit_step(net: nn.Module, path: str, walk_sees: Any,
                done: set[tuple[int, str]]) -> _Unit | None:
    """The first step from the root to ``path`` that the walks miss, if they
    miss it only for its leading digit; None if they reach ``path`` or stop
    before it for a reason they mean (the skip list, a tracked type). Steps
    into children already converted on their own count as reached."""
    for step in steps(net, path):
        if step.handed_on:
            continue
        if step.inside_tracked or step.skip_listed:
            return None  # the clean walk leaves a tracked module untouched
        if (id(step.parent), step.name) not in done and not walk_sees(step.parent, step.name):
            return (step.parent, step.name, step.walk_name) if step.digit_named else None
    return None
