"""Threaded vs sequential forward of a converted layer (native).

Heavy: 4 branches of Conv2d(64, 64, 3x3) on 1x64x128x128, torch limited
to one intra-op thread, so any speed-up comes from the branch threads
(convolutions release the interpreter lock). Tiny: 4 branches of
Linear(8, 8), batch 1, where the per-call price of creating, starting and
joining one thread per branch shows on its own; the reference's figure is
beside it (its worker threads do not carry the caller's autograd mode).
"""
import os
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import torch  # noqa: E402
from torch import nn  # noqa: E402

import harness  # noqa: E402
from veskari import reference  # noqa: E402
from veskari.utils_veskari import add_dendrites, wrap_module  # noqa: E402


def converted_neuron(main, branches, seed):
    with torch.random.fork_rng(devices=[]):
        torch.manual_seed(seed)
        neuron = wrap_module(main)
        add_dendrites(neuron, branches - 1, seed=seed, init_scale=0.1)
    return neuron


def converted(clean, blockwise, main, branches, seed):
    neuron = converted_neuron(main, branches, seed)
    return clean.make_module(blockwise.convert_to_vsk_layer_block(neuron)).eval()


def modes(clean, layer, x):
    """Zero-argument callables for each mode; the flag is set per call."""
    def sequential():
        clean.doing_threading = False
        return layer.forward(x)

    def threaded():
        clean.doing_threading = True
        return layer.forward(x)
    return {"sequential": sequential, "threaded": threaded}


def branch_calls(layer):
    n = len(layer.layer_array)
    return [layer.layer_array[k] for k in range(n - 1)] + [layer.layer_array[-1].forward]


def plain_sequential(layer, x):
    """The branch convolutions alone, one after another."""
    calls = branch_calls(layer)

    def run():
        for call in calls:
            call(x)
    return run


def plain_threads(layer, x):
    """The branch convolutions alone on one plain thread each: what the
    machine allows at this moment, with no module code around them."""
    calls = branch_calls(layer)

    def run():
        threads = [threading.Thread(target=call, args=(x,)) for call in calls]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    return run


def run():
    clean, blockwise = harness.native_modules()
    if clean is None:
        print("threading: native clean module not built; skipped")
        return []
    blockwise = blockwise or reference
    saved = clean.doing_threading, reference.doing_threading
    results = []
    try:
        with harness.single_thread_torch(), torch.no_grad():
            heavy = converted(clean, blockwise, nn.Conv2d(64, 64, 3, padding=1), 4, 1)
            x = torch.randn(1, 64, 128, 128, generator=torch.Generator().manual_seed(0))
            fns = modes(clean, heavy, x)
            fns["plain seq"] = plain_sequential(heavy, x)
            fns["plain threads"] = plain_threads(heavy, x)
            if not torch.allclose(fns["sequential"](), fns["threaded"](), rtol=1e-5, atol=1e-5):
                print("  MISMATCH threading: modes disagree on the heavy layer")
            t = harness.interleaved(fns, 5, 2)
            pair = harness.ratio(t["threaded"], t["sequential"])
            # What threading could reach now: the branches as plain threads
            # plus the part that stays sequential (merge and glue).
            attainable = [p + s - q for p, s, q in
                          zip(t["plain threads"], t["sequential"], t["plain seq"], strict=True)]
            plain = harness.ratio(attainable, t["sequential"])
            print(f"== threading ({torch.get_num_threads()} intra-op thread, "
                  f"{os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f}) ==")
            print("  heavy 4 x Conv2d(64,64,3) on 1x64x128x128: ms per call (min, median)")
            for name, samples in t.items():
                lo, med = harness.stats(samples)
                print(f"    {name:<13} {lo * 1e3:9.1f} {med * 1e3:9.1f}")
            print(f"    threaded/sequential       {pair[0]:.3f} {pair[1]:.3f}")
            print(f"    attainable/sequential     {plain[0]:.3f} {plain[1]:.3f}  "
                  "(plain threads + sequential part: the machine's bound right now)")
            results.append(harness.Result("threading heavy conv: threaded/sequential", pair, 0.65))
            results.append(harness.Result("threading heavy conv: attainable/sequential",
                                          plain, None))

            tiny = converted(clean, blockwise, nn.Linear(8, 8), 4, 2)
            twin = reference.make_module(blockwise.convert_to_vsk_layer_block(
                converted_neuron(nn.Linear(8, 8), 4, 2))).eval()
            x = torch.randn(1, 8)
            fns = modes(clean, tiny, x)
            fns.update({"python " + k: v for k, v in modes(reference, twin, x).items()})
            t = harness.interleaved(fns, 15, 200)
            print("  tiny 4 x Linear(8,8), batch 1: us per call (min, median)")
            for name in fns:
                print(f"    {name:<18} {harness.us(t[name])}")
            for label, prefix in (("native", ""), ("python", "python ")):
                (s_min, s_med) = harness.stats(t[prefix + "sequential"])
                (m_min, m_med) = harness.stats(t[prefix + "threaded"])
                print(f"    {label}: threaded mode costs {(m_min - s_min) * 1e6:.1f} us "
                      f"(median {(m_med - s_med) * 1e6:.1f} us) more per call, "
                      f"{(m_min - s_min) * 1e6 / 4:.1f} us per branch thread")
            results.append(harness.Result("threading tiny linear: threaded/sequential",
                                          harness.ratio(t["threaded"], t["sequential"]), None))
    finally:
        clean.doing_threading, reference.doing_threading = saved
    return results


if __name__ == "__main__":
    for r in run():
        print(r.line())
