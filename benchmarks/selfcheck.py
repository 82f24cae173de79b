"""Check that the Python reference and the native converters agree.

For each example network, one copy goes through the native converters and
one through the Python reference. Compared: the outputs (sequential and
threaded) against the trained network, the walk's recorded path lists, the
verbose diagnostics, and the converted network's structure and state.
Returns a list of mismatch descriptions; empty means they agree.
"""
import contextlib
import copy
import io
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tests"))

import torch  # noqa: E402

import harness  # noqa: E402
import reference  # noqa: E402
from networks import ALL_NETWORKS  # noqa: E402
from veskari import globals_veskari as GVS  # noqa: E402


def _convert(net, blockwise, clean, verbose):
    """Both walks with lists we keep; returns (net, lists, printed lines)."""
    block_list, clean_list = [], []
    saved = GVS.pc.get_extra_verbose()
    GVS.pc.set_extra_verbose(verbose)
    out = io.StringIO()
    try:
        with contextlib.redirect_stdout(out):
            net = blockwise.optimize_module(net, 0, "", block_list)
            net = clean.refresh_vsk(net, 0, "", clean_list)
    finally:
        GVS.pc.set_extra_verbose(saved)
    # The reference's class has its own name; the rest of each line must match.
    lines = out.getvalue().replace("PyModulePyThread", "VSKModulePyThread").splitlines()
    return net, (block_list, clean_list), lines


def _structure(net):
    return [(name, type(m).__name__.replace("PyModulePyThread", "VSKModulePyThread"))
            for name, m in net.named_modules()]


def _run(net, args, clean, threaded):
    saved = clean.doing_threading
    clean.doing_threading = threaded
    try:
        with torch.no_grad():
            return net(*args)
    finally:
        clean.doing_threading = saved


def _flat(out):
    if isinstance(out, torch.Tensor):
        return [out]
    return [t for item in out for t in _flat(item)]


def _close(a, b):
    a, b = _flat(a), _flat(b)
    return len(a) == len(b) and all(torch.allclose(x, y, rtol=1e-5, atol=1e-6)
                                    for x, y in zip(a, b))


def check_network(name, native_clean, native_blockwise, verbose=False, notes=None):
    problems = []
    trained, args = ALL_NETWORKS[name]()
    with torch.no_grad():
        expected = trained(*args)
    nat, nat_lists, nat_lines = _convert(copy.deepcopy(trained), native_blockwise,
                                         native_clean, verbose)
    ref, ref_lists, ref_lines = _convert(copy.deepcopy(trained), reference, reference, verbose)
    for label, (a, b) in zip(("block-wise path list", "clean path list"),
                             zip(nat_lists, ref_lists)):
        if a != b:
            first = next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
            problems.append(f"{name}: {label} differs at entry {first} "
                            f"(native {a[first:first + 1]}, reference {b[first:first + 1]}; "
                            f"lengths {len(a)} / {len(b)})")
    if nat_lines != ref_lines:
        first = next((i for i, (x, y) in enumerate(zip(nat_lines, ref_lines)) if x != y),
                     min(len(nat_lines), len(ref_lines)))
        problems.append(f"{name}: verbose output differs at line {first} "
                        f"(native {nat_lines[first:first + 1]!r:.200}, "
                        f"reference {ref_lines[first:first + 1]!r:.200})")
    if _structure(nat) != _structure(ref):
        problems.append(f"{name}: converted module trees differ")
    nat_state, ref_state = nat.state_dict(), ref.state_dict()
    if list(nat_state) != list(ref_state):
        problems.append(f"{name}: state_dict keys differ")
    elif not all(torch.equal(nat_state[k], ref_state[k]) for k in nat_state):
        problems.append(f"{name}: state_dict values differ")
    for threaded in (False, True):
        mode = "threaded" if threaded else "sequential"
        got_nat = _run(nat, args, native_clean, threaded)
        got_ref = _run(ref, args, reference, threaded)
        if not _close(got_nat, expected):
            problems.append(f"{name}: native {mode} output differs from the trained network")
        if not _close(got_ref, expected):
            problems.append(f"{name}: reference {mode} output differs from the trained network")
        if not _close(got_nat, got_ref):
            problems.append(f"{name}: native and reference {mode} outputs differ")
        # Worker threads start in grad mode; the native forward carries the
        # caller's mode into them, the literal reference does not.
        grads = [t.requires_grad for t in _flat(got_nat)], [t.requires_grad for t in _flat(got_ref)]
        if grads[0] != grads[1] and notes is not None:
            notes.append(f"{name}: {mode} under no_grad: output requires_grad native "
                         f"{grads[0]} vs reference {grads[1]}")
    return problems


def self_check(names=("mlp",), verbose=True, notes=None):
    """Mismatches between native and reference on the named example networks.

    Differences that are deliberate on the native side (not mismatches of
    value) go to `notes` when a list is given.
    """
    clean, blockwise = harness.native_modules()
    if clean is None or blockwise is None:
        return ["native converters not built: run `make build`"]
    problems = []
    for name in names:
        problems += check_network(name, clean, blockwise, verbose=verbose, notes=notes)
    return problems


def main():
    notes = []
    problems = self_check(tuple(ALL_NETWORKS), verbose=True, notes=notes)
    print("self-check (all example networks): "
          + ("native and reference agree" if not problems else "MISMATCH"))
    for p in problems:
        print("  " + p)
    for n in notes:
        print("  note: " + n)
    return problems


if __name__ == "__main__":
    main()
