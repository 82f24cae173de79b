"""Run every benchmark once and print a summary of ratios against targets.

Usage, from the repository root: python benchmarks/run_all.py
The parity tests (native converters against veskari.reference, which the
benchmarks time as the Python baseline) run first, so the figures are only
read as ratios of two implementations that agree.
Ratios are lower-is-better; the mark compares the ratio of minimums (the
least disturbed estimate on a shared machine) with the target. Marks are
informational: the exit status is 0 whatever they say.
"""
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, HERE)

import check_memory_bench  # noqa: E402
import compile_bench  # noqa: E402
import forward_bench  # noqa: E402
import harness  # noqa: E402
import memory_bench  # noqa: E402
import prepared_bench  # noqa: E402
import threading_bench  # noqa: E402
import walk_bench  # noqa: E402
import whole_model_bench  # noqa: E402


def main():
    start = time.perf_counter()
    print(f"cores {os.cpu_count()}, load average {os.getloadavg()[0]:.2f} at start")
    parity = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                             os.path.join(os.path.dirname(HERE), "tests", "test_parity.py")],
                            cwd=os.path.dirname(HERE), capture_output=True, text=True)
    verdict = parity.stdout.strip().splitlines()[-1] if parity.stdout.strip() else "no output"
    print("parity tests (outputs, paths, messages, call order): " + verdict)
    if parity.returncode != 0:
        print(parity.stdout[-4000:] + parity.stderr[-2000:])

    results = []
    for bench in (forward_bench, prepared_bench, whole_model_bench, walk_bench, threading_bench,
                  memory_bench, check_memory_bench, compile_bench):
        print()
        results += bench.run()

    print(f"\n== summary ({time.perf_counter() - start:.0f} s, "
          f"load average {os.getloadavg()[0]:.2f} at end) ==")
    print(harness.header())
    for r in results:
        print(r.line())
    print(f"{'parity with veskari.reference':<52} "
          + ("agree" if parity.returncode == 0 else "MISMATCH (see above)"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
