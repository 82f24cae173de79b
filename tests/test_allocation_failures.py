"""Allocation-failure sweep of every public function and of the forward.

A child interpreter runs with tests/failmalloc.c preloaded (it fails the
n-th malloc/calloc/realloc of the calling thread, C++ `new` included, which
_testcapi.set_nomemory cannot reach) and with PYTHONMALLOC=malloc, so every
interpreter allocation goes through it too. For each target and each n in
turn, one call runs with the n-th allocation failing; it must end in a
result or an ordinary exception: never a crash, never a SystemError for an
exception left set with a value returned (or none set with NULL), and the
interpreter must still compute the right answer afterwards.

`make test` runs a sample of the n for the forward, the slow run for every
target; `make sweep` (VESKARI_SWEEP=full) all.
"""
import contextlib
import functools
import os
import re
import subprocess
import sys
import threading

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
SHIM_SOURCE = os.path.join(HERE, "failmalloc.c")
FULL = os.environ.get("VESKARI_SWEEP") == "full"
SAMPLE_STRIDE = 97  # in `make test`: every 97th allocation, plus the first 40

# Faults of CPython and PyTorch themselves when one of their own
# allocations fails: a crash or broken call whose failed allocation was made
# inside one of these (before any frame of ours) is not ours.
OUTSIDE_FAULTS = {
    # dictiter_new() crashes when one of its own allocations fails (a known
    # fault of 3.11's dict iterators; the sample and full sweeps here have not
    # met it, but a larger network would).
    "dictiter_new": "a dict iterator half-built on a failed allocation",
    # Thread.start() waits for ever when the new thread's bootstrap cannot
    # allocate; the shim therefore fails only the calling thread's allocations.
    "thread_run": "a new thread's bootstrap failing leaves Thread.start() waiting",
    # Clearing a frame whose frame object cannot be made clears the exception
    # in flight (frame.c take_ownership), so the call returns NULL without one.
    "take_ownership": "a frame cleared on a failed allocation drops the pending exception",
    # PyTorch: an autograd node's destructor allocates, and a failure there
    # throws out of a noexcept destructor (std::terminate).
    "torch8autograd4NodeD": "freeing a tensor's autograd node allocates in a noexcept path",
    # PyTorch's pybind11 objects, met in torch.inference_mode().__enter__
    # (torch._C._InferenceMode): pybind11_meta_call uses the instance that
    # pybind11_object_new failed to allocate (a segfault), and register_instance
    # lets std::bad_alloc out through a noexcept frame (std::terminate). Control:
    # `with torch.inference_mode(): pass` under this shim, no veskari imported,
    # dies the same two ways, at its allocations 8 and 11 of 13.
    "pybind11_object_new": "a pybind11 object of PyTorch's whose allocation failed is used",
    "pybind116detail17register_instance": "pybind11 registering an instance throws bad_alloc "
                                          "through a noexcept frame",
}
if sys.version_info >= (3, 12):
    # A function object that MAKE_FUNCTION cannot allocate leaves the frame
    # broken: a crash soon after. Control: `lambda: x` made under this shim,
    # no veskari imported, crashes 3.12.1 and 3.13.0 (3.11.7 raises MemoryError).
    OUTSIDE_FAULTS["PyFunction_NewWithQualName"] = "3.12+: MAKE_FUNCTION failing breaks its frame"

TARGETS = ["blockwise_network", "optimize_module", "convert_to_vsk_layer_block",
           "unWrap_params", "blockwise.get_pretrained_vsk_attr",
           "blockwise.get_pretrained_vsk_var", "refresh_net", "refresh_vsk", "make_module",
           "clean.get_pretrained_vsk_attr", "clean.get_pretrained_vsk_var", "forward",
           "forward-threaded", "forward-threaded-no-grad", "forward-threaded-inference",
           "forward-threaded-autocast", "forward-prepared", "forward-prepared-cold",
           "process_and_forward",
           "process_and_pre",
           # The allocations of one worker thread of a threaded forward (see WorkerArming).
           "worker-main", "worker-dendrite"]


# --- The child side: runs the calls with the shim armed.

def child_targets():
    """name -> factory of a call without arguments, on inputs built afresh
    (the walks convert in place)."""
    import torch
    from torch import nn

    from veskari import blockwise_veskari as B
    from veskari import clean_veskari as C
    from veskari.modules_veskari import Processor, VSKNeuronModule

    def neuron():
        torch.manual_seed(0)
        m = VSKNeuronModule(nn.Linear(3, 3), [-1, 0], 1, processor=Processor())
        m.add_dendrites(2, lambda: nn.Linear(3, 3), processor_factory=Processor,
                        generator=torch.Generator().manual_seed(0))
        return m

    def network():
        holder = nn.Module()
        holder.n = neuron()
        return nn.Sequential(neuron(), nn.ReLU(), holder)

    def blockwise():
        net = network()
        B.blockwise_network(net)
        return net

    def layer(threaded=False):
        C.doing_threading = threaded
        C.Thread = threading.Thread
        net = blockwise()
        C.refresh_net(net)
        return net[0]

    x = torch.ones(1, 3)

    def autocast_inference():
        with torch.inference_mode(), torch.autocast("cpu", dtype=torch.bfloat16):
            yield

    modes = {"grad": contextlib.nullcontext,
             "no-grad": lambda: torch.set_grad_enabled(False),
             "inference": torch.inference_mode,
             "autocast": lambda: torch.autocast("cpu", dtype=torch.bfloat16),
             "autocast-inference": contextlib.contextmanager(autocast_inference)}

    def forward(threaded, mode="grad"):
        def make():
            lay = layer(threaded)

            def run():
                with modes[mode]():
                    return lay(x)
            return run
        return make

    def prepared(warm):
        def make():
            from veskari.inference import _switch

            lay = layer()
            _switch(lay)
            if warm:  # the rows are made here, unarmed: the sweep fails their checks
                with torch.no_grad():
                    lay(x)

            def run():
                with torch.no_grad():
                    return lay(x)
            return run
        return make

    def worker(branch):
        def make():
            run = forward(True, "autocast-inference")()
            C.Thread, WorkerArming.branch = WorkerArming.Thread, branch
            return run
        return make

    def branch(method, *prefix):
        def make():
            lay = layer()
            outs = [None] * 3
            return lambda: getattr(lay, method)(*prefix, outs, x)
        return make

    def on(build, call, *rest):
        """A factory of call(build(), *rest) with a freshly built first argument."""
        return lambda: functools.partial(call, build(), *rest)

    return {
        "blockwise_network": on(network, B.blockwise_network),
        "optimize_module": on(network, B.optimize_module, 0, "", []),
        "convert_to_vsk_layer_block": on(neuron, B.convert_to_vsk_layer_block),
        "unWrap_params": on(neuron, B.unWrap_params),
        "blockwise.get_pretrained_vsk_attr": on(network, B.get_pretrained_vsk_attr, "training"),
        "blockwise.get_pretrained_vsk_var": on(network, B.get_pretrained_vsk_var, 1),
        "refresh_net": on(blockwise, C.refresh_net),
        "refresh_vsk": on(blockwise, C.refresh_vsk, 0, "", []),
        "make_module": on(lambda: blockwise()[0], C.make_module),
        "clean.get_pretrained_vsk_attr": on(network, C.get_pretrained_vsk_attr, "training"),
        "clean.get_pretrained_vsk_var": on(network, C.get_pretrained_vsk_var, "1"),
        "forward": forward(False),
        "forward-threaded": forward(True),
        "forward-threaded-no-grad": forward(True, "no-grad"),
        "forward-threaded-inference": forward(True, "inference"),
        "forward-threaded-autocast": forward(True, "autocast"),
        "forward-prepared": prepared(True),
        "forward-prepared-cold": prepared(False),
        "worker-main": worker("main"),
        "worker-dendrite": worker(0),
        "process_and_forward": branch("process_and_forward", 0),
        "process_and_pre": branch("process_and_pre"),
    }


# SystemError texts of a broken calling convention (the interpreter's, and
# the one our trampoline sets when a body fails without an exception).
BROKEN_CALL = re.compile(r"result with an exception set|without setting an exception|"
                         r"failed without an exception")


class WorkerArming:
    """Sweeps one worker thread of a threaded forward instead of the caller:
    the thread that runs the chosen branch arms the shim on itself once it
    runs (after CPython's bootstrap of the thread, which must not fail, see
    failmalloc.c) and disarms it before the thread ends. What such a thread
    raises goes to threading.excepthook, which the child makes keep it."""

    branch = pending = None  # the branch ("main" or an index) and the n of its next run
    result = 0  # failmalloc_disarm() of its last run
    thread_errors = []

    class Thread(threading.Thread):
        def run(self):
            main = self._target.__name__ == "process_and_pre"
            n = WorkerArming.pending
            if n is None or ("main" if main else self._args[0]) != WorkerArming.branch:
                return super().run()
            WorkerArming.pending = None
            # Once unarmed first: a new thread's first use of thread-local
            # data (glibc's TLS, libgomp's team) aborts the process when it
            # cannot allocate, a fault of neither CPython nor ours.
            self._target(*self._args, **self._kwargs)
            try:
                SHIM[0].failmalloc_arm(n)
                super().run()
            finally:
                WorkerArming.result = SHIM[0].failmalloc_disarm()

    @staticmethod
    def arm(n):
        WorkerArming.pending, WorkerArming.result = n, 0

    @staticmethod
    def disarm():
        WorkerArming.pending = None
        return WorkerArming.result


SHIM = []  # the child's handle on the preloaded shim


def outcome(arm, disarm, n, call):
    """Calls with the n-th allocation failing; disarmed before the result or
    the exception is dropped, so only the call itself is swept."""
    del WorkerArming.thread_errors[:]
    try:
        # Armed inside the try: a failure in ctypes' own glue is one more case.
        arm(n)
        result = call()
        disarm()
        del result
        errors = []
    except BaseException as error:  # noqa: BLE001 - MemoryError mostly; any exception is an outcome
        disarm()
        errors = [error]
    broken = [e for e in errors + WorkerArming.thread_errors
              if isinstance(e, SystemError) and BROKEN_CALL.search(str(e))]
    return f"broken-call {broken[0]!r}" if broken else "raised" if errors else "ok"


def child_main(args):
    import ctypes

    shim = ctypes.CDLL(None)
    shim.failmalloc_disarm.restype = ctypes.c_long
    shim.failmalloc_arm.restype = None
    SHIM.append(shim)
    threading.excepthook = lambda args: WorkerArming.thread_errors.append(args.exc_value)
    stride, names, first = int(args[0]), args[1].split(","), int(args[2])
    log = os.open(os.environ["FAILMALLOC_LOG"], os.O_WRONLY | os.O_APPEND | os.O_CREAT)
    targets = child_targets()
    for name in names:
        arm, disarm = ((WorkerArming.arm, WorkerArming.disarm) if name.startswith("worker-")
                       else (shim.failmalloc_arm, shim.failmalloc_disarm))
        sweep_target(arm, disarm, log, name, targets[name], stride, first)
        first = 1


def sweep_target(arm, disarm, log, name, make, stride, first):
    import ctypes
    import gc

    import torch

    expected = make()()
    call = make()
    arm(ctypes.c_long(1 << 60))
    call()
    total = disarm()
    ns = [n for n in range(first, total + 1)
          if n == first or n <= 40 or n % stride == 0 or n == total]
    print(f"total {name} {total} {len(ns)}", flush=True)
    for i, n in enumerate(ns):
        call = make()
        print(f"case {name} {n}", flush=True)
        os.write(log, f"case {name} {n}\n".encode())
        result = outcome(arm, disarm, ctypes.c_long(n), call)
        if result != "ok" and result != "raised":
            print(f"fault {name} {n} {result}", flush=True)
        if i % 50 == 49:
            gc.collect()
    # Still computing the right answer afterwards.
    gc.collect()
    again = make()()
    same = (torch.equal(again, expected) if isinstance(expected, torch.Tensor)
            else type(again) is type(expected))
    print(f"done {name} {'usable' if same else 'WRONG'}", flush=True)


# --- The parent side.

@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    path = tmp_path_factory.mktemp("failmalloc") / "failmalloc.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-O2", "-o", str(path), SHIM_SOURCE, "-ldl"],
                   check=True)
    return str(path)


def failed_stacks(log):
    """(target, n) -> the stack the shim logged when it failed allocation n."""
    stacks, case = {}, None
    for line in log.read_text().splitlines() if log.exists() else []:
        if line.startswith("case "):
            case = tuple(line.split()[1:])
        elif line.startswith("fail") and case is not None:
            stacks[case] = line
    return stacks


def culprits(stack):
    """Function names between the failed allocation and the first frame of
    our own modules, innermost first (inlined CPython functions included)."""
    names = []
    for frame in stack.split()[1:]:
        lib, _, rest = frame.partition("+")
        offset, _, symbol = rest.partition("(")
        # The package folder, not a path that merely names it (a venv's).
        if os.path.basename(os.path.dirname(lib)) == "veskari":
            break
        if "libpython" in lib or not symbol and lib != "?":
            # CPython's inlined functions; otherwise a library's own symbol
            # table, for the functions it does not export.
            out = subprocess.run(["addr2line", "-f", "-i", "-e", lib, offset],
                                 capture_output=True, text=True, check=False).stdout.split("\n")
            names += [name for name in out[0::2] if name and name != "??"]
        else:
            names.append(symbol.rstrip(")"))
    return names


def excused(stack):
    """The CPython/PyTorch fault a failed allocation ran into, if any."""
    names = culprits(stack) if stack else []
    return next((known for name in names for known in OUTSIDE_FAULTS if known in name), None)


def sweep(shim, tmp_path, targets):
    """Sweeps the targets in one child, restarting it past a crash that lies
    in CPython or PyTorch. Returns (child output lines, excused, faults)."""
    from helpers import run_child  # the parent's harness; the child runs this file bare

    log = tmp_path / "failed-stacks.log"
    preload = " ".join(filter(None, [shim, os.environ.get("LD_PRELOAD", "").replace(":", " ")]))
    env = dict(PYTHONMALLOC="malloc", LD_PRELOAD=preload, FAILMALLOC_LOG=str(log),
               ASAN_OPTIONS=":".join(filter(None, [os.environ.get("ASAN_OPTIONS"),
                                                  "verify_asan_link_order=0"])))
    n, lines, excluded, faults = 1, [], [], []
    while True:
        log.unlink(missing_ok=True)
        child = run_child(__file__, str(1 if FULL else SAMPLE_STRIDE), ",".join(targets), str(n),
                          env=env, script=True, timeout=7200)
        out = child.stdout.splitlines()
        lines += out
        stacks = failed_stacks(log)
        for line in out:
            if line.startswith("fault"):
                case = tuple(line.split()[1:3])
                known = excused(stacks.get(case))
                if known:
                    excluded.append((*case, known))
                else:
                    faults.append(f"{line}\n  failed allocation in "
                                  f"{culprits(stacks.get(case, ''))[:15]}")
        if child.returncode == 0:
            return lines, excluded, faults
        case = [line.split() for line in out if line.startswith("case")]
        assert case, child.stderr[-3000:]
        _, target, crashed = case[-1]
        known = excused(stacks.get((target, crashed)))
        # A fault of CPython's may break the heap without crashing at once: a
        # crash after such a case is the crashed case's only if a fresh child
        # that starts with it crashes too.
        tainted = any(name in stack for c, stack in stacks.items() if c != (target, crashed)
                      for name in OUTSIDE_FAULTS)
        if known:
            excluded.append((target, crashed, known))
        elif tainted and case[0][1:] != [target, crashed]:
            targets, n = targets[targets.index(target):], int(crashed)
            continue
        else:
            faults.append(f"crash in {target} at allocation {crashed} (exit {child.returncode}) "
                          f"in {culprits(stacks.get((target, crashed), ''))[:15]}\n"
                          f"{child.stderr[-2000:]}")
        targets = targets[targets.index(target):]
        n = int(crashed) + 1


# Sampled: one child (seconds; the forward alone in make test); full: one per target.
@pytest.mark.parametrize("targets", [[t] for t in TARGETS] if FULL else [
    ["forward"], pytest.param(TARGETS, marks=pytest.mark.slow)],
    ids=TARGETS if FULL else ["sampled-forward", "sampled"])
def test_every_allocation_failure_is_survived(shim, tmp_path, targets):
    lines, excluded, faults = sweep(shim, tmp_path, targets)
    print(*[line for line in lines if line.startswith("total")], sep="\n")
    print("cases:", sum(line.startswith("case") for line in lines), "excused:", excluded)
    assert not faults, "\n".join(faults)
    assert [line for line in lines if line.startswith("done")] == \
        [f"done {t} usable" for t in targets]


if __name__ == "__main__":
    child_main(sys.argv[1:])
