"""The shipped stubs let a type checker see the converters' signatures."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

import veskari
from test_docs import python_blocks

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


# With torch analysed (slow: about ten seconds), as a user's mypy sees it.
@pytest.mark.parametrize("config", [CONFIG, pytest.param("[mypy]\n", marks=pytest.mark.slow)],
                         ids=["torch-skipped", "torch-analysed"])
def test_mypy_passes_correct_use_and_readme_and_reports_wrong_calls(tmp_path, config):
    (tmp_path / "mypy.ini").write_text(config)
    (tmp_path / "good.py").write_text(USER_SCRIPT)
    (tmp_path / "readme.py").write_text(python_blocks("README.md")[0][1])  # the quick start
    (tmp_path / "bad.py").write_text(
        USER_SCRIPT + "import veskari.globals_veskari\n" + "\n".join(WRONG_CALLS.values()) + "\n")
    env = dict(os.environ)
    root = Path(veskari.__file__).resolve().parents[1]
    if root.name != "site-packages":  # an in-place build rather than an installed package
        env["MYPYPATH"] = str(root)
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", "good.py", "bad.py", "readme.py"],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300, check=False)
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert all(line.startswith("bad.py:") for line in errors), result.stdout
    assert len(errors) == len(WRONG_CALLS), result.stdout
    for message in WRONG_CALLS:
        assert message in result.stdout, result.stdout
