"""Peak memory of veskari.convert with the check against without it.

Each variant runs in a process of its own (peak resident memory only grows,
so one process cannot measure two peaks): it builds an 8 x Linear(2048)
network with two dendrites per layer (384 MiB of parameters), converts it
with or without example inputs, and reports its peak RSS. The ratio is the
check's memory cost; a check that copied the weights would be about 2x.

Usage, from the repository root: python benchmarks/check_memory_bench.py
"""
import os
import resource
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, HERE)

import harness  # noqa: E402

WIDTH, LAYERS, DENDRITES = 2048, 8, 2
TARGET = 1.15


def convert_once(checked):
    """Child side: build, convert, return (peak RSS in MiB, parameter MiB)."""
    import torch
    from torch import nn

    import veskari
    from veskari.utils_veskari import add_dendrites, wrap_layers

    torch.manual_seed(0)
    net = nn.Sequential(*[nn.Linear(WIDTH, WIDTH) for _ in range(LAYERS)])
    net = add_dendrites(wrap_layers(net, [nn.Linear]), DENDRITES).eval()
    weights = sum(p.numel() * p.element_size() for p in net.parameters()) / 2**20
    veskari.convert(net, torch.randn(4, WIDTH) if checked else None)
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024, weights


def peak(checked):
    child = subprocess.run([sys.executable, __file__, "--child", str(int(checked))],
                           capture_output=True, text=True, check=True,
                           env=dict(os.environ, PYTHONPATH=os.path.dirname(HERE)))
    peak_mib, weights = map(float, child.stdout.split())
    return peak_mib, weights


def run():
    print("== memory: peak RSS of convert, with the check / without it ==")
    unchecked, weights = peak(False)
    checked, _ = peak(True)
    ratio = checked / unchecked
    print(f"  {LAYERS} x Linear({WIDTH}), {DENDRITES} dendrites: {weights:.0f} MiB of parameters")
    print(f"  peak without example inputs {unchecked:.0f} MiB, with them {checked:.0f} MiB, "
          f"ratio {ratio:.3f} (target <= {TARGET})")
    print(f"  the check's two digests of the parameters: {digest_seconds():.2f} s per GiB")
    return [harness.Result("check memory: peak checked / unchecked", (ratio, ratio), TARGET)]


def digest_seconds():
    """Seconds per GiB of parameters for the check's two digests (before, after)."""
    import time

    import torch

    from veskari._conversion.weight_watch import digest

    data = torch.randn(2**26)  # 256 MiB
    start = time.perf_counter()
    digest(data)
    return 2 * 4 * (time.perf_counter() - start)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:
        print(*convert_once(sys.argv[2] == "1"))
    else:
        for result in run():
            print(result.line())
