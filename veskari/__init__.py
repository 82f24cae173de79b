"""veskari: dendrite-augmented PyTorch networks.

The training side lives in :mod:`veskari.modules_veskari` and
:mod:`veskari.utils_veskari`; settings in :mod:`veskari.globals_veskari`.
Two native converters turn a trained network into an inference network:
``veskari.blockwise_veskari.blockwise_network`` then
``veskari.clean_veskari.refresh_net``; ``veskari.convert(net)`` runs both
and reports what it did. ``veskari.deploy.compilable`` makes a converted
network traceable by ``torch.compile`` and ``torch.export``.

This file imports nothing heavy, so that importing a submodule costs only
what that submodule needs: the names of :mod:`veskari.conversion` are
loaded (with torch) on first use.
"""
from typing import TYPE_CHECKING

__version__ = "0.1.0"

_LAZY = ("convert", "ConversionReport", "ConversionWarning", "ConversionMismatchError")

if TYPE_CHECKING:
    # Redundant aliases mark these as the package's own names for type checkers.
    from veskari.conversion import ConversionMismatchError as ConversionMismatchError
    from veskari.conversion import ConversionReport as ConversionReport
    from veskari.conversion import ConversionWarning as ConversionWarning
    from veskari.conversion import convert as convert


def __getattr__(name: str) -> object:
    if name in _LAZY:
        from veskari import conversion

        value = getattr(conversion, name)
        globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(list(globals()) + list(_LAZY))
