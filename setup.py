"""Build of the zavrik package and its C++ extension `zavrik.skills.packaging`."""

import os

from setuptools import Extension, setup

SOURCES = [
    "zavrik/skills/module.cpp",
    "zavrik/skills/function.cpp",
    "zavrik/skills/directories.cpp",
    "zavrik/skills/manifest.cpp",
    "zavrik/skills/profiles.cpp",
    "zavrik/skills/operations.cpp",
    "zavrik/skills/nativefs.cpp",
]
HEADERS = [
    "zavrik/skills/pyref.hpp",
    "zavrik/skills/function.hpp",
    "zavrik/skills/directories.hpp",
    "zavrik/skills/manifest.hpp",
    "zavrik/skills/profiles.hpp",
    "zavrik/skills/operations.hpp",
    "zavrik/skills/nativefs.hpp",
]


def _flag(name: str) -> bool:
    return os.environ.get(name, "").strip() not in ("", "0")


def _compile_args() -> list[str]:
    args = ["-std=c++20", "-Wall", "-Wextra", "-fvisibility=hidden"]
    if _flag("ZAVRIK_ACCEPT_SUBCLASSES"):
        # Relaxes the exact-type test of str/dict parameters to isinstance.
        args.append("-DZAVRIK_ACCEPT_SUBCLASSES=1")
    if _flag("ZAVRIK_SANITIZE"):
        args += ["-fsanitize=address,undefined", "-fno-omit-frame-pointer", "-O1", "-g"]
    return args


def _link_args() -> list[str]:
    if _flag("ZAVRIK_SANITIZE"):
        return ["-fsanitize=address,undefined"]
    # The C++ runtime linked in: loading libstdc++.so would cost more than
    # everything else the import does.
    return ["-static-libstdc++", "-static-libgcc"]


setup(
    ext_modules=[
        Extension(
            "zavrik.skills.packaging",
            sources=SOURCES,
            depends=HEADERS,
            language="c++",
            extra_compile_args=_compile_args(),
            extra_link_args=_link_args(),
        )
    ],
)
