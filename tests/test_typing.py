"""The shipped stubs let a type checker see the converters' signatures."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

import veskari
from docblocks import python_blocks

pytest.importorskip("mypy")

# torch is left unanalysed (its types become Any): analysing it costs most
# of a minute, and the calls checked here are about the package's own names.
CONFIG = """\
[mypy]
[mypy-torch.*]
follow_imports = skip
follow_imports_for_stubs = True
"""

USER_SCRIPT = """\
import torch
from torch import nn

import veskari
from veskari import clean_veskari
from veskari.blockwise_veskari import blockwise_network
from veskari.utils_veskari import add_dendrites, wrap_layers

net = nn.Sequential(nn.Linear(4, 8), nn.ReLU(), nn.Linear(8, 2))
add_dendrites(wrap_layers(net, [nn.Linear]), 2)
blockwise_network(net)
net = clean_veskari.refresh_net(net)
clean_veskari.doing_threading = True
converted, report = veskari.convert(net, torch.randn(1, 4))
paths: list[str] = report.converted + report.already_converted
"""

WRONG_CALLS = {
    'Too many arguments for "blockwise_network"': "blockwise_network(net, 42)",
    '"ConversionReport" has no attribute "paths"': "veskari.convert(net)[1].paths",
    'Missing positional argument "value"': "veskari.globals_veskari.pc.set_extra_verbose()",
}


def mypy(folder, config, **scripts):
    """mypy's output on the scripts (file stem -> code), from ``folder``."""
    (folder / "mypy.ini").write_text(config)
    for stem, code in scripts.items():
        (folder / f"{stem}.py").write_text(code)
    env = dict(os.environ)
    root = Path(veskari.__file__).resolve().parents[1]
    if root.name != "site-packages":  # an in-place build rather than an installed package
        env["MYPYPATH"] = str(root)
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", *(f"{s}.py" for s in scripts)],
        cwd=folder, env=env, capture_output=True, text=True, timeout=300, check=False)
    return result.stdout


def test_mypy_passes_correct_use_and_reports_wrong_calls(tmp_path):
    wrong = "import veskari.globals_veskari\n" + "\n".join(WRONG_CALLS.values()) + "\n"
    output = mypy(tmp_path, CONFIG, good=USER_SCRIPT, bad=USER_SCRIPT + wrong)
    errors = [line for line in output.splitlines() if ": error:" in line]
    assert all(line.startswith("bad.py:") for line in errors), output
    assert len(errors) == len(WRONG_CALLS), output
    for message in WRONG_CALLS:
        assert message in output, output


@pytest.mark.slow  # torch analysed: what a user's mypy sees (about ten seconds)
def test_mypy_with_torch_passes_correct_use_and_readme_quick_start(tmp_path):
    output = mypy(tmp_path, "[mypy]\n", good=USER_SCRIPT, readme=python_blocks("README.md")[0][1])
    assert "good.py:" not in output and "readme.py:" not in output, output
