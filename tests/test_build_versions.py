"""A CPython src/core/compat.hpp was not checked against is refused at compile
time, by a message naming the supported ones (against that interpreter's own
headers, where this machine has it)."""
import glob
import os
import subprocess
from pathlib import Path

import pytest

CORE = Path(__file__).resolve().parents[1] / "src" / "core"
PYENV = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))


@pytest.mark.parametrize("version,message", [
    ("3.10", "needs CPython 3.11, 3.12 or 3.13"),
    ("3.14", "checked against CPython 3.11, 3.12 and 3.13 only"),
])
def test_an_unchecked_cpython_is_refused_by_name(version, message, tmp_path):
    found = sorted(glob.glob(f"{PYENV}/versions/{version}.*/include/python{version}/Python.h"))
    if not found or not CORE.exists():
        pytest.skip(f"no CPython {version} headers under pyenv, or no sources beside the tests")
    (tmp_path / "probe.cpp").write_text('#include "compat.hpp"\n')
    run = subprocess.run(["g++", "-std=c++20", "-fsyntax-only", f"-I{os.path.dirname(found[0])}",
                          f"-I{CORE}", str(tmp_path / "probe.cpp")], capture_output=True, text=True)
    assert run.returncode != 0
    assert message in run.stderr and run.stderr.count("error:") == 1, run.stderr
