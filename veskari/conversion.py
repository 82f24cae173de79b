"""One checked call that turns a trained dendrite network into an inference network.

The two native converters are deliberately quiet: given a tensor, a plain
network, a converted one or the wrong order of calls they return without a
word. :func:`convert` runs both in the right order and says what happened:
which layers were converted, which were left alone and why, and (given
example inputs) whether the converted network still computes what the
trained one did.
"""
from __future__ import annotations

import copy
import warnings
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from typing import Any

import torch
from torch import nn

from veskari import blockwise_veskari, clean_veskari
from veskari import globals_veskari as GVS
from veskari.modules_veskari import VSKNeuronModule

__all__ = ["ConversionMismatchError", "ConversionReport", "ConversionWarning", "convert"]


class ConversionWarning(UserWarning):
    """Nothing was converted, or a layer was left half converted."""


class ConversionMismatchError(RuntimeError):
    """The converted network's output differs from the trained network's."""

    def __init__(self, message: str, max_difference: float, where: str):
        super().__init__(message)
        self.max_difference = max_difference
        self.where = where


@dataclass
class ConversionReport:
    """What :func:`convert` did. Paths are those of ``net.named_modules()``."""

    converted: list[str] = field(default_factory=list)
    skipped: list[tuple[str, str]] = field(default_factory=list)  # (path, why)
    already_converted: list[str] = field(default_factory=list)
    max_difference: float | None = None  # set when example inputs were checked

    def __str__(self) -> str:
        lines = [f"converted {len(self.converted)} layer(s)"
                 + (": " + ", ".join(map(_shown, self.converted)) if self.converted else "")]
        if self.already_converted:
            count = len(self.already_converted)
            lines.append(f"already converted before the call: {count} layer(s)")
        lines += [f"skipped {_shown(path)}: {why}" for path, why in self.skipped]
        if self.max_difference is not None:
            lines.append("largest output difference on the example inputs: "
                         f"{self.max_difference:.3g}")
        return "\n".join(lines)


def convert(net: nn.Module, example_inputs: Any = None) -> tuple[nn.Module, ConversionReport]:
    """Convert ``net`` in place (block-wise, then clean) and report on it.

    Returns the network to use from now on (the same object unless ``net``
    itself is a single block) and a :class:`ConversionReport`. Warns with
    :class:`ConversionWarning` when nothing was converted or a layer was
    left half converted. With ``example_inputs`` (one argument, or a tuple
    of positional arguments) the converted network's output is compared with
    that of a copy taken before conversion, under ``torch.no_grad()``;
    :class:`ConversionMismatchError` carries the largest difference.
    Put the network in the mode you will run it in (``net.eval()``) first.
    """
    if not isinstance(net, nn.Module):
        raise TypeError(f"convert() needs a torch.nn.Module, got {type(net).__name__}")

    reference = copy.deepcopy(net) if example_inputs is not None else None
    before = _outermost(net, _is_convertible)

    def is_clean(module: nn.Module) -> bool:
        return isinstance(module, clean_veskari.VSKModulePyThread)

    already = [path for path, _ in _outermost(net, is_clean, is_clean)]
    try:
        blockwise_veskari.blockwise_network(net)
        blocks = {path for path, m in net.named_modules() if type(m).__name__ == "VSKLayer"}
        net = clean_veskari.refresh_net(net)
    except BaseException as err:
        err.add_note("veskari.convert: the network is left partly converted; "
                     "convert a fresh copy (reload the trained checkpoint)")
        raise
    after = dict(net.named_modules())

    report = ConversionReport(already_converted=already)
    stranded: list[str] = []
    for path, module in before:
        now = after.get(path)
        if now is not None and now is not module and not _is_convertible(now):
            report.converted.append(path)
        elif path in blocks:
            why = _why_unreached(net, path, clean_walk=True)
            stranded.append(path)
            report.skipped.append((path, "left as a VSKLayer, which cannot run: " + why))
        else:
            report.skipped.append((path, _why_skipped(net, path, module)))

    if not report.converted:
        warnings.warn("veskari.convert converted nothing: " + _nothing_because(report),
                      ConversionWarning, stacklevel=2)
    elif stranded:
        warnings.warn("veskari.convert left half converted (calling them raises "
                      "NotImplementedError): " + ", ".join(map(_shown, stranded)),
                      ConversionWarning, stacklevel=2)
    if reference is not None:
        report.max_difference = _check_outputs(reference, net, example_inputs)
    return net, report


def _is_convertible(module: nn.Module) -> bool:
    # Neuron modules of any class (a subclass is reported, not converted) and
    # blocks that a block-wise-only conversion left behind.
    return isinstance(module, VSKNeuronModule) or type(module).__name__ == "VSKLayer"


def _converted_whole(module: nn.Module) -> bool:
    # What the walks replace without looking inside (a subclass is walked).
    return type(module) is VSKNeuronModule or type(module).__name__ == "VSKLayer"


def _outermost(
    net: nn.Module,
    wanted: Callable[[nn.Module], bool],
    whole: Callable[[nn.Module], bool] = _converted_whole,
) -> list[tuple[str, nn.Module]]:
    """(path, module) of every wanted module that is not inside a ``whole`` one."""
    found: list[tuple[str, nn.Module]] = []
    wholes: list[str] = []
    for path, module in net.named_modules():
        if any(_inside(path, outer) for outer in wholes):
            continue
        if wanted(module):
            found.append((path, module))
        if whole(module):
            wholes.append(path)
    return found


def _inside(path: str, outer: str) -> bool:
    return outer == "" or path.startswith(outer + ".")


def _shown(path: str) -> str:
    return path or "<root>"


def _why_skipped(net: nn.Module, path: str, module: nn.Module) -> str:
    if type(module) is not VSKNeuronModule:
        return (f"{type(module).__name__} is a subclass of VSKNeuronModule; only exact "
                "VSKNeuronModule instances are converted")
    if path == "":
        return ("the network itself is a neuron module; the walks replace children only "
                "(convert a container holding it, e.g. nn.Sequential(module))")
    return _why_unreached(net, path, clean_walk=False)


def _why_unreached(net: nn.Module, path: str, clean_walk: bool) -> str:
    """Why a walk did not reach ``path``: the first rule on the way that stops it."""
    for parent, name, walk_name in _steps(net, path):
        if isinstance(parent, (nn.Sequential, nn.ModuleList)):
            continue  # containers hand every child on
        if clean_walk and type(parent) in GVS.pc.get_modules_to_track():
            return (f"it is inside a {type(parent).__name__}, a type on "
                    "get_modules_to_track(), which the clean walk leaves untouched")
        if clean_walk and name in ("device", "dtype"):
            return f"the clean walk never enters a member named {name!r}"
        if name not in dir(parent):  # what the walks' __dir__ call lists
            if name[:1].isdigit():
                return (f"its name {name!r} under {type(parent).__name__} starts with a digit; "
                        "PyTorch's Module.__dir__ leaves such names out, so the walk never "
                        "reaches it (use keys that start with a letter, or an nn.ModuleList)")
            return f"{type(parent).__name__}.__dir__() does not list {name!r}"
        if walk_name in GVS.pc.get_module_names_to_not_save():
            return (f"{walk_name!r} is on the skip list "
                    "(globals_veskari.pc.get_module_names_to_not_save())")
    return "the walk did not reach it (for example, it is reached twice through one parent)"


def _steps(net: nn.Module, path: str) -> Iterator[tuple[nn.Module, str, str]]:
    """(parent, child name, the walks' path name of the child) from the root down."""
    parent, walk_name = net, ""
    for name in path.split(".") if path else []:
        container = isinstance(parent, (nn.Sequential, nn.ModuleList))
        walk_name += f"[{name}]" if container else f".{name}"
        yield parent, name, walk_name
        parent = parent.get_submodule(name)


def _nothing_because(report: ConversionReport) -> str:
    if report.skipped:
        return "; ".join(f"{_shown(path)}: {why}" for path, why in report.skipped)
    if report.already_converted:
        return "the network is already converted"
    return ("the network holds no VSKNeuronModule "
            "(wrap its layers first, e.g. utils_veskari.wrap_layers)")


def _check_outputs(reference: nn.Module, converted: nn.Module, example_inputs: Any) -> float:
    args = example_inputs if isinstance(example_inputs, tuple) else (example_inputs,)
    with torch.no_grad():
        expected = _run(reference, args, "the network before conversion")
        actual = _run(converted, args, "the converted network")
    expected_leaves, actual_leaves = list(_leaves(expected)), list(_leaves(actual))
    if [where for where, _ in expected_leaves] != [where for where, _ in actual_leaves]:
        raise ConversionMismatchError(
            "the converted network returns a differently structured output", float("inf"), "output")
    largest = 0.0
    for (where, want), (_, got) in zip(expected_leaves, actual_leaves, strict=True):
        difference, equal = _difference(want, got)
        if not equal:
            raise ConversionMismatchError(
                f"the converted network's {where} differs from the trained network's: "
                f"largest difference {difference:.6g}", difference, where)
        largest = max(largest, difference)
    return largest


def _run(net: nn.Module, args: tuple[Any, ...], which: str) -> Any:
    try:
        return net(*args)
    except Exception as err:
        err.add_note(f"veskari.convert: raised by {which} on the example inputs")
        raise


def _leaves(value: Any, where: str = "output") -> Iterator[tuple[str, Any]]:
    if isinstance(value, (tuple, list)):
        for i, item in enumerate(value):
            yield from _leaves(item, f"{where}[{i}]")
    elif isinstance(value, dict):
        for key, item in value.items():
            yield from _leaves(item, f"{where}[{key!r}]")
    else:
        yield where, value


def _difference(want: Any, got: Any) -> tuple[float, bool]:
    if not (isinstance(want, torch.Tensor) and isinstance(got, torch.Tensor)):
        return (0.0, True) if want == got else (float("inf"), False)
    if want.shape != got.shape:
        return float("inf"), False
    if want.numel() == 0:
        return 0.0, True
    wide = torch.complex128 if want.is_complex() or got.is_complex() else torch.float64
    gap = (got.to(wide) - want.to(wide)).abs()
    gap[want.isnan() & got.isnan()] = 0  # NaN where the trained network had NaN is no change
    largest = gap.nan_to_num(nan=float("inf")).max().item()
    try:
        torch.testing.assert_close(got, want, equal_nan=True)
    except AssertionError:
        return largest, False
    return largest, True
