"""veskari: dendrite-augmented PyTorch networks.

The training side lives in :mod:`veskari.modules_veskari` and
:mod:`veskari.utils_veskari`; settings in :mod:`veskari.globals_veskari`.
Two native converters turn a trained network into an inference network:
``veskari.blockwise_veskari.blockwise_network`` then
``veskari.clean_veskari.refresh_net``; ``veskari.convert(net)`` runs both,
checks and reports what it did, and returns layers of
:class:`veskari.inference.InferenceLayer` (fast in eager mode, traceable by
``torch.compile`` and ``torch.export``); ``veskari.deploy.prepare`` does the
same for a network converted by hand.

This file imports nothing heavy, so that importing a submodule costs only
what that submodule needs: the names of :mod:`veskari.conversion` are
loaded (with torch) on first use, and so is ``__version__``.
"""
from typing import TYPE_CHECKING

_LAZY = ("convert", "ConversionReport", "ConversionWarning", "ConversionMismatchError")

if TYPE_CHECKING:
    # Redundant aliases mark these as the package's own names for type checkers.
    from veskari.conversion import ConversionMismatchError as ConversionMismatchError
    from veskari.conversion import ConversionReport as ConversionReport
    from veskari.conversion import ConversionWarning as ConversionWarning
    from veskari.conversion import convert as convert


__version__: str


def _version() -> str:
    """``[project] version`` of pyproject.toml: from the installed package's
    metadata, or from the file itself when running from a source tree."""
    from pathlib import Path

    pyproject = Path(__file__).resolve().parent.parent / "pyproject.toml"
    if pyproject.is_file():
        import tomllib

        project = tomllib.loads(pyproject.read_text(encoding="utf-8")).get("project", {})
        if project.get("name") == "veskari":
            return str(project["version"])
    from importlib.metadata import version

    return version("veskari")


def __getattr__(name: str) -> object:
    if name == "__version__":
        globals()[name] = value = _version()
        return value
    if name in _LAZY:
        from veskari import conversion

        value = getattr(conversion, name)
        globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY) | {"__version__"})
