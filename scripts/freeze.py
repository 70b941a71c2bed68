"""Freeze a one-file executable with PyInstaller, bundling the admitted Skill templates.

    python scripts/freeze.py [--profile binary-minimal|binary-full] [--name NAME]
                             [--dist DIR] [--work DIR] [--templates-dir DIR] [--entry SCRIPT]

The bundle's data files are exactly collect_skill_datas(profile=...): every
packable file of the Skills the manifest admits for the binary, below
zavrik/skills/templates, and the manifest itself. The compiled extension is
bundled as a hidden import, together with the standard modules it imports
from C, which PyInstaller's analysis cannot see.
"""

from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))  # the checkout's own package when run from it

from zavrik.skills import packaging  # noqa: E402

HIDDEN_IMPORTS = ["zavrik.skills.packaging", "json", "pathlib", "typing"]


def pyinstaller_args(args: argparse.Namespace, datas: list[tuple[str, str]]) -> list[str]:
    work = Path(args.work)
    command = [
        str(args.entry),
        "--onefile",
        "--noconfirm",
        "--log-level=WARN",
        f"--name={args.name}",
        f"--distpath={args.dist}",
        f"--workpath={work}",
        f"--specpath={work}",
        f"--paths={ROOT}",
    ]
    command += [f"--hidden-import={name}" for name in HIDDEN_IMPORTS]
    command += [f"--add-data={source}{os.pathsep}{destination}" for source, destination in datas]
    return command


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="freeze.py", description=__doc__.split("\n\n")[0])
    parser.add_argument("--profile", default="binary-minimal", help="binary-minimal (default) or binary-full")
    parser.add_argument("--name", default="zavrik-skills", help="name of the executable")
    parser.add_argument("--dist", default=str(ROOT / "dist"), help="where the executable goes")
    parser.add_argument("--work", default=str(ROOT / "build" / "pyinstaller"), help="PyInstaller's work dir")
    parser.add_argument("--templates-dir", help="templates root to bundle (default: the built-in one)")
    parser.add_argument("--entry", default=str(ROOT / "scripts" / "frozen_entry.py"), help="entry script")
    args = parser.parse_args(argv)

    templates = Path(args.templates_dir) if args.templates_dir else None
    try:
        datas = packaging.collect_skill_datas(profile=args.profile, templates_dir=templates)
    except packaging.SkillReleaseManifestError as exc:
        print(f"freeze.py: error: {exc}", file=sys.stderr)
        return 2

    import PyInstaller.__main__

    PyInstaller.__main__.run(pyinstaller_args(args, datas))
    suffix = ".exe" if sys.platform == "win32" else ""
    print(Path(args.dist) / f"{args.name}{suffix}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
