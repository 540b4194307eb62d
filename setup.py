"""Builds the package vardun with the C++ extensions vardun.mcp.user_store and
vardun.mcp._key_index (the key index's native engine).

VARDUN_BUILD selects the flavour: "release" (default), "asan" (AddressSanitizer
and UndefinedBehaviorSanitizer) or "debug". Warnings are errors in every one.
The metadata is in pyproject.toml; what setuptools still calls beta there
(the package layout) is given here.
"""

import os
from glob import glob

from setuptools import Extension, setup
from setuptools.command.build_py import build_py
from setuptools.command.install_lib import install_lib

FLAVOURS = {
    "release": ["-O2"],
    "debug": ["-O0", "-g3"],
    "asan": ["-O1", "-g", "-fsanitize=address,undefined", "-fno-omit-frame-pointer",
             "-fno-sanitize-recover=undefined"],
}

flavour = os.environ.get("VARDUN_BUILD", "release")
if flavour not in FLAVOURS:
    raise SystemExit(f"VARDUN_BUILD must be one of {sorted(FLAVOURS)}, not {flavour!r}")

compile_args = [
    "-std=c++20",
    "-fvisibility=hidden",
    "-Wall",
    "-Wextra",
    "-Werror",
    "-Wno-missing-field-initializers",
    *FLAVOURS[flavour],
]
link_args = ["-fsanitize=address,undefined"] if flavour == "asan" else []

# What both extensions are built from: references and errors, system calls,
# the rule for whose files the store reads, the strict JSON scanner and the
# UTF-8 check.
COMMON_SOURCES = sorted(glob("src/common/*.cpp"))
COMMON_HEADERS = sorted(glob("src/common/*.hpp"))



class CompileOnlyWhenAsked:
    """Skips the byte-compile step when it is not asked for.

    Without --compile or --optimize there is nothing to compile (a wheel
    build turns both off), yet the stock build_py and install_lib still go
    through that step, which says "byte-compiling is disabled, skipping"
    whenever PYTHONDONTWRITEBYTECODE is set.
    """

    def byte_compile(self, files):
        if self.compile or self.optimize:
            super().byte_compile(files)


class BuildPy(CompileOnlyWhenAsked, build_py):
    pass


class InstallLib(CompileOnlyWhenAsked, install_lib):
    pass


setup(
    # The src layout: nothing in the checkout root can shadow the installed package.
    package_dir={"": "src"},
    packages=["vardun", "vardun.mcp"],
    include_package_data=False,
    package_data={"vardun.mcp": ["py.typed", "*.pyi"]},
    cmdclass={"build_py": BuildPy, "install_lib": InstallLib},
    ext_modules=[
        Extension(
            "vardun.mcp.user_store",
            sources=[*sorted(glob("src/user_store/*.cpp")), *COMMON_SOURCES],
            depends=[*sorted(glob("src/user_store/*.hpp")), *COMMON_HEADERS],
            include_dirs=["src/common"],
            # simdjson (Debian's libsimdjson-dev): the strict UTF-8 check
            # shared with the key index (src/common/utf8_check.cpp).
            libraries=["simdjson"],
            language="c++",
            extra_compile_args=compile_args,
            extra_link_args=link_args,
        ),
        Extension(
            "vardun.mcp._key_index",
            sources=[*sorted(glob("src/key_index/*.cpp")), *COMMON_SOURCES],
            depends=[*sorted(glob("src/key_index/*.hpp")), *COMMON_HEADERS],
            include_dirs=["src/common"],
            # simdjson (Debian's libsimdjson-dev) checks the registry's UTF-8;
            # OpenSSL's libcrypto hashes keys, as hashlib does.
            libraries=["simdjson", "crypto"],
            language="c++",
            extra_compile_args=compile_args,
            extra_link_args=link_args,
        ),
    ],
)
