"""torch.compile on converted networks: what preparing them buys.

Variants, per example network (MLP, residual conv net) and batch size (1,
32), one intra-op thread, under torch.no_grad(), all on the same weights:
  trained eager       the trained network
  converted eager     the converted network as the walks leave it
  prepared eager      the same after veskari.inference.prepare (native
                      forward plus the dispatch of the prepared class)
  trained compiled    torch.compile(trained network)
  prepared compiled   torch.compile(prepared network)

Targets: prepared compiled at most 1.05x trained compiled (preparing loses
nothing against compiling the trained network) and at most 0.75x converted
eager (compiling a prepared network is worth it). Compiling the converted
network unprepared breaks the graph at every converted layer; it is not
timed here.
"""
import copy
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

import torch  # noqa: E402

import harness  # noqa: E402
from networks import ALL_NETWORKS  # noqa: E402

REPEATS = 31
WINDOW = 0.02  # seconds per variant per repeat
BATCHES = (1, 32)
NETS = ("mlp", "resnet")
VARIANTS = ("trained eager", "converted eager", "prepared eager", "trained compiled",
            "prepared compiled")


def build(name, clean, blockwise):
    """{variant: module} sharing one set of weights, and the input maker."""
    from veskari.inference import prepare

    trained, args = ALL_NETWORKS[name]()

    def converted():
        net = copy.deepcopy(trained)
        blockwise.blockwise_network(net)
        return clean.refresh_net(net)

    prepared = prepare(converted())
    modules = {
        "trained eager": trained,
        "converted eager": converted(),
        "prepared eager": prepared,
        "trained compiled": torch.compile(trained, dynamic=False),
        "prepared compiled": torch.compile(prepared, dynamic=False),
    }
    feature_shape = args[0].shape[1:]

    def inputs(batch):
        return torch.randn(batch, *feature_shape, generator=torch.Generator().manual_seed(batch))
    return modules, inputs


def calls_per_window(fn):
    # The fastest of a few short runs: one disturbed run must not shrink
    # every window to a handful of calls.
    fastest = float("inf")
    for _ in range(7):
        start = time.perf_counter()
        for _ in range(3):
            fn()
        fastest = min(fastest, (time.perf_counter() - start) / 3)
    return max(3, int(WINDOW / fastest))


def bench_case(name, batch, modules, x):
    fns = {v: (lambda m: lambda: m(x))(modules[v]) for v in VARIANTS}
    start = time.perf_counter()
    outs = {v: fns[v]() for v in VARIANTS}  # compiles the two compiled variants
    compile_seconds = time.perf_counter() - start
    for v in VARIANTS[1:]:
        if not torch.allclose(outs[v], outs["trained eager"], rtol=1e-4, atol=1e-5):
            print(f"  MISMATCH compile {name} batch {batch}: {v} differs from trained eager")
    number = calls_per_window(fns["converted eager"])
    t = harness.interleaved(fns, REPEATS, number)
    label = f"{name} batch {batch}"
    print(f"\n{label}: {REPEATS} repeats x {number} calls, us per call (min, median); "
          f"first calls incl. compiling {compile_seconds:.0f} s")
    for v in VARIANTS:
        print(f"  {v:<18} {harness.us(t[v])}")
    return [
        harness.Result(f"compile {label}: prepared/trained compiled",
                       harness.ratio(t["prepared compiled"], t["trained compiled"]), 1.05),
        harness.Result(f"compile {label}: prepared compiled/conv eager",
                       harness.ratio(t["prepared compiled"], t["converted eager"]), 0.75),
        harness.Result(f"compile {label}: prepared/converted eager",
                       harness.ratio(t["prepared eager"], t["converted eager"]), None),
    ]


def run():
    clean, blockwise = harness.native_modules()
    if clean is None or blockwise is None:
        print("compile: native modules not built; skipped")
        return []
    results = []
    with harness.single_thread_torch(), torch.no_grad():
        print(f"== torch.compile on converted networks ({torch.get_num_threads()} intra-op "
              f"thread, load average {os.getloadavg()[0]:.2f}) ==")
        for name in NETS:
            modules, inputs = build(name, clean, blockwise)
            for batch in BATCHES:
                results += bench_case(name, batch, modules, inputs(batch))
    for r in results:
        print(r.line())
    return results


if __name__ == "__main__":
    print(harness.header())
    run()
