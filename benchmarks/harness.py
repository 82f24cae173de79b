"""Shared timing and reporting helpers for the benchmark scripts.

Timings are interleaved: each repeat runs every variant once, in an order
rotated per repeat, so drift of the machine (frequency, other load) hits
all variants alike. Results are seconds per call for each repeat.
"""
import gc
import os
import statistics
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

import torch  # noqa: E402


def native_modules():
    """(clean, blockwise) native modules; None for one that is not built."""
    found = []
    for name in ("clean_veskari", "blockwise_veskari"):
        try:
            module = __import__(f"veskari.{name}", fromlist=[name])
        except ImportError:  # not built
            module = None
        found.append(module)
    return tuple(found)


def interleaved(variants, repeats, number):
    """Time `number` calls of each zero-argument callable, `repeats` times.

    Returns {name: [seconds per call, one per repeat]}.
    """
    names = list(variants)
    per_call = {name: [] for name in names}
    was_enabled = gc.isenabled()
    gc.disable()  # a collection inside one variant's window would skew it
    try:
        for name in names:  # warm-up: caches, allocator, lazy imports
            for _ in range(max(1, number // 10)):
                variants[name]()
        for r in range(repeats):
            order = names[r % len(names):] + names[:r % len(names)]
            for name in order:
                fn = variants[name]
                start = time.perf_counter()
                for _ in range(number):
                    fn()
                per_call[name].append((time.perf_counter() - start) / number)
    finally:
        if was_enabled:
            gc.enable()
    return per_call


def timed_in_window(label, variants, probe, repeats, window, least):
    """`interleaved` with as many calls per window as fit `window` seconds of
    the `probe` variant (at least `least`); prints and returns the times."""
    one = interleaved({probe: variants[probe]}, 1, least)[probe][0]
    number = max(least, int(window / one))
    per_call = interleaved(variants, repeats, number)
    print(f"\n{label}: {repeats} repeats x {number} calls, us per call (min, median)")
    for name in variants:
        print(f"  {name:<14} {us(per_call[name])}")
    return per_call


def timed_once(setup, action):
    """Seconds taken by action(setup()); setup runs outside the window."""
    arg = setup()
    gc.collect()
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        start = time.perf_counter()
        action(arg)
        return time.perf_counter() - start
    finally:
        if was_enabled:
            gc.enable()


def stats(samples):
    return min(samples), statistics.median(samples)


def ratio(a, b):
    """(min ratio, median ratio) of two sample lists."""
    (a_min, a_med), (b_min, b_med) = stats(a), stats(b)
    return a_min / b_min, a_med / b_med


def glue_ratio(native, python, mandated):
    """(native - mandated) / (python - mandated), on mins and on medians."""
    out = []
    for pick in (min, statistics.median):
        n, p, m = pick(native), pick(python), pick(mandated)
        out.append((n - m) / (p - m) if p != m else float("nan"))
    return tuple(out)


def us(samples):
    lo, med = stats(samples)
    return f"{lo * 1e6:9.2f} {med * 1e6:9.2f}"


class Result:
    """One measured ratio against its target (lower is better)."""

    def __init__(self, name, pair, target, note=""):
        self.name, self.pair, self.target, self.note = name, pair, target, note

    @property
    def mark(self):
        if self.target is None:
            return "info"
        return "PASS" if self.pair[0] <= self.target else "MISS"

    def line(self):
        target = f"<= {self.target:.2f}" if self.target is not None else "-"
        return (f"{self.name:<52} {self.pair[0]:8.3f} {self.pair[1]:8.3f}  "
                f"{target:>8}  {self.mark}{('  ' + self.note) if self.note else ''}")


def header():
    return f"{'ratio':<52} {'min':>8} {'median':>8}  {'target':>8}  mark"


def single_thread_torch():
    """Context: torch intra-op threads set to 1, restored afterwards."""
    class _Ctx:
        def __enter__(self):
            self.saved = torch.get_num_threads()
            torch.set_num_threads(1)

        def __exit__(self, *exc):
            torch.set_num_threads(self.saved)
    return _Ctx()
