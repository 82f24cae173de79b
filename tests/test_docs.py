"""Every ```python block of the README and of docs/ runs as written: a file's
blocks in order, as one script, in a scratch directory; a block after a line
``<!-- slow: why -->`` only under the slow marker. ``python
tests/test_docs.py FILE.md`` runs all blocks of one file here, without pytest."""
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BLOCK = re.compile(r"^(<!-- slow[^\n]*-->\n)?```python\n(.*?)^```", re.S | re.M)


def python_blocks(path, slow=True):
    """(first line number, code) of each block, with or without the slow ones."""
    text = (ROOT / path).read_text(encoding="utf-8")
    return [(text.count("\n", 0, m.start(2)) + 1, m[2])
            for m in BLOCK.finditer(text) if slow or not m[1]]


def run_blocks(path, slow=True):
    namespace = {"__name__": "__main__"}
    for line, code in python_blocks(path, slow):
        exec(compile("\n" * (line - 1) + code, str(ROOT / path), "exec"), namespace)


def pytest_generate_tests(metafunc):
    import pytest

    files = ["README.md", *(f"docs/{f.name}" for f in sorted((ROOT / "docs").glob("*.md")))]
    slow = [f for f in files if len(python_blocks(f)) > len(python_blocks(f, slow=False))]
    metafunc.parametrize("path,slow", [(f, False) for f in files] + [
        pytest.param(f, True, marks=pytest.mark.slow) for f in slow])


def test_code_blocks_run(path, slow, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    run_blocks(path, slow)


if __name__ == "__main__":
    run_blocks(Path(sys.argv[1]).resolve())
