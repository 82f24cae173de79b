"""Builds the two native converters; each compiles the shared header-only core."""
import os
from glob import glob

from setuptools import Extension, setup

HERE = os.path.dirname(os.path.abspath(__file__))
SANITIZE = os.environ.get("VESKARI_SANITIZE") == "1"

COMPILE = ["-std=c++20", "-Wall", "-Wextra", "-Werror", "-Wno-missing-field-initializers",
           "-fvisibility=hidden", "-fvisibility-inlines-hidden"]
LINK = []
if SANITIZE:
    san = ["-fsanitize=address,undefined", "-fno-sanitize-recover=undefined",
           "-fno-omit-frame-pointer"]
    COMPILE += san + ["-O1", "-g"]
    LINK += san
else:
    COMPILE += ["-O2"]


def extension(name):
    script = os.path.join("native", f"exports_{name}.map")
    return Extension(
        f"veskari.{name}",
        sources=sorted(glob(f"veskari/{name}/*.cpp")),
        include_dirs=["native"],
        depends=sorted(glob("native/*.hpp")) + sorted(glob(f"veskari/{name}/*.hpp")),
        language="c++",
        extra_compile_args=COMPILE,
        # Export nothing but the module's init function.
        extra_link_args=LINK + [f"-Wl,--version-script={os.path.join(HERE, script)}"],
    )


setup(ext_modules=[extension("clean_veskari"), extension("blockwise_veskari")])
