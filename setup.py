"""Builds the C++ extension vardun.mcp.user_store.

VARDUN_BUILD selects the flavour: "release" (default), "asan" (AddressSanitizer
and UndefinedBehaviorSanitizer) or "debug". Warnings are errors in every one.
"""

import os
from glob import glob

from setuptools import Extension, setup

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

setup(
    ext_modules=[
        Extension(
            "vardun.mcp.user_store",
            sources=sorted(glob("src/user_store/*.cpp")),
            depends=sorted(glob("src/user_store/*.hpp")),
            language="c++",
            extra_compile_args=compile_args,
            extra_link_args=link_args,
        )
    ],
)
