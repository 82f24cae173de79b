"""Where a trained checkpoint's keys go in a converted network.

Conversion moves each layer's tensors into a new module tree, so a trained
``state_dict`` no longer loads into the converted network. What became of
every key is recorded while converting, by tensor identity (so it holds on
a network built on the ``meta`` device, whose tensors have no values):

* *renamed*: the converted network holds the very tensor under a new key;
* *cloned*: it holds a copy of the tensor, so the value still comes from
  the checkpoint;
* *created*: the conversion made the tensor itself; its value is kept here;
* *dropped*: the converted network does not hold the tensor at all.

:func:`translate` applies the record to a trained ``state_dict`` (or one
shard of it), so a skeleton converted on ``meta`` is filled with
``load_state_dict(..., assign=True)``.
"""
from __future__ import annotations

from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from typing import Any

import torch
from torch import nn

__all__ = ["LayerKeys", "layer_keys", "tie_groups", "translate"]

# The converter's copies: converted key -> the trained key whose value it clones.
_CLONES = {"node_index": "this_node_index"}


@dataclass
class LayerKeys:
    """What became of one converted layer's trained keys (full ``state_dict`` keys)."""

    renamed: dict[str, str] = field(default_factory=dict)  # trained -> converted
    cloned: dict[str, str] = field(default_factory=dict)  # trained -> converted
    created: dict[str, torch.Tensor] = field(default_factory=dict)  # converted -> value
    dropped: list[str] = field(default_factory=list)  # trained keys left out


def layer_keys(path: str, trained: Mapping[str, torch.Tensor], converted: nn.Module) -> LayerKeys:
    """The record of the layer at ``path``: ``trained`` is its
    ``state_dict(keep_vars=True)`` taken before conversion (the conversion
    changes the trained module's containers), ``converted`` what replaced it."""
    prefix = path + "." if path else ""
    sources: dict[int, list[str]] = {}
    for key, tensor in trained.items():
        sources.setdefault(id(tensor), []).append(key)
    record, kept = LayerKeys(), set()
    for key, tensor in converted.state_dict(keep_vars=True).items():
        clone_of = _CLONES.get(key, "")
        if id(tensor) in sources:
            for source in sources[id(tensor)]:
                kept.add(source)
                if source != key:
                    record.renamed[prefix + source] = prefix + key
        elif clone_of in trained:
            kept.add(clone_of)
            record.cloned[prefix + clone_of] = prefix + key
        else:
            record.created[prefix + key] = tensor.detach().clone()
    record.dropped = [prefix + key for key in trained if key not in kept]
    return record


def tie_groups(net: nn.Module) -> list[list[str]]:
    """The keys of every parameter that ``net`` holds under more than one name."""
    groups: dict[int, list[str]] = {}
    for key, param in net.named_parameters(remove_duplicate=False):
        groups.setdefault(id(param), []).append(key)
    return [keys for keys in groups.values() if len(keys) > 1]


def translate(layers: Iterable[LayerKeys], tied: list[list[str]],
              state: Mapping[str, Any]) -> dict[str, Any]:
    """``state`` (a trained ``state_dict`` or a shard of one) under converted keys.

    Renamed and cloned keys take their converted names, created tensors are
    added, dropped keys are left out; keys of unconverted parts pass through.
    The keys of one tied parameter all receive one ``nn.Parameter``, so
    ``load_state_dict(assign=True)`` keeps them tied (a tie whose keys are in
    different shards is not restored).

    Nothing is chosen silently: one weight arriving under two keys (its
    trained and its converted name) with different values, or tied keys with
    different values, raise ``ValueError`` naming both keys (equal values
    are fine). This is seen within one call only: shards translated one by
    one cannot see each other. A value that is not a tensor raises
    ``TypeError`` naming its key (a module's ``..._extra_state`` passes
    through as it is).
    """
    if not isinstance(state, Mapping):
        raise TypeError("translate needs a state_dict (a mapping of keys to tensors), got "
                        f"{type(state).__name__}")
    targets: dict[str, list[tuple[str, bool]]] = {}
    dropped: set[str] = set()
    created: dict[str, torch.Tensor] = {}
    for record in layers:
        for old, new in record.renamed.items():
            targets.setdefault(old, []).append((new, False))
        for old, new in record.cloned.items():
            targets.setdefault(old, []).append((new, True))
        dropped.update(record.dropped)
        created.update(record.created)
    result: dict[str, Any] = {}
    came_from: dict[str, str] = {}
    for key, value in state.items():
        if not isinstance(value, torch.Tensor):
            if isinstance(key, str) and key.endswith(_EXTRA_STATE):
                result[key] = value
                continue
            raise TypeError(f"translate: the value under {key!r} is of type "
                            f"{type(value).__name__}, not a tensor")
        for new, clone in targets.get(key, [(key, False)] if key not in dropped else []):
            if new in result:
                _require_equal(came_from[new], key, result[new], value, "one weight under two "
                               "names")
                continue
            result[new], came_from[new] = value.clone() if clone else value, key
    for key, value in created.items():
        result.setdefault(key, value.clone())
    for keys in tied:
        present = [key for key in keys if key in result]
        for key in present[1:]:
            _require_equal(present[0], key, result[present[0]], result[key], "tied keys")
        if present:
            value = result[present[0]]
            shared = value if isinstance(value, nn.Parameter) else nn.Parameter(
                value, requires_grad=False)  # load_state_dict sets the skeleton's flag
            result.update(dict.fromkeys(keys, shared))
    return result


_EXTRA_STATE = "_extra_state"  # what Module.get_extra_state's value is saved under


def _require_equal(first: str, second: str, a: torch.Tensor, b: torch.Tensor, what: str) -> None:
    if a is b or _same_view(a, b):
        return
    if a.shape != b.shape or a.dtype != b.dtype or (
            not (a.is_meta or b.is_meta) and not torch.equal(a, b.to(a.device))):
        raise ValueError(f"translate: {first!r} and {second!r} are {what} but hold different "
                         "values; keep one of them in the checkpoint")


def _same_view(a: torch.Tensor, b: torch.Tensor) -> bool:
    # Tensors saved tied come back as views of one storage: equal without reading.
    return (a.layout == b.layout == torch.strided and not a.is_meta
            and a.device == b.device and a.dtype == b.dtype and a.shape == b.shape
            and a.stride() == b.stride() and a.data_ptr() == b.data_ptr())
