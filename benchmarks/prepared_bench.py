"""Eager forward of the layer veskari.convert returns, against the native one.

Per case, in one run, interleaved, batch 1, sequential mode, no_grad, one
intra-op thread:
  prepared  InferenceLayer.forward (skip-weight rows viewed once)
  native    VSKModulePyThread.forward (every row re-sliced, viewed, moved)
  floor     the forward bench's floor: the same arithmetic, straight-line,
            with every row viewed once and the activation fetched once
Layers are timed through `.forward(x)` as the forward bench does; the two
networks through a whole call, converted with prepare=True against False.
"""
import copy
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

import torch  # noqa: E402

import forward_bench  # noqa: E402
import harness  # noqa: E402
import networks  # noqa: E402
import veskari  # noqa: E402
from veskari import inference  # noqa: E402

REPEATS = 31
WINDOW = 0.005


def _timed(label, fns, check):
    with torch.no_grad():
        reference = fns[check]()
        for name, fn in fns.items():
            if name != "floor" and not all(
                    map(torch.equal, torch.utils._pytree.tree_leaves(fn()),
                        torch.utils._pytree.tree_leaves(reference))):
                raise AssertionError(f"{label}: {name} is not bitwise equal to {check}")
        one = harness.interleaved({check: fns[check]}, 1, 50)[check][0]
        number = max(10, int(WINDOW / one))
        t = harness.interleaved(fns, REPEATS, number)
    print(f"\n{label}: {REPEATS} repeats x {number} calls, us per call (min, median)")
    for name in fns:
        print(f"  {name:<9} {harness.us(t[name])}")
    return t


def layer_case(label, branches, kind, clean, blockwise):
    block, x, _ = forward_bench.build_block(branches, kind, blockwise)
    native = clean.make_module(block).eval()
    prepared = clean.make_module(block).eval()
    inference.prepare(prepared)
    fns = {"prepared": lambda: prepared.forward(x), "native": lambda: native.forward(x),
           "floor": (lambda f: lambda: f(x))(forward_bench.floor_fn(native, x))}
    t = _timed(label, fns, "native")
    vs_native = harness.ratio(t["prepared"], t["native"])
    vs_floor = harness.ratio(t["prepared"], t["floor"])
    print(f"  prepared/native          {vs_native[0]:.3f} {vs_native[1]:.3f}")
    print(f"  prepared/floor           {vs_floor[0]:.3f} {vs_floor[1]:.3f}")
    target = kind == "linear" and branches == 4
    return [harness.Result(f"prepared {label}: prepared/native", vs_native,
                           0.6 if target else None),
            harness.Result(f"prepared {label}: prepared/floor", vs_floor,
                           1.15 if target else None)]


def network_case(name):
    net, args = getattr(networks, name)()
    native, _ = veskari.convert(copy.deepcopy(net), prepare=False)
    prepared, _ = veskari.convert(net)
    t = _timed(f"network {name}", {"prepared": lambda: prepared(*args),
                                   "native": lambda: native(*args)}, "native")
    vs_native = harness.ratio(t["prepared"], t["native"])
    print(f"  prepared/native          {vs_native[0]:.3f} {vs_native[1]:.3f}")
    return [harness.Result(f"prepared network {name}: prepared/native", vs_native, None)]


def run():
    clean, blockwise = harness.native_modules()
    if clean is None:
        print("prepared: native clean module not built; skipped")
        return []
    print("== eager forward of the prepared layer (torch intra-op threads: 1) ==")
    results = []
    with harness.single_thread_torch():
        for label, branches, kind in forward_bench.CASES:
            results += layer_case(label, branches, kind, clean, blockwise)
        for name in ("mlp", "transformer"):
            results += network_case(name)
    return results


if __name__ == "__main__":
    for r in run():
        print(r.line())
