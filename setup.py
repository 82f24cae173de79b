"""Builds the two native converters and the inference layer's eager forward; each
compiles the shared header-only core."""
import os
from glob import glob

from setuptools import Extension, setup

HERE = os.path.dirname(os.path.abspath(__file__))
SANITIZE = os.environ.get("VESKARI_SANITIZE") == "1"
# Warnings are errors only in the project's own builds (Makefile, CI): a
# newer compiler's new warning must not break a user's pip install.
STRICT = os.environ.get("VESKARI_STRICT") == "1"
# VESKARI_SHORTCUTS=0 builds without any speed shortcut (src/core/shortcuts.hpp);
# the parity tests run against such a build to show the shortcuts change nothing.
SHORTCUTS = os.environ.get("VESKARI_SHORTCUTS", "1") != "0"

COMPILE = ["-std=c++20", "-Wall", "-Wextra",
           "-fvisibility=hidden", "-fvisibility-inlines-hidden"]
if STRICT:
    COMPILE += ["-Werror"]
LINK = []
if SANITIZE:
    san = ["-fsanitize=address,undefined", "-fno-sanitize-recover=undefined",
           "-fno-omit-frame-pointer"]
    # Assertions on (the interpreter's flags define NDEBUG; this comes after them).
    COMPILE += san + ["-O1", "-g", "-UNDEBUG"]
    LINK += san
else:
    # The interpreter's default flags carry -g; shipped modules need no debug info.
    COMPILE += ["-O2", "-g0"]
    LINK += ["-s"]
if not SHORTCUTS:
    COMPILE += ["-DVESKARI_NO_SHORTCUTS"]


def extension(name, folder):
    """Module ``veskari.<name>`` from the C++ sources in ``src/<folder>``."""
    script = os.path.join("src", folder, "exports.map")
    return Extension(
        f"veskari.{name}",
        sources=sorted(glob(f"src/{folder}/*.cpp")),
        include_dirs=["src/core"],
        depends=sorted(glob("src/core/*.hpp")) + sorted(glob(f"src/{folder}/*.hpp")) + [script],
        language="c++",
        extra_compile_args=COMPILE,
        # Export nothing but the module's init function.
        extra_link_args=LINK + [f"-Wl,--version-script={os.path.join(HERE, script)}"],
    )


setup(ext_modules=[extension("clean_veskari", "clean"),
                   extension("blockwise_veskari", "blockwise"),
                   extension("_prepared", "prepared")])
