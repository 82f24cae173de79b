"""The native modules refuse, at compile time and with a message that names
the supported versions, a CPython src/core/compat.hpp was not checked against
(built against that interpreter's own headers, where this machine has it)."""
import glob
import os
import shutil
import subprocess
from pathlib import Path

import pytest

CORE = Path(__file__).resolve().parents[1] / "src" / "core"


def headers(version):
    """The include folder of CPython `version` on PATH or under pyenv, or None."""
    root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    found = [shutil.which(f"python{version}"),
             *sorted(glob.glob(f"{root}/versions/{version}.*/bin/python{version}"))]
    for python in filter(None, found):
        ask = "import sysconfig; print(sysconfig.get_paths()['include'])"
        run = subprocess.run([python, "-c", ask], capture_output=True, text=True)
        if run.returncode == 0 and Path(run.stdout.strip(), "Python.h").exists():
            return run.stdout.strip()
    return None


@pytest.mark.parametrize("version,message", [
    ("3.10", "needs CPython 3.11, 3.12 or 3.13"),
    ("3.14", "checked against CPython 3.11, 3.12 and 3.13 only"),
])
def test_an_unchecked_cpython_is_refused_by_name(version, message, tmp_path):
    include = headers(version)
    if include is None or not CORE.exists():
        pytest.skip(f"no CPython {version} with headers here, or no sources next to the tests")
    source = tmp_path / "probe.cpp"
    source.write_text('#include "compat.hpp"\n')
    run = subprocess.run(["g++", "-std=c++20", "-fsyntax-only", f"-I{include}", f"-I{CORE}",
                          str(source)], capture_output=True, text=True)
    assert run.returncode != 0
    assert message in run.stderr and run.stderr.count("error:") == 1, run.stderr
