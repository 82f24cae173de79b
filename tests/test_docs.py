"""Every ```python block of the README and of docs/ runs as written (see
docblocks.py); the slow blocks under the slow marker."""
import pytest

from docblocks import ROOT, python_blocks, run_blocks

FILES = ["README.md", *sorted(f"docs/{f.name}" for f in (ROOT / "docs").glob("*.md"))]


@pytest.mark.parametrize("path,slow", [(f, False) for f in FILES] + [
    pytest.param(f, True, marks=pytest.mark.slow) for f in FILES
    if len(python_blocks(f)) > len(python_blocks(f, slow=False))])
def test_code_blocks_run(path, slow, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    run_blocks(path, slow)
    if path == "README.md":
        import veskari

        assert f"veskari {veskari.__version__}" in (ROOT / path).read_text(encoding="utf-8")
