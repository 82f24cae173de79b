"""Whole-network conversion: native walks vs the Python reference.

A generated network of about 10,000 modules, about 1,000 of them neuron
modules (small Linear layers with one or two dendrites), placed as
attributes, in nn.Sequential and in nn.ModuleList, several levels deep.
Each repeat converts a fresh deep copy (made outside the timed region):
blockwise_network, then refresh_net, each timed on its own with the cyclic
garbage collector paused, so a collection pass lands in neither window.
"""
import copy
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import torch  # noqa: E402
from torch import nn  # noqa: E402

import harness  # noqa: E402
from veskari import reference  # noqa: E402
from veskari.modules_veskari import VSKNeuronModule  # noqa: E402
from veskari.utils_veskari import wrap_module  # noqa: E402

REPEATS = 4
WIDTH, DEPTH = 3, 5  # 364 groups of 3 neuron modules


def neuron(index, gen):
    module = wrap_module(nn.Linear(4, 4))
    module.add_dendrites(1 + index % 2, lambda: nn.Linear(4, 4), generator=gen, init_scale=0.5)
    if index % 2:  # trained parameters may still carry the wrapping marker
        for p in module.main_module.parameters():
            p.wrapped = True
    return module


class Group(nn.Module):
    def __init__(self, depth, gen, counter, width=WIDTH):
        super().__init__()

        def next_neuron():
            counter[0] += 1
            return neuron(counter[0], gen)

        self.proj = next_neuron()
        self.act = nn.ReLU()
        self.stack = nn.Sequential(next_neuron(), nn.Tanh(),
                                   nn.Sequential(next_neuron(), nn.Identity()))
        if depth > 0:
            self.subs = nn.ModuleList([Group(depth - 1, gen, counter, width)
                                       for _ in range(width)])

    def forward(self, x):
        x = self.stack(self.act(self.proj(x)))
        for sub in getattr(self, "subs", []):
            x = torch.tanh(x + sub(x))
        return x


def template(width=WIDTH, depth=DEPTH):
    with torch.random.fork_rng(devices=[]):
        torch.manual_seed(0)
        gen = torch.Generator().manual_seed(0)
        net = Group(depth, gen, [0], width).eval()
    return net


def counts(net):
    modules = list(net.modules())
    return len(modules), sum(type(m) is VSKNeuronModule for m in modules)


def output_problems(trained, converted):
    """Differences between the trained network's output and each conversion's."""
    x = torch.randn(2, 4, generator=torch.Generator().manual_seed(1))
    with torch.no_grad():
        expected = trained(x)
        return [f"walk: {label} conversion changes the network's output"
                for label, net in converted.items()
                if not torch.allclose(net(x), expected, rtol=1e-5, atol=1e-6)]


def run():
    clean, blockwise = harness.native_modules()
    if clean is None or blockwise is None:
        print("walk: native converters not built; skipped")
        return []
    net = template()
    n_modules, n_neurons = counts(net)
    print(f"== network walks: {n_modules} modules, {n_neurons} neuron modules, "
          f"{REPEATS} repeats ==")
    impls = {"native": (blockwise, clean), "python": (reference, reference)}
    t = {f"{k} {part}": [] for k in impls for part in ("blockwise", "refresh", "total")}
    first = {}
    for r in range(REPEATS):
        order = list(impls) if r % 2 == 0 else list(impls)[::-1]
        for name in order:
            bw, cl = impls[name]
            holder = {}
            # Each function is called within this iteration; the defaults
            # only bind the loop's values explicitly.
            t_block = harness.timed_once(
                lambda: copy.deepcopy(net),
                lambda fresh, bw=bw, holder=holder: holder.setdefault(
                    "net", bw.blockwise_network(fresh)))
            t_clean = harness.timed_once(
                lambda holder=holder: holder.pop("net"),
                lambda blocks, cl=cl, holder=holder: holder.setdefault(
                    "done", cl.refresh_net(blocks)))
            if r == 0:
                first[name] = holder["done"]
            t[f"{name} blockwise"].append(t_block)
            t[f"{name} refresh"].append(t_clean)
            t[f"{name} total"].append(t_block + t_clean)
    for p in output_problems(net, first):
        print("  MISMATCH " + p)
    print("  ms per conversion (min, median)")
    for key, samples in t.items():
        lo, med = harness.stats(samples)
        print(f"  {key:<17} {lo * 1e3:9.1f} {med * 1e3:9.1f}")
    results = []
    for part, target in (("total", 0.6), ("blockwise", None), ("refresh", None)):
        pair = harness.ratio(t[f"native {part}"], t[f"python {part}"])
        print(f"  native/python {part:<10} {pair[0]:.3f} {pair[1]:.3f}")
        results.append(harness.Result(f"walk {part}: native/python", pair, target))
    return results


if __name__ == "__main__":
    for r in run():
        print(r.line())
