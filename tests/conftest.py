"""Fixtures shared by the test files.

The two autouse ones are cheap: every test starts with default settings and
leaves the namespaces of the native converters as it found them, so a test
may rebind or delete module globals (``doing_threading``, ``ModuleType``,
``Thread`` ...) without a fixture of its own.
"""
import sys

import pytest

from helpers import finish_child, start_child
from veskari import globals_veskari as GVS

NATIVE_MODULES = ("veskari.clean_veskari", "veskari.blockwise_veskari")


@pytest.fixture(autouse=True)
def settings():
    """The package settings object, at its defaults before and after each test."""
    GVS.pc.reset()
    yield GVS.pc
    GVS.pc.reset()


@pytest.fixture(autouse=True)
def _restore_native_namespaces():
    """Undo any rebinding, addition or deletion of native module globals."""
    saved = {name: dict(vars(sys.modules[name]))
             for name in NATIVE_MODULES if name in sys.modules}
    yield
    for name, before in saved.items():
        namespace = vars(sys.modules[name])
        same = (list(namespace) == list(before)
                and all(namespace[k] is v for k, v in before.items()))
        if not same:
            # Clear and refill, so that the binding order is restored too.
            namespace.clear()
            namespace.update(before)


@pytest.fixture(scope="module")
def children(request):
    """The child interpreters of a test file's ``CHILD_SCRIPTS`` (name -> code),
    all started with the file's first use so that they run alongside its
    tests; ``children(name)`` waits for one and gives its completed result."""
    started = {name: start_child(code) for name, code in request.module.CHILD_SCRIPTS.items()}
    yield lambda name: finish_child(started[name])
    for process in started.values():
        if process.poll() is None:
            process.kill()
            process.communicate()
