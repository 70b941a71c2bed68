"""Freeze a one-file executable with PyInstaller, bundling the admitted Skill templates.

    python scripts/freeze.py [--profile binary-minimal|binary-full] [--name NAME]
                             [--dist DIR] [--work DIR] [--templates-dir DIR] [--entry SCRIPT]

The package's own PyInstaller hook (zavrik/skills/_pyinstaller, which
PyInstaller finds through the `pyinstaller40` entry point of an installed
zavrik) does the bundling: the data files collect_skill_datas() lists for
ZAVRIK_SKILL_PROFILE, a release record, and the standard modules the
extension imports from C. This script sets that variable to --profile and
runs PyInstaller, as plain `pyinstaller --onefile app.py` would.
"""

from __future__ import annotations

import argparse
import importlib.machinery
import os
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
PROG = "freeze.py"


def _built_in_checkout() -> bool:
    """The checkout holds a built extension (pip install -e ., or build_ext --inplace)."""
    skills = ROOT / "zavrik" / "skills"
    return any((skills / f"packaging{suffix}").is_file() for suffix in importlib.machinery.EXTENSION_SUFFIXES)


def _hooks_registered() -> bool:
    from importlib.metadata import entry_points

    return any(ep.value.startswith("zavrik.skills._pyinstaller") for ep in entry_points(group="pyinstaller40"))


def _fail(message: str) -> int:
    print(f"{PROG}: error: {message}", file=sys.stderr)
    return 2


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog=PROG, description=__doc__.split("\n\n")[0])
    parser.add_argument("--profile", help="binary-minimal or binary-full (default: $ZAVRIK_SKILL_PROFILE, else binary-minimal)")
    parser.add_argument("--name", default="zavrik-skills", help="name of the executable")
    parser.add_argument("--dist", default=str(ROOT / "dist"), help="where the executable goes")
    parser.add_argument("--work", default=str(ROOT / "build" / "pyinstaller"), help="PyInstaller's work dir")
    parser.add_argument("--templates-dir", help="templates root to bundle (default: the built-in one)")
    parser.add_argument("--entry", default=str(ROOT / "scripts" / "frozen_entry.py"), help="entry script")
    args = parser.parse_args(argv)

    from_checkout = _built_in_checkout()
    if from_checkout and str(ROOT) not in sys.path:
        sys.path.insert(0, str(ROOT))  # the checkout's own build before an installed one
    try:
        from zavrik.skills import _release, packaging
        from zavrik.skills._pyinstaller import get_hook_dirs
    except ImportError as exc:
        return _fail(
            f"zavrik.skills.packaging cannot be imported ({exc}); install zavrik "
            "(python -m pip install .) or build it in this checkout (python -m pip install -e .)"
        )
    try:
        import PyInstaller.__main__
    except ImportError:
        return _fail("PyInstaller is not installed in this environment (python -m pip install pyinstaller)")

    # The hook would fail the same way, after PyInstaller's analysis.
    profile, origin = _release.resolve_profile(packaging, args.profile, _release.BINARY_DEFAULT_PROFILE)
    problem = _release.profile_error(packaging, profile, _release.BINARY_ARTIFACT, origin)
    if problem:
        return _fail(problem)
    templates = Path(args.templates_dir).resolve() if args.templates_dir else None
    try:
        packaging.collect_skill_datas(profile=profile, templates_dir=templates)
    except packaging.SkillReleaseManifestError as exc:
        return _fail(str(exc))

    os.environ[packaging.PROFILE_ENV] = profile
    if templates is not None:
        os.environ["ZAVRIK_BUILTIN_TEMPLATES_DIR"] = str(templates)
    work = Path(args.work)
    command = [
        str(args.entry),
        "--onefile",
        "--noconfirm",
        f"--name={args.name}",
        f"--distpath={args.dist}",
        f"--workpath={work}",
        f"--specpath={work}",
    ]
    if from_checkout:
        command.append(f"--paths={ROOT}")
    if not _hooks_registered():
        # Not installed (only built in place): no entry point to find the hook by.
        command += [f"--additional-hooks-dir={directory}" for directory in get_hook_dirs()]
    print(f"{PROG}: freezing {args.entry} with the Skills of profile {profile} (PyInstaller's log follows)",
          file=sys.stderr, flush=True)
    PyInstaller.__main__.run(command)
    suffix = ".exe" if sys.platform == "win32" else ""
    print(Path(args.dist) / f"{args.name}{suffix}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
