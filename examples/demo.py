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

from veskari import blockwise_veskari, clean_veskari
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


def module_types(net):
    return {name or "<root>": type(m) for name, m in net.named_modules()}


def replaced_paths(before, after):
    """Outermost module paths whose type changed or that disappeared."""
    changed = sorted(name for name, kind in before.items() if after.get(name) is not kind)
    return [name for name in changed
            if not any(name.startswith(other + ".") for other in changed)]


def time_per_call(net, args, calls):
    start = time.perf_counter()
    for _ in range(calls):
        net(*args)
    return (time.perf_counter() - start) / calls


def compare_speed(trained, converted, args, calls, repeats):
    """Median time per call of both networks and the median and range of
    their ratio, over repeats that alternate between the two."""
    for net in (trained, converted):
        time_per_call(net, args, 10)  # warm-up
    t_trained, t_converted, ratios = [], [], []
    for _ in range(repeats):
        t_trained.append(time_per_call(trained, args, calls))
        t_converted.append(time_per_call(converted, args, calls))
        ratios.append(t_trained[-1] / t_converted[-1])
    return (statistics.median(t_trained), statistics.median(t_converted),
            statistics.median(ratios), min(ratios), max(ratios))


def outputs_match(label, expected, actual):
    try:
        torch.testing.assert_close(actual, expected)
    except AssertionError as err:
        print(f"  {label}: MISMATCH\n{err}")
        return False
    print(f"  {label}: outputs match")
    return True


def convert(net):
    """Convert in place, both ways; refresh_net hands back the network to use."""
    blockwise_veskari.blockwise_network(net)
    return clean_veskari.refresh_net(net)


def run(name, net, args, calls, repeats):
    print(f"\n== {name} ==\n{describe(net)}")
    trained = copy.deepcopy(net)  # conversion works in place
    before = module_types(net)
    net = convert(net)
    print("  replaced: " + (", ".join(replaced_paths(before, module_types(net))) or "nothing"))

    ok = True
    with torch.no_grad():
        expected = trained(*args)
        ok &= outputs_match("sequential", expected, net(*args))
        clean_veskari.doing_threading = True
        try:
            ok &= outputs_match("threaded", expected, net(*args))
        finally:
            clean_veskari.doing_threading = False
        t_trained, t_converted, ratio, low, high = compare_speed(trained, net, args, calls, repeats)
    print(f"  time per call, median of {repeats} repeats of {calls} calls: "
          f"trained {t_trained * 1e6:.1f} us, converted {t_converted * 1e6:.1f} us; "
          f"speed-up {ratio:.2f}x (range {low:.2f}x to {high:.2f}x)")
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=200, help="forward calls per repeat")
    parser.add_argument("--repeats", type=int, default=7, help="timed repeats per network")
    options = parser.parse_args()

    torch.manual_seed(0)
    ok = True
    for name, build in (("mlp", build_mlp), ("convnet", build_convnet)):
        net, args = build()
        ok &= run(name, net, args, options.calls, options.repeats)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
