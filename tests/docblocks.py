"""The ```python blocks of the README and of docs/, run as written: a file's
blocks in order, as one script, in the working directory. A block after a
line ``<!-- slow: why -->`` is a slow one. ``python tests/docblocks.py
FILE.md`` runs all of one file's blocks (no pytest needed)."""
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


def run_blocks(path, slow):
    namespace = {"__name__": "__main__"}
    for line, code in python_blocks(path, slow):
        exec(compile("\n" * (line - 1) + code, str(ROOT / path), "exec"), namespace)


if __name__ == "__main__":
    run_blocks(Path(sys.argv[1]).resolve(), slow=True)
