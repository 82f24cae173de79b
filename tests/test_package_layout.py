"""The package keeps the import order its reader's map states, and a plain
``import veskari`` reaches the documented modules without importing torch."""
import ast
import re
from pathlib import Path

import pytest

import veskari
from helpers import run_child, tail

PACKAGE = Path(veskari.__file__).resolve().parent
MAP = [m[1] for m in re.finditer(r"^  ([\w.]+) {2,}\S", veskari.__doc__, re.M)]
# The converted layer's attributes, as the native converters name them.
CONVERTED_NAMES = re.compile(r"\b(layer_array|processor_array|skip_weights|view_tuple"
                             r"|internal_nonlinearity|VSKModulePyThread|InferenceLayer)\b")


def imported_modules(path):
    """The package modules a file imports, anywhere in it, as the map names them."""
    found = set()

    def add(dotted):
        if dotted.startswith("veskari."):
            found.add(dotted.removeprefix("veskari."))

    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            for alias in node.names:
                add(alias.name)
        elif isinstance(node, ast.ImportFrom) and node.module:
            for alias in node.names:  # a submodule, or a name of the module
                name = f"{node.module}.{alias.name}"
                add(name if name.removeprefix("veskari.") in MAP else node.module)
    return found - {"_internal", "_conversion"}


def source(name):
    return PACKAGE / (name.replace(".", "/") + ".py")


def test_every_module_is_on_the_map_once():
    files = {".".join(p.relative_to(PACKAGE).with_suffix("").parts).split(".cpython")[0]
             for p in PACKAGE.rglob("*") if p.suffix in (".py", ".so")
             and p.name != "__init__.py"}
    assert sorted(MAP) == sorted(files)


@pytest.mark.parametrize("name", [m for m in MAP if source(m).exists()])
def test_a_module_imports_only_modules_above_it(name):
    above = set(MAP[:MAP.index(name)])
    assert imported_modules(source(name)) <= above


@pytest.mark.parametrize("name", MAP[:MAP.index("blockwise_veskari")])
def test_nothing_below_the_converters_names_a_converted_layer_attribute(name):
    assert not CONVERTED_NAMES.findall(source(name).read_text(encoding="utf-8"))


def test_a_plain_import_reaches_the_documented_modules_lazily():
    result = run_child("""
        import sys
        import veskari
        assert "torch" not in sys.modules
        veskari.clean_veskari.doing_threading = True
        from veskari import clean_veskari
        assert clean_veskari.doing_threading is True
        assert veskari.globals_veskari.pc.get_vsk_forward_function() is not None
        assert "blockwise_veskari" in dir(veskari) and "convert" in dir(veskari)
        assert all(not name.startswith("_") for name in dir(veskari) if name != "__version__")
        assert callable(veskari.convert) and "torch" in sys.modules
        try:
            veskari.no_such_module
        except AttributeError as err:
            assert "no_such_module" in str(err)
        else:
            raise AssertionError("an unknown attribute was answered")
        """)
    assert result.returncode == 0, tail(result)
