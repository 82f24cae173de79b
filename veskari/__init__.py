"""veskari: dendrite-augmented PyTorch networks, and their conversion to fast
inference networks.

The package's own names, on top: ``veskari.convert`` (with
``ConversionReport``, ``ConversionWarning``, ``ConversionMismatchError``),
``veskari.skeleton`` and ``veskari.check_loaded`` (large models) and
``__version__``; the modules users import are the training side
(``utils_veskari``, ``modules_veskari``), the settings (``globals_veskari``),
``layouts``, the two native converters (``blockwise_veskari``,
``clean_veskari``) and ``inference``. Every one of them is an attribute of
``veskari`` from a plain ``import veskari``, imported on first use, so that
importing the package costs nothing (and does not import torch) until
something is used.

Reader's map, in import order: each module imports only modules listed
above it (at module level or inside a function), never one below. The
``*_veskari`` names are the modules the native converters import by name;
the rest are plain names. The two private subpackages hold what users never
import: ``_conversion`` the helpers of ``convert``, ``_internal`` what the
training side, the conversion and the inference layer share; ``reference``
is internal too.

  errors                          the package's warning and error types
  _internal.torch_private         every private PyTorch name the package uses
  _internal.layer_names           how messages name layers: a count and the first three
  _conversion.quiet_logs          holding back other libraries' messages during the walks
  _conversion.checkpoint_keys     where a trained checkpoint's keys go in a converted network
  skeletons                       networks built with parameters on meta; the check they were filled
  _conversion.compare_outputs     comparing two networks' outputs, whatever holds the tensors
  _conversion.check_copies        copies of a network for the check, sharing its weights
  _conversion.weight_watch        which parameters a piece of code wrote, found by exact digests
  globals_veskari                 run-time settings (``pc``), read by every converter
  layouts                         where the neurons are in a layer's output
  _internal.reinitialise          re-initialising a dendrite's copy of its main layer
  _internal.attribute_forwarding  wrappers answering their main layer's attribute reads
  _conversion.recorded_forward    one trial forward recording which neuron modules ran
  modules_veskari                 training side: the neuron module, its dendrites, processors
  utils_veskari                   training side: wrapping layers, adding dendrites
  blockwise_veskari               native: neuron modules become blocks
  clean_veskari                   native: blocks become converted layers with a native forward
  _prepared                       native: the inference layer's eager forward
  _conversion.walk_rules          the walks' rules, stated once in Python
  _conversion.digit_keys          converting neuron modules under digit keys (the walks miss them)
  inference                       InferenceLayer, what convert returns, and prepare
  conversion                      veskari.convert: both walks, checked, with a report
  deploy                          the former home of prepare (its old names warn)
  reference                       the converters in plain Python: the tests' oracle
"""
from typing import TYPE_CHECKING

# name -> the module it lives in
_LAZY = {name: "conversion" for name in (
    "convert", "ConversionReport", "ConversionWarning", "ConversionMismatchError")}
_LAZY.update(skeleton="skeletons", check_loaded="skeletons")
# Reachable as veskari.<name> after a plain import veskari.
_SUBMODULES = frozenset({
    "blockwise_veskari", "clean_veskari", "deploy", "globals_veskari", "inference", "layouts",
    "modules_veskari", "utils_veskari",
})

if TYPE_CHECKING:
    # Redundant aliases mark these as the package's own names for type checkers.
    from veskari.conversion import ConversionMismatchError as ConversionMismatchError
    from veskari.conversion import ConversionReport as ConversionReport
    from veskari.conversion import ConversionWarning as ConversionWarning
    from veskari.conversion import convert as convert
    from veskari.skeletons import check_loaded as check_loaded
    from veskari.skeletons import skeleton as skeleton


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
    if name in _SUBMODULES:
        from importlib import import_module

        # The import binds the submodule as an attribute of the package.
        return import_module(f"{__name__}.{name}")
    if name in _LAZY:
        from importlib import import_module

        value = getattr(import_module(f"{__name__}.{_LAZY[name]}"), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


# The public API: what dir(veskari) lists and a star import brings.
__all__ = sorted([*_LAZY, *_SUBMODULES, "__version__"])


def __dir__() -> list[str]:
    return list(__all__)
