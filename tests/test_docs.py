"""Every ```python block of the README and of docs/ runs as written: each
file's blocks in order, as one script, in a scratch directory. A block after
a line ``<!-- slow: why -->`` runs only under the slow marker.
``python tests/test_docs.py FILE.md`` runs all of one file's blocks here."""
import re
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
FILES = ["README.md", *sorted(f"docs/{f.name}" for f in (ROOT / "docs").glob("*.md"))]
BLOCK = re.compile(r"^(<!-- slow[^\n]*-->\n)?```python\n(.*?)^```", re.S | re.M)


def python_blocks(path, slow=True):
    """(first line number, code) of each block, with or without the slow ones."""
    text = (ROOT / path).read_text(encoding="utf-8")
    return [(text.count("\n", 0, m.start(2)) + 1, m[2])
            for m in BLOCK.finditer(text) if slow or not m[1]]


def run_blocks(path, slow):
    namespace = {"__name__": "__main__"}
    for line, code in python_blocks(path, slow):
        exec(compile("\n" * (line - 1) + code, str(ROOT / path), "exec"), namespace)


@pytest.mark.parametrize("path,slow", [(f, False) for f in FILES] + [
    pytest.param(f, True, marks=pytest.mark.slow) for f in FILES
    if len(python_blocks(f)) > len(python_blocks(f, slow=False))])
def test_code_blocks_run(path, slow, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    run_blocks(path, slow)
    if path == "README.md":
        import veskari

        assert f"veskari {veskari.__version__}" in (ROOT / path).read_text(encoding="utf-8")


if __name__ == "__main__":
    run_blocks(Path(sys.argv[1]).resolve(), slow=True)
