"""Build small dendrite networks, convert them for inference, check and time them.

Run against the installed package (``make demo`` installs it first):
``python examples/demo.py [--calls N] [--repeats R]``. Exits non-zero if a
converted network's output differs from the original's. Timings are medians
over interleaved repeats: a single run on a busy machine can be off by a
factor of several.
"""
import argparse
import copy
import statistics
import sys
import time

import torch
from torch import nn

import veskari
from veskari import clean_veskari
from veskari.utils_veskari import add_dendrites, describe, wrap_layers


def build_mlp():
    net = nn.Sequential(nn.Linear(16, 32), nn.ReLU(), nn.Linear(32, 32), nn.ReLU(),
                        nn.Linear(32, 4))
    wrap_layers(net, [nn.Linear])
    add_dendrites(net, 2, seed=1, init_scale=0.5)
    return net.eval(), (torch.randn(8, 16),)


def build_convnet():
    net = nn.Sequential(
        nn.Conv2d(3, 8, 3, padding=1), nn.ReLU(),
        nn.Conv2d(8, 8, 3, padding=1), nn.ReLU(),
        nn.AdaptiveAvgPool2d(1), nn.Flatten(), nn.Linear(8, 5))
    wrap_layers(net, [nn.Conv2d, nn.Linear])
    add_dendrites(net, 2, seed=2, init_scale=0.5)
    return net.eval(), (torch.randn(4, 3, 12, 12),)


def time_per_call(net, args, calls):
    start = time.perf_counter()
    for _ in range(calls):
        net(*args)
    return (time.perf_counter() - start) / calls


def compare_speed(trained, converted, args, calls, repeats):
    """Times per call of both networks, over repeats that alternate between them."""
    for net in (trained, converted):
        time_per_call(net, args, 10)  # warm-up
    t_trained, t_converted = [], []
    for _ in range(repeats):
        t_trained.append(time_per_call(trained, args, calls))
        t_converted.append(time_per_call(converted, args, calls))
    return t_trained, t_converted


def outputs_match(label, expected, actual):
    try:
        torch.testing.assert_close(actual, expected)
    except AssertionError as err:
        print(f"  {label}: MISMATCH\n{err}")
        return False
    print(f"  {label}: outputs match the trained network's")
    return True


def run(name, net, args, calls, repeats):
    print(f"\n== {name} ==\n  built, with dendrites:\n    "
          + describe(net).replace("\n", "\n    "))
    trained = copy.deepcopy(net)  # conversion works in place
    net, report = veskari.convert(net, example_inputs=args)
    print("  converted with veskari.convert:\n    " + str(report).replace("\n", "\n    "))

    ok = True
    with torch.no_grad():
        expected = trained(*args)
        ok &= outputs_match("sequential mode", expected, net(*args))
        clean_veskari.doing_threading = True
        try:
            ok &= outputs_match("threaded mode", expected, net(*args))
        finally:
            clean_veskari.doing_threading = False
        print(f"  timing {repeats} repeats of {calls} calls each, alternating ...", flush=True)
        t_trained, t_converted = compare_speed(trained, net, args, calls, repeats)
    med_trained, med_converted = statistics.median(t_trained), statistics.median(t_converted)
    ratios = [a / b for a, b in zip(t_trained, t_converted, strict=True)]
    print(f"  median time per call: trained {med_trained * 1e6:.1f} us, "
          f"converted {med_converted * 1e6:.1f} us")
    print(f"  speed-up (trained / converted, ratio of the medians): "
          f"{med_trained / med_converted:.2f}x; per repeat from {min(ratios):.2f}x "
          f"to {max(ratios):.2f}x")
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=200, help="forward calls per repeat")
    parser.add_argument("--repeats", type=int, default=7, help="timed repeats per network")
    options = parser.parse_args()

    print(f"veskari {veskari.__version__}, torch {torch.__version__}")
    torch.manual_seed(0)
    ok = True
    for name, build in (("mlp", build_mlp), ("convnet", build_convnet)):
        net, args = build()
        ok &= run(name, net, args, options.calls, options.repeats)
    print("\nall outputs match" if ok else "\nSOME OUTPUTS DIFFER")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
