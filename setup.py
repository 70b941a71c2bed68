"""Build of the zavrik package and its C++ extension `zavrik.skills.packaging`.

Every artifact ships only the Skill templates that the release manifest
admits for it: the build's own copy of `zavrik/skills/templates` (build_py's
copy for a wheel, the release tree for an sdist) is pruned with the
extension built in this very run, and the copy records what it was pruned
for in `release.json` beside the manifest. The profile is the one named by
ZAVRIK_SKILL_PROFILE, else the one a pruned sdist recorded (so a wheel built
from that sdist is pruned for the same profile), else none: every Skill is
kept. The source tree is never pruned.
"""

import importlib.util
import os
import shutil
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext as _build_ext
from setuptools.command.build_py import build_py as _build_py
from setuptools.command.sdist import sdist as _sdist
from setuptools.errors import SetupError

from distutils import log  # after setuptools, which provides it

SOURCES = [
    "zavrik/skills/module.cpp",
    "zavrik/skills/function.cpp",
    "zavrik/skills/binder.cpp",
    "zavrik/skills/directories.cpp",
    "zavrik/skills/manifest.cpp",
    "zavrik/skills/profiles.cpp",
    "zavrik/skills/operations.cpp",
    "zavrik/skills/state.cpp",
    "zavrik/skills/pathseam.cpp",
    "zavrik/skills/nativewalk.cpp",
    "zavrik/skills/nativefs.cpp",
    "zavrik/skills/walker.cpp",
    "zavrik/skills/reach.cpp",
    "zavrik/skills/removal.cpp",
    "zavrik/skills/rglob.cpp",
    "zavrik/skills/pathorder.cpp",
    "zavrik/skills/pysemantics.cpp",
    "zavrik/skills/textfile.cpp",
]
# zavrik.skills._engine: whether the native engine runs here, and why not,
# from the same path seam that the packaging module captures at import (its
# namespace carries nothing beyond its public surface).
ENGINE_SOURCES = [
    "zavrik/skills/engine.cpp",
    "zavrik/skills/pathseam.cpp",
]
HEADERS = [
    "zavrik/skills/pyref.hpp",
    "zavrik/skills/function.hpp",
    "zavrik/skills/params.hpp",
    "zavrik/skills/env.hpp",
    "zavrik/skills/funcobject.hpp",
    "zavrik/skills/directories.hpp",
    "zavrik/skills/manifest.hpp",
    "zavrik/skills/profiles.hpp",
    "zavrik/skills/operations.hpp",
    "zavrik/skills/state.hpp",
    "zavrik/skills/pathseam.hpp",
    "zavrik/skills/nativewalk.hpp",
    "zavrik/skills/nativefs.hpp",
    "zavrik/skills/walker.hpp",
    "zavrik/skills/reach.hpp",
    "zavrik/skills/removal.hpp",
    "zavrik/skills/rglob.hpp",
    "zavrik/skills/pathorder.hpp",
    "zavrik/skills/rules.hpp",
    "zavrik/skills/compat.hpp",
    "zavrik/skills/pysemantics.hpp",
    "zavrik/skills/textfile.hpp",
]


def _flag(name: str) -> bool:
    return os.environ.get(name, "").strip() not in ("", "0")


def _build_tool(var: str) -> list[str]:
    """The command this build runs as CC or CXX: the environment's, else the
    one the interpreter was built with (what setuptools itself picks)."""
    import shlex
    import sysconfig

    return shlex.split(os.environ.get(var) or sysconfig.get_config_var(var) or "")


_probed: dict[tuple[str, ...], str] = {}


def _probe(command: list[str]) -> str:
    """What `command` prints on stdout and stderr; empty if it cannot run."""
    import subprocess

    key = tuple(command)
    if key not in _probed:
        try:
            done = subprocess.run(
                command, capture_output=True, text=True, errors="replace", timeout=60
            )
            _probed[key] = done.stdout + done.stderr
        except (OSError, ValueError, subprocess.SubprocessError):
            _probed[key] = ""
    return _probed[key]


def _msvc() -> bool:
    # On Windows setuptools compiles with MSVC unless a GCC-style compiler
    # (MinGW, clang) is named through CC.
    return sys.platform == "win32" and not _build_tool("CC")


def _gnu_style_linker() -> bool:
    """True when the C++ driver links with GNU ld, gold or lld, the linkers
    that know --exclude-libs and --gc-sections (not Apple's ld64)."""
    if sys.platform == "darwin":
        return False
    tool = _build_tool("CXX")
    if not tool:
        return False
    text = _probe(tool + ["-Wl,--version"])
    return any(name in text for name in ("GNU ld", "GNU gold", "LLD"))


def _compile_args() -> list[str]:
    # Release builds carry no debug information: it is most of the size of
    # the extension, and the interpreter's own CFLAGS usually hold -g.
    # ZAVRIK_DEBUG=1 keeps it, and a sanitizer build always does.
    debug = _flag("ZAVRIK_DEBUG")
    if _msvc():
        args = ["/std:c++20", "/W4", "/EHsc"]
        if _flag("ZAVRIK_ACCEPT_SUBCLASSES"):
            args.append("/DZAVRIK_ACCEPT_SUBCLASSES=1")
        if _flag("ZAVRIK_SANITIZE"):
            args += ["/fsanitize=address", "/Zi"]
        elif debug:
            args.append("/Zi")
        return args
    args = ["-std=c++20", "-Wall", "-Wextra", "-fvisibility=hidden"]
    if _flag("ZAVRIK_ACCEPT_SUBCLASSES"):
        # Relaxes the exact-type test of str/dict parameters to isinstance.
        args.append("-DZAVRIK_ACCEPT_SUBCLASSES=1")
    if _flag("ZAVRIK_SANITIZE"):
        # Without the vptr check: it tests the object's memory by writing it
        # to a pipe, which fails in a process with no descriptor left, and
        # then reports every virtual call there as one on a wrong type. The
        # suite runs the walks in such processes on purpose.
        args += ["-fsanitize=address,undefined", "-fno-sanitize=vptr", "-fno-omit-frame-pointer",
                 "-O1", "-g"]
    elif debug:
        args.append("-g")
    else:
        args.append("-g0")  # after the interpreter's -g, so it wins
    if sys.platform == "darwin" or _gnu_style_linker():
        # One section per function and object, so that the linker can drop
        # what nothing references (--gc-sections, -dead_strip).
        args += ["-ffunction-sections", "-fdata-sections"]
    return args


def _link_args() -> list[str]:
    debug = _flag("ZAVRIK_DEBUG") or _flag("ZAVRIK_SANITIZE")
    if _msvc():
        # The MSVC linker drops unreferenced code by itself in a release link.
        return ["/DEBUG"] if debug else []
    if _flag("ZAVRIK_SANITIZE"):
        return ["-fsanitize=address,undefined", "-fno-sanitize=vptr"]
    if sys.platform == "darwin":
        # libc++ is part of the system; the interpreter's LDSHARED already
        # links the bundle with -undefined dynamic_lookup. -S drops the debug
        # map, -x the local symbols.
        return ["-Wl,-dead_strip"] + ([] if debug else ["-Wl,-S", "-Wl,-x"])
    if not _gnu_style_linker():
        return []
    # The C++ runtime linked in, its symbols kept private: loading
    # libstdc++.so, or resolving its exported symbols, would cost more than
    # everything else the import does. The unwinder stays the shared
    # libgcc_s: the interpreter ends daemon threads at exit by unwinding
    # them through pthread_exit, and that unwinding must find the same
    # unwinder in our frames as in its own (a private static copy aborts).
    return [
        "-static-libstdc++",
        "-Wl,--exclude-libs,ALL",
        "-Wl,--gc-sections",
        "-Wl,-O1",
    ] + ([] if debug else ["-s"])


MODULE_NAME = "zavrik.skills.packaging"
SOURCE_TEMPLATES = Path(__file__).resolve().parent / "zavrik" / "skills" / "templates"
TEMPLATES_IN_PACKAGE = Path("zavrik", "skills", "templates")


def _load_release_helpers():
    """zavrik/skills/_release.py (standard library only), loaded before anything is built."""
    path = Path(__file__).resolve().parent / "zavrik" / "skills" / "_release.py"
    spec = importlib.util.spec_from_file_location("_zavrik_release", path)
    if spec is None or spec.loader is None:
        raise SetupError(f"cannot load {path}")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


release = _load_release_helpers()

# The extension keeps one instance per process, so it is loaded once and
# shared by every command of this run (e.g. `setup.py sdist bdist_wheel`).
_packaging = None


def _built_packaging(command):
    """The freshly built extension, imported from the build directory."""
    global _packaging
    if _packaging is None:
        command.run_command("build_ext")
        built = command.get_finalized_command("build_ext").get_ext_fullpath(MODULE_NAME)
        module = sys.modules.get(MODULE_NAME)
        if module is None or Path(module.__file__).resolve() != Path(built).resolve():
            spec = importlib.util.spec_from_file_location(MODULE_NAME, built)
            if spec is None or spec.loader is None:
                raise SetupError(f"cannot load the built extension {built}")
            module = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(module)
            sys.modules.setdefault(MODULE_NAME, module)
        try:
            release.check_profile_table(module)
        except ValueError as exc:
            raise SetupError(str(exc)) from None
        _packaging = module
    return _packaging


def _require_build_copy(target: Path) -> None:
    resolved = target.resolve()
    if resolved == SOURCE_TEMPLATES or SOURCE_TEMPLATES in resolved.parents:
        raise SetupError(f"refusing to prune the source templates {SOURCE_TEMPLATES}")


def _build_profile(artifact: str) -> str | None:
    """The profile to prune `artifact` for, checked before anything is compiled.

    ZAVRIK_SKILL_PROFILE first; else the profile recorded in the source
    templates, which only a pruned sdist carries; else None (every Skill).
    """
    profile = os.environ.get("ZAVRIK_SKILL_PROFILE", "").strip()
    origin = "ZAVRIK_SKILL_PROFILE in the environment"
    if not profile:
        try:
            record = release.read_record(SOURCE_TEMPLATES)
        except (release.RecordError, OSError) as exc:
            raise SetupError(str(exc)) from None
        if record is None:
            return None
        profile = record["profile"]
        origin = f"the release record {SOURCE_TEMPLATES / release.RECORD_FILENAME} of the sdist this tree comes from"
        log.info("Skill profile %s, recorded by the sdist this tree comes from", profile)
    problem = release.profile_problem(profile, artifact)
    if problem:
        raise SetupError(f"cannot select the Skill templates of the {artifact}: {problem} (from {origin})")
    return profile


def _prune(command, target: Path, artifact: str, profile: str | None) -> None:
    """Cut the build's copy of the templates down to what `artifact` admits, and record it."""
    _require_build_copy(target)
    packaging = _built_packaging(command)
    try:
        kept = release.prune_for_release(packaging, target, profile, artifact, SOURCE_TEMPLATES)
    except packaging.SkillReleaseManifestError as exc:
        raise SetupError(f"cannot select the Skill templates of the {artifact}: {exc}") from None
    except release.MissingSkillsError as exc:
        # A source tree pruned for a smaller artifact (an sdist of another
        # profile) cannot make this one.
        raise SetupError(f"cannot build the {artifact} from this source tree: {exc}") from None
    log.info(
        "Skill templates in the %s (profile %s): %s",
        artifact,
        profile or packaging.DEFAULT_PROFILE,
        ", ".join(kept) or "none",
    )


class build_ext(_build_ext):
    """Exports the module's init function alone, with GNU ld, gold or lld.

    -fvisibility=hidden does not reach the C++ templates that libstdc++'s
    headers declare with default visibility: their instantiations (a
    vector<string>'s destructor, push_back ...) would be exported as weak
    symbols, where another extension's copies could preempt them. A version
    script keeps every symbol local except the ones setuptools itself gives
    MSVC to export: PyInit_packaging.
    """

    def build_extension(self, ext):
        if not _msvc() and _gnu_style_linker():
            script = Path(self.build_temp) / f"{ext.name}.map"
            script.parent.mkdir(parents=True, exist_ok=True)
            script.write_text(
                "{ global: " + " ".join(f"{name};" for name in self.get_export_symbols(ext)) + " local: *; };\n",
                encoding="utf-8",
            )
            ext.extra_link_args = [*ext.extra_link_args, f"-Wl,--version-script={script}"]
        super().build_extension(ext)


class build_py(_build_py):
    """Copies the package and prunes the copied templates for the wheel."""

    def run(self):
        if getattr(self, "editable_mode", False):
            # An editable install serves the source tree itself: nothing is
            # copied, so nothing may be pruned.
            return super().run()
        profile = _build_profile("wheel")
        target = Path(self.build_lib) / TEMPLATES_IN_PACKAGE
        _require_build_copy(target)
        # A fresh copy each time: Skills pruned by an earlier build under
        # another profile must come back, stale ones must not linger.
        if target.exists():
            shutil.rmtree(target)
        super().run()
        if target.exists():
            _prune(self, target, "wheel", profile)


class sdist(_sdist):
    """Prunes the release tree's templates for the source distribution."""

    def run(self):
        _build_profile("sdist")  # a profile without an sdist fails before compiling
        super().run()

    def make_distribution(self):
        # setuptools adds tests/test*.py by default; the tests need the whole
        # checkout (full templates, scripts/, fuzz/), so the sdist holds none
        # of them. Dropped here rather than by MANIFEST.in, whose exclusions
        # warn when a wheel is built from the sdist that lacks them.
        self.filelist.files = [f for f in self.filelist.files if not f.replace(os.sep, "/").startswith("tests/")]
        super().make_distribution()

    def make_release_tree(self, base_dir, files):
        # The release tree is made of hard links where possible: removing
        # entries from it unlinks them there and leaves the source alone.
        super().make_release_tree(base_dir, files)
        target = Path(base_dir) / TEMPLATES_IN_PACKAGE
        if target.exists():
            _prune(self, target, "sdist", _build_profile("sdist"))


setup(
    cmdclass={"build_ext": build_ext, "build_py": build_py, "sdist": sdist},
    ext_modules=[
        Extension(
            name,
            sources=sources,
            depends=HEADERS,
            language="c++",
            extra_compile_args=_compile_args(),
            extra_link_args=_link_args(),
        )
        for name, sources in (("zavrik.skills.packaging", SOURCES), ("zavrik.skills._engine", ENGINE_SOURCES))
    ],
)
