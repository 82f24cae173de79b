"""How warnings name the layers they are about: a count and the first few.

One warning about hundreds of layers must stay readable, so every warning
of the package names at most three and says where the full list is.
"""
from __future__ import annotations

from collections.abc import Sequence


def shown(path: str) -> str:
    return path or "<root>"


def some(paths: Sequence[str], shown_count: int = 3) -> str:
    """``"5 layer(s) (a, b, c, ...)"``."""
    names = ", ".join(map(shown, paths[:shown_count]))
    return f"{len(paths)} layer(s) ({names}{', ...' if len(paths) > shown_count else ''})"
