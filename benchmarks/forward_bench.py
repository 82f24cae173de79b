"""Forward pass of one converted layer: native vs the Python reference.

Variants, all on the same block (shared layers and weights), batch 1,
sequential mode, under torch.no_grad(), each timed through `.forward(x)`:
  native     VSKModulePyThread.forward
  python     the reference's forward (same reads and calls, interpreted)
  mandated   straight-line Python making only the calls the forward must
             make on every call: the branch calls, re-slicing each skip-weight
             row, view, tolist, to, *, +, the activation getter and its call
  +reads     mandated plus the attribute reads, lengths and container
             subscripts the forward must repeat on every call, made through
             PyTorch's Python-level module protocol as Python code makes them
  floor      the same arithmetic with every weight row viewed once, up front

glue = (native - mandated) / (python - mandated): the share of the
per-call overhead beyond the mandated calls that the native forward still
pays. The same ratios computed for +reads show where Python code making the
required reads stops; the native forward reads the same values straight from
the modules' tables when their types keep PyTorch's own protocol, so it can
go below that.
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import torch  # noqa: E402
from torch import nn  # noqa: E402

import harness  # noqa: E402
from veskari import globals_veskari as GVS  # noqa: E402
from veskari import reference  # noqa: E402
from veskari.utils_veskari import add_dendrites, wrap_module  # noqa: E402

# Many short windows: on a shared machine the minimum needs some windows
# that nothing else disturbed.
REPEATS = 31
WINDOW = 0.005  # seconds per variant per repeat


def build_block(branches, kind, blockwise):
    with torch.random.fork_rng(devices=[]):
        torch.manual_seed(branches)
        if kind == "linear":
            main, x = nn.Linear(32, 32), torch.randn(1, 32)
        else:
            main, x = nn.Conv2d(4, 4, 3, padding=1), torch.randn(1, 4, 8, 8)
        neuron = wrap_module(main)
        add_dendrites(neuron, branches - 1, seed=branches, init_scale=0.5)
    neuron.eval()
    with torch.no_grad():
        expected = neuron(x)
    return blockwise.convert_to_vsk_layer_block(neuron), x, expected


def _mandated_source(n, reads):
    """Straight-line forward for n branches (no loops, no helper calls)."""
    lines = ["def fn(x):"]
    add = lines.append
    if reads:
        add("    outs = [None] * len(self.layer_array)")
        add("    len(self.layer_array) - 1")
        for c in range(n - 1):
            add(f"    self.processor_array[{c}] != None")
            add(f"    o{c} = self.layer_array[{c}](x)")
            add(f"    self.processor_array[{c}] != None")
        add(f"    o{n - 1} = self.layer_array[-1].forward(x)")
        add("    self.processor_array[-1] is not None")
        add("    len(self.layer_array) - 1")
        add("    len(self.layer_array)")
    else:
        for c in range(n - 1):
            add(f"    o{c} = d{c}(x)")
        add(f"    o{n - 1} = main.forward(x)")
    for out in range(n):
        add(f"    c = o{out}")
        if reads:
            add("    len(self.layer_array) > 1 and hasattr(self, 'skip_weights')")
        if n > 1:
            for i in range(out):
                row = (f"self.skip_weights[{out - 1}]" if reads else f"S{out - 1}")
                vt = "self.view_tuple" if reads else "vt"
                add(f"    c = c + {row}[{i}, :].view({vt}.tolist()).to(c.device) * o{i}")
            if reads:
                add(f"    {out} < len(self.layer_array) - 1")
            if out < n - 1:
                add("    c = GVS.pc.get_vsk_forward_function()(c)" if reads
                    else "    c = pc.get_vsk_forward_function()(c)")
                add(f"    o{out} = c")
        if reads:
            add(f"    outs[{out}] = c")
    if reads:
        add("    self.processor_array[-1] is not None")
    add("    return c")
    return "\n".join(lines) + "\n"


def mandated_fn(layer, reads):
    n = len(layer.layer_array)
    ns = {"self": layer, "GVS": GVS, "pc": GVS.pc, "vt": layer.view_tuple,
          "main": layer.layer_array[-1]}
    for c in range(n - 1):
        ns[f"d{c}"] = layer.layer_array[c]
    for k in range(n - 1):
        ns[f"S{k}"] = layer.skip_weights[k]
    exec(compile(_mandated_source(n, reads), f"<mandated n={n}>", "exec"), ns)
    return ns["fn"]


def floor_fn(layer, x):
    """Branch calls and arithmetic only; rows viewed and moved once."""
    n = len(layer.layer_array)
    dendrites = [layer.layer_array[c] for c in range(n - 1)]
    main = layer.layer_array[-1]
    shape = layer.view_tuple.tolist()
    rows = [[layer.skip_weights[k][i, :].view(shape).to(x.device) for i in range(k + 1)]
            for k in range(n - 1)]
    act = GVS.pc.get_vsk_forward_function()
    src = ["def fn(x):"]
    for c in range(n - 1):
        src.append(f"    o{c} = D[{c}](x)")
    src.append(f"    o{n - 1} = main.forward(x)")
    for out in range(n):
        terms = "".join(f" + R[{out - 1}][{i}] * o{i}" for i in range(out))
        expr = f"o{out}{terms}"
        src.append(f"    o{out} = act({expr})" if out < n - 1 else f"    return {expr}")
    ns = {"D": dendrites, "main": main, "R": rows, "act": act}
    exec(compile("\n".join(src) + "\n", f"<floor n={n}>", "exec"), ns)
    return ns["fn"]


def bench_case(label, branches, kind, clean, blockwise):
    block, x, expected = build_block(branches, kind, blockwise)
    native = clean.make_module(block).eval()
    python = reference.make_module(block).eval()
    fns = {
        "native": lambda: native.forward(x),
        "python": lambda: python.forward(x),
        "mandated": (lambda f: lambda: f(x))(mandated_fn(native, reads=False)),
        "+reads": (lambda f: lambda: f(x))(mandated_fn(native, reads=True)),
        "floor": (lambda f: lambda: f(x))(floor_fn(native, x)),
    }
    with torch.no_grad():
        for name, fn in fns.items():  # every variant computes the same value
            if not torch.allclose(fn(), expected, rtol=1e-5, atol=1e-6):
                raise AssertionError(f"{label}: variant {name} disagrees with the trained layer")
        one = harness.interleaved({"python": fns["python"]}, 1, 50)["python"][0]
        number = max(10, int(WINDOW / one))
        t = harness.interleaved(fns, REPEATS, number)
    print(f"\n{label}: {REPEATS} repeats x {number} calls, us per call (min, median)")
    for name in fns:
        print(f"  {name:<9} {harness.us(t[name])}")
    total = harness.ratio(t["native"], t["python"])
    bound = harness.ratio(t["+reads"], t["python"])
    glue = harness.glue_ratio(t["native"], t["python"], t["mandated"])
    glue_bound = harness.glue_ratio(t["+reads"], t["python"], t["mandated"])
    floor = harness.ratio(t["floor"], t["python"])
    print(f"  native/python            {total[0]:.3f} {total[1]:.3f}")
    print(f"  +reads/python            {bound[0]:.3f} {bound[1]:.3f}   "
          "(Python-level reads alone)")
    print(f"  glue vs mandated         {glue[0]:.3f} {glue[1]:.3f}")
    print(f"  glue of +reads           {glue_bound[0]:.3f} {glue_bound[1]:.3f}   "
          "(Python-level reads alone)")
    print(f"  floor/python             {floor[0]:.3f} {floor[1]:.3f}")
    linear = kind == "linear"
    return [
        harness.Result(f"forward {label}: native/python", total, 0.75 if linear else None),
        harness.Result(f"forward {label}: +reads/python", bound, None),
        harness.Result(f"forward {label}: glue", glue, 0.25),
        harness.Result(f"forward {label}: glue of +reads", glue_bound, None),
        harness.Result(f"forward {label}: floor/python", floor, None),
    ]


CASES = [
    ("linear 4 branches", 4, "linear"),
    ("linear 2 branches", 2, "linear"),
    ("linear 8 branches", 8, "linear"),
    ("conv 4 branches", 4, "conv"),
]


def run():
    clean, blockwise = harness.native_modules()
    if clean is None:
        print("forward: native clean module not built; skipped")
        return []
    print("== forward of one converted layer (torch intra-op threads: 1) ==")
    results = []
    # One intra-op thread: tiny convolutions would otherwise wake a worker
    # thread per call and swamp the overhead being measured.
    with harness.single_thread_torch():
        for label, branches, kind in CASES:
            results += bench_case(label, branches, kind, clean, blockwise or reference)
    return results


if __name__ == "__main__":
    for r in run():
        print(r.line())
