"""Run every benchmark once and print a summary of ratios against targets.

Usage, from the repository root: python benchmarks/run_all.py
Ratios are lower-is-better; the mark compares the ratio of minimums (the
least disturbed estimate on a shared machine) with the target. Marks are
informational: the exit status is 0 whatever they say.
"""
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, HERE)

import compile_bench  # noqa: E402
import forward_bench  # noqa: E402
import harness  # noqa: E402
import memory_bench  # noqa: E402
import order_check  # noqa: E402
import selfcheck  # noqa: E402
import threading_bench  # noqa: E402
import walk_bench  # noqa: E402


def main():
    start = time.perf_counter()
    print(f"cores {os.cpu_count()}, load average {os.getloadavg()[0]:.2f} at start")
    notes = []
    problems = selfcheck.self_check(("mlp", "resnet", "transformer", "recurrent"), notes=notes)
    print("self-check: " + ("native and reference agree on every example network"
                            if not problems else "MISMATCH"))
    for p in problems:
        print("  " + p)
    for n in notes:
        print("  note: " + n)
    order = order_check.order_check()
    print("call order: " + ("native and reference agree" if not order else "differences"))
    for p in order:
        print("  " + p)

    results = []
    for bench in (forward_bench, walk_bench, threading_bench, memory_bench, compile_bench):
        print()
        results += bench.run()

    print(f"\n== summary ({time.perf_counter() - start:.0f} s, "
          f"load average {os.getloadavg()[0]:.2f} at end) ==")
    print(harness.header())
    for r in results:
        print(r.line())
    print(f"{'self-check (outputs, paths, messages)':<52} "
          + ("agree" if not problems else f"{len(problems)} mismatches"))
    print(f"{'call order (forward, walks)':<52} "
          + ("agree" if not order else f"{len(order)} kinds of difference (see above)"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
