"""One checked call that turns a trained dendrite network into an inference network.

The two native converters are deliberately quiet: given a tensor, a plain
network, a converted one or the wrong order of calls they return without a
word. :func:`convert` runs both in the right order and says what happened:
which layers were converted, which were left alone and why, and (given
example inputs) whether the converted network still computes what the
trained one did.
"""
from __future__ import annotations

import contextlib
import functools
import threading
import warnings
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import Any, ParamSpec, TypeVar

import torch
from torch import nn

from veskari import blockwise_veskari, clean_veskari, inference, skeletons, utils_veskari
from veskari import globals_veskari as GVS
from veskari._conversion import checkpoint_keys
from veskari._conversion.check_copies import own_inputs, sharing_copy
from veskari._conversion.checkpoint_keys import LayerKeys
from veskari._conversion.compare_outputs import largest_difference
from veskari._conversion.digit_keys import convert_under_digit_keys
from veskari._conversion.quiet_logs import held_back
from veskari._conversion.recorded_forward import positional, trial_forward
from veskari._conversion.walk_rules import (
    converted_whole,
    every_path,
    is_block,
    names_a_member,
    steps,
)
from veskari._conversion.weight_watch import ParameterWatch
from veskari._internal.layer_names import shown as _shown
from veskari._internal.layer_names import some as _some
from veskari._internal.torch_private import DropoutBase, NormBase, child_table

# Also veskari.ConversionMismatchError and veskari.ConversionWarning (defined in
# veskari.errors), which the package's lazy names take from here.
from veskari.errors import ConversionMismatchError as ConversionMismatchError
from veskari.errors import ConversionWarning as ConversionWarning
from veskari.errors import Mismatch, Uncomparable
from veskari.modules_veskari import VSKNeuronModule

__all__ = ["ConversionMismatchError", "ConversionReport", "ConversionWarning", "convert"]


@dataclass
class ConversionReport:
    """What :func:`convert` did. Paths are those of ``net.named_modules()``.

    ``keys[path]`` says what became of each trained ``state_dict`` key of the
    layer converted at ``path``; :meth:`translate` applies that to a trained
    checkpoint.
    """

    converted: list[str] = field(default_factory=list)
    skipped: list[tuple[str, str]] = field(default_factory=list)  # (path, why)
    already_converted: list[str] = field(default_factory=list)
    max_difference: float | int | None = None  # set when example inputs were checked
    keys: dict[str, LayerKeys] = field(default_factory=dict)
    tied: list[list[str]] = field(default_factory=list, repr=False)  # keys of one parameter

    def translate(self, state: Mapping[str, Any]) -> dict[str, Any]:
        """A trained ``state_dict`` (or a shard of it) under the converted network's keys.

        Renamed and cloned keys take their converted names, tensors the
        conversion created are added, keys the converted network does not
        hold (``keys[path].dropped``) are left out, keys of unconverted parts
        pass through; ``load_state_dict(result, strict=True, assign=True)``
        then fills a network converted on the ``meta`` device.
        """
        return checkpoint_keys.translate(self.keys.values(), self.tied, state)

    def __str__(self) -> str:
        lines = [f"converted {len(self.converted)} layer(s)"
                 + (": " + ", ".join(map(_shown, self.converted)) if self.converted else "")]
        if self.already_converted:
            count = len(self.already_converted)
            lines.append(f"already converted before the call: {count} layer(s)")
        lines += [f"skipped {_shown(path)}: {why}" for path, why in self.skipped]
        if self.max_difference is not None:
            lines.append("largest output difference on the example inputs: "
                         + _number(self.max_difference))
        return "\n".join(lines)


_M = TypeVar("_M", bound=nn.Module)
_P = ParamSpec("_P")
_R = TypeVar("_R")
_EACH_IN_REPORT = " (the report's .skipped has each one with its reason)"
# Layers whose training mode makes two runs on the same inputs differ.
_RANDOM_IN_TRAINING = (DropoutBase, NormBase)


def _one_at_a_time(function: Callable[_P, _R]) -> Callable[_P, _R]:
    # A conversion changes process-wide state for its duration: the skip
    # list it shows the walks (veskari._conversion.digit_keys), the trial run's record and
    # other libraries' log levels.
    lock = threading.RLock()

    @functools.wraps(function)
    def serialised(*args: _P.args, **kwargs: _P.kwargs) -> _R:
        with lock:
            return function(*args, **kwargs)

    return serialised


@_one_at_a_time
def convert(net: _M, example_inputs: Any = None, *, example_kwargs: dict[str, Any] | None = None,
            prepare: bool = True) -> tuple[_M, ConversionReport]:
    """Convert ``net`` in place (block-wise, then clean) and report on it.

    Returns the network to use from now on (the same object unless ``net``
    itself is a single block) and a :class:`ConversionReport`. Every
    converted layer is an :class:`veskari.inference.InferenceLayer` (the
    fastest eager form, compilable and exportable, answering attribute reads
    of its main layer); ``prepare=False`` leaves the plain
    ``VSKModulePyThread`` layers the native converters make.

    Warns with :class:`ConversionWarning` whenever a neuron module stays
    unconverted for a reason other than the skip list, a skip-list entry can
    match nothing, or a layer's dendrites cannot count.

    With ``example_inputs`` (one argument, or a tuple of positional
    arguments) and/or ``example_kwargs``, a converted copy is checked first
    against a trained copy, under ``torch.no_grad()``, each run on its own
    copy of the inputs. The copies share the caller's parameter storage (the
    check costs buffers, not a second network) and have their own buffers;
    the caller's network is not run, and on a mismatch it is left
    unconverted and unchanged; :class:`ConversionMismatchError` carries the
    largest difference and the report. Forward hooks and pre-hooks on the
    copies are the caller's (they may be part of the computation), so each
    runs during the check: once on the trained copy and, where the converted
    layer still calls it, on the converted one. Put the network in the mode
    you will run it in (``net.eval()``) first.

    Calls from several threads run one at a time: a conversion changes
    process-wide state while it runs (the skip list the walks see for
    children under digit keys, the check's record of which layers ran,
    other libraries' log levels), restored before it returns.

    A forward that writes its weights in place writes the caller's, since
    the copies share them. Each parameter's write counter and an exact
    digest of its bytes (``veskari._conversion.weight_watch``) are compared before and
    after the check, and such a write raises ``RuntimeError`` naming every
    parameter written, which then holds what the forward wrote (the
    network is otherwise unchanged and unconverted). The digests cost one
    pass over the parameter bytes each, 2 to 4 seconds per GiB of
    parameters in all, and no memory.

    A neuron module held under several names is one converted layer under
    all of them; the report lists each path.

    A network built on the ``meta`` device (:func:`veskari.skeleton`)
    converts but cannot be checked; load the trained weights afterwards
    through ``report.translate``. A network holding a tensor on ``meta``
    when converted runs :func:`veskari.check_loaded` before its first
    output, which names what was never loaded instead of computing with it.
    """
    if not isinstance(net, nn.Module):
        raise TypeError(f"convert() needs a torch.nn.Module, got {type(net).__name__}")
    if example_kwargs is not None and not (isinstance(example_kwargs, Mapping) and all(
            isinstance(key, str) for key in example_kwargs)):
        raise TypeError("convert()'s example_kwargs must be a dict of keyword arguments by "
                        f"name, got {type(example_kwargs).__name__}")
    difference = None
    with _off_meta():
        if example_inputs is not None or example_kwargs is not None:
            if any(m.training and isinstance(m, _RANDOM_IN_TRAINING) for m in net.modules()):
                warnings.warn("veskari.convert checks a network in training mode: Dropout and "
                              "BatchNorm make the comparison meaningless; call net.eval() first",
                              ConversionWarning, stacklevel=2)
            difference, idle = _trial(net, prepare, example_inputs, dict(example_kwargs or {}))
        net, report, problems = _convert(net, prepare)
    if difference is not None:
        report.max_difference = difference
        if idle:
            problems.append(
                f"{_some(idle)} never ran on the example inputs, so their dendrites do not "
                "count: their parents compute with their weights directly. Leave them "
                "unwrapped (wrap_layers(..., example_inputs=...) does)")
    for problem in problems:
        warnings.warn("veskari.convert: " + problem, ConversionWarning, stacklevel=2)
    skeletons.check_at_first_call(net)
    return net, report


def _off_meta() -> contextlib.AbstractContextManager[Any]:
    # Inside torch.device("meta") the converter would make its view-shape
    # tensors on meta, where nothing can read them back; they belong on the CPU.
    meta = torch.get_default_device().type == "meta"
    return torch.device("cpu") if meta else contextlib.nullcontext()


def _trial(net: nn.Module, prepare: bool, example_inputs: Any, example_kwargs: dict[str, Any]
           ) -> tuple[float | int, list[str]]:
    """The check on two copies that share ``net``'s parameter storage."""
    if any(t.is_meta for t in [*net.parameters(), *net.buffers()]):
        raise ValueError("veskari.convert cannot check a network on the meta device (its "
                         "tensors hold no values): convert it without example_inputs/"
                         "example_kwargs, then load the trained weights through "
                         "report.translate")
    watch = ParameterWatch(net)
    try:
        trained = sharing_copy(net)
        candidate, trial, _ = _convert(sharing_copy(net), prepare, checked_copy=True)
        result = _check_outputs(trained, candidate, trial, example_inputs, example_kwargs)
    except BaseException as err:
        _refuse_written(watch, err)
        raise
    _refuse_written(watch, None)
    return result


def _refuse_written(watch: ParameterWatch, cause: BaseException | None) -> None:
    written = watch.written()
    if written:
        raise RuntimeError(
            "veskari.convert: the forward wrote in place to the parameter(s) "
            f"{', '.join(written)} during the check; the checked copies share your network's "
            "parameter storage, so those parameters now hold the values the forward wrote. "
            "The rest of the network is unchanged and it was left unconverted; convert "
            "without example inputs, or keep the forward from writing to its weights"
        ) from cause


def _convert(net: _M, prepare: bool, checked_copy: bool = False
             ) -> tuple[_M, ConversionReport, list[str]]:
    """Both conversions in place; the report and what to warn about.
    ``checked_copy``: ``net`` is the check's own copy, not the caller's."""
    before = _outermost(net, _is_convertible)
    # Taken now: the conversion changes the trained layers' own containers.
    trained_keys = {path: module.state_dict(keep_vars=True) for path, module in before}
    problems = _skip_list_problems(net)

    def is_clean(module: nn.Module) -> bool:
        return isinstance(module, clean_veskari.VSKModulePyThread)

    already = [path for path, _ in _outermost(net, is_clean, is_clean)]
    bypassed = [(path, why) for path, why in ((p, _bypass(net, p)) for p, _ in before) if why]
    try:
        with held_back("veskari.convert's walks"):
            blockwise_veskari.blockwise_network(net)
            convert_under_digit_keys(net)
            blocks = {path for path, m in every_path(net) if is_block(m)}
            net = clean_veskari.refresh_net(net)
        if prepare:
            inference._switch(net)
        _retie(net, before)
    except BaseException as err:
        err.add_note("veskari.convert: converting the check's own copy of the network failed; "
                     "your network was not converted and is unchanged" if checked_copy else
                     "veskari.convert: the network is left partly converted; "
                     "convert a fresh copy (reload the trained checkpoint)")
        raise
    after = dict(every_path(net))

    report = ConversionReport(already_converted=already)
    half_converted: list[str] = []
    left: dict[str, list[str]] = {}
    for path, module in before:
        now = after.get(path)
        if now is not None and now is not module and not _is_convertible(now):
            report.converted.append(path)
        elif path in blocks:
            why = _why_unreached(net, path, clean_walk=True)[1]
            half_converted.append(path)
            report.skipped.append((path, "left as a VSKLayer, which cannot run: " + why))
        else:
            kind, why = _why_skipped(net, path, module)
            report.skipped.append((path, why))
            if kind != "skip list":
                left.setdefault(why if kind == "other" else kind, []).append(path)

    report.keys = {path: checkpoint_keys.layer_keys(path, trained_keys[path], after[path])
                   for path in report.converted}
    report.tied = checkpoint_keys.tie_groups(net)
    if not report.converted:
        problems.insert(0, "converted nothing: " + _nothing_because(report))
    else:
        problems += [f"left {_some(paths)} unconverted: " + _skipped_why(report, paths[0])
                     + _EACH_IN_REPORT for paths in left.values()]
    if half_converted:
        problems.append(f"left {_some(half_converted)} half converted (calling them raises "
                        "NotImplementedError)" + _EACH_IN_REPORT)
    if bypassed:
        problems.append(f"the dendrites of {_some([p for p, _ in bypassed])} do not count: "
                        f"{bypassed[0][1]}. Leave such layers unwrapped (wrap_layers does)")
    return net, report, problems


def _retie(net: nn.Module, before: list[tuple[str, nn.Module]]) -> None:
    """One converted layer under every path of a neuron module held under
    several: the walks convert each path they reach on its own (sharing
    parameters), and pass over a second name under one parent, where the
    module left is the one whose containers the conversion rebuilt."""
    paths: dict[int, list[str]] = {}
    for path, module in before:
        paths.setdefault(id(module), []).append(path)
    for group in (g for g in paths.values() if len(g) > 1):
        now = [net.get_submodule(path) for path in group]
        done = [m for m in now if not _is_convertible(m)]
        for path, module in zip(group, now, strict=True):
            if done and module is not done[0]:
                parent, _, name = path.rpartition(".")
                child_table(net.get_submodule(parent))[name] = done[0]


def _skipped_why(report: ConversionReport, path: str) -> str:
    return dict(report.skipped)[path]


def _number(value: float | int) -> str:
    return str(value) if isinstance(value, int) else f"{value:.6g}"


def _bypass(net: nn.Module, path: str) -> str | None:
    """Why the parent of ``path`` never calls it, if it is such a child."""
    if path == "":
        return None
    parent, _, name = path.rpartition(".")
    return utils_veskari.bypassed_children(net.get_submodule(parent)).get(name)


def _is_convertible(module: nn.Module) -> bool:
    # Neuron modules of any class (a subclass is reported, not converted) and
    # blocks that a block-wise-only conversion left behind.
    return isinstance(module, VSKNeuronModule) or is_block(module)


def _outermost(
    net: nn.Module,
    wanted: Callable[[nn.Module], bool],
    whole: Callable[[nn.Module], bool] = converted_whole,
) -> list[tuple[str, nn.Module]]:
    """(path, module) of every wanted module that is not inside a ``whole``
    one, under each of its paths."""
    found: list[tuple[str, nn.Module]] = []
    wholes: list[str] = []
    for path, module in every_path(net):
        if any(_inside(path, outer) for outer in wholes):
            continue
        if wanted(module):
            found.append((path, module))
        if whole(module):
            wholes.append(path)
    return found


def _inside(path: str, outer: str) -> bool:
    return outer == "" or path.startswith(outer + ".")


def _why_skipped(net: nn.Module, path: str, module: nn.Module) -> tuple[str, str]:
    """(kind of reason, why) a neuron module was not converted."""
    if type(module) is not VSKNeuronModule:
        return "subclass", (f"{type(module).__name__} is a subclass of VSKNeuronModule; only "
                            "exact VSKNeuronModule instances are converted")
    if path == "":
        return "root", ("the network itself is a neuron module; the walks replace children "
                        "only (convert a container holding it, e.g. nn.Sequential(module))")
    return _why_unreached(net, path, clean_walk=False)


def _why_unreached(net: nn.Module, path: str, clean_walk: bool) -> tuple[str, str]:
    """Why a walk did not reach ``path``: the first rule on the way that stops it."""
    digit = None  # convert goes on past a digit-named child (veskari._conversion.digit_keys)
    for step in steps(net, path):
        parent, name = step.parent, step.name
        if step.handed_on:
            continue
        if clean_walk and step.inside_tracked:
            return "tracked", (f"it is inside a {type(parent).__name__}, a type on "
                               "get_modules_to_track(), which the clean walk leaves untouched")
        if clean_walk and step.passed_by_clean_walk:
            return "device", f"the clean walk never enters a member named {name!r}"
        if not step.listed():
            if step.digit_named and not step.skip_listed:
                digit = digit or (
                    f"its name {name!r} under {type(parent).__name__} starts with a digit, "
                    "which the walks never reach; convert reaches such children itself, but "
                    "not inside a type on get_modules_to_track()")
                continue
            if not step.digit_named:
                return "other", f"{type(parent).__name__}.__dir__() does not list {name!r}"
        if step.skip_listed:
            return "skip list", (f"{step.walk_name!r} is on the skip list "
                                 "(globals_veskari.pc.get_module_names_to_not_save())")
    if digit:
        return "digit", digit
    return "other", ("the walk did not reach it (for example, it is reached twice through "
                     "one parent)")


def _skip_list_problems(net: nn.Module) -> list[str]:
    """One line per skip-list entry (beyond the defaults) the walks can never match."""
    defaults = GVS.VeskariSettings().get_module_names_to_not_save()
    names: Any = GVS.pc.get_module_names_to_not_save()
    try:
        entries = list(names)
    except TypeError:  # the walks need only `in`; a container without order says no more
        return []
    problems = []
    for entry in entries:
        if not isinstance(entry, str) or entry in defaults or names_a_member(net, entry):
            continue
        if entry.endswith("]"):
            why = ("it names a container child, and the walks test attribute members only; "
                   "name the attribute holding the container or a member below the child "
                   "(e.g. '.encoder' or '.encoder[1].proj')")
        elif not entry.startswith("."):
            why = ("the walks compare path names that start with '.' and put container "
                   "children in brackets (e.g. '.encoder[2].proj', not 'encoder.2.proj')")
        else:
            why = "no attribute member of this network has that path name"
        problems.append(f"the skip-list entry {entry!r} matches nothing: {why}")
    return problems


def _nothing_because(report: ConversionReport) -> str:
    if report.skipped:
        return "; ".join(f"{_shown(path)}: {why}" for path, why in report.skipped)
    if report.already_converted:
        return "the network is already converted"
    return ("the network holds no VSKNeuronModule "
            "(wrap its layers first, e.g. utils_veskari.wrap_layers)")


def _check_outputs(trained: nn.Module, converted: nn.Module, report: ConversionReport,
                   example_inputs: Any, example_kwargs: dict[str, Any]
                   ) -> tuple[float | int, list[str]]:
    """The largest output difference, and the neuron modules that never ran."""
    args = positional(example_inputs)
    expected, called = _trial_run(trained, args, example_kwargs, "the network before conversion")
    actual, _ = _trial_run(converted, args, example_kwargs, "the converted network")
    idle = [path for path, m in trained.named_modules()
            if isinstance(m, VSKNeuronModule) and id(m) not in called]
    try:
        return largest_difference(expected, actual), idle
    except Uncomparable as err:
        raise TypeError(
            f"veskari.convert cannot check the converted network: its {err}. Convert without "
            "example_inputs/example_kwargs to skip the check (the network was left "
            "unconverted)") from err
    except Mismatch as mismatch:
        raise ConversionMismatchError(
            f"the converted network's {mismatch} from the trained network's: largest "
            f"difference {_number(mismatch.difference)} (the network was left unconverted)",
            mismatch.difference, mismatch.where, report) from None


def _trial_run(net: nn.Module, args: tuple[Any, ...], kwargs: dict[str, Any], which: str
               ) -> tuple[Any, set[int]]:
    # Each run on its own copy of the inputs, which it may modify in place.
    own_args, own_kwargs = own_inputs((args, kwargs))
    return trial_forward(net, own_args, own_kwargs, f"veskari.convert: raised by {which} on "
                         "the example inputs (the network was left unconverted)")
