"""The release engineer's command: `python -m zavrik.skills`.

Sub-commands:
  check  the release check of a templates root (exit 0 clean, 1 problems, 2 unusable)
  list   the Skills admitted for a profile and artifact, or for every pair (--all)
  datas  the bundler's (source_file, destination_dir) pairs
  prune  cut a copied templates tree down to what an artifact admits
  where  the central Skills store and the built-in templates root

A user mistake (a missing directory, an unknown profile, a broken manifest)
ends with one line on stderr and exit status 2, never a traceback.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import NoReturn

from zavrik.skills import packaging

PROG = "python -m zavrik.skills"
UNRESTRICTED_PROFILES = ("dev", "internal")

EXIT_OK = 0
EXIT_PROBLEMS = 1
EXIT_ERROR = 2


class UsageError(Exception):
    """A mistake in the command line that argparse cannot see."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line instead of argparse's usage block plus message.
        self.exit(EXIT_ERROR, f"{self.prog}: error: {message} (see --help)\n")


def _existing_dir(value: str | None, what: str) -> Path | None:
    if value is None:
        return None
    path = Path(value)
    if not path.exists():
        raise UsageError(f"{what} not found: {path}")
    if not path.is_dir():
        raise UsageError(f"{what} is not a directory: {path}")
    return path


def _write_json(value: object) -> None:
    json.dump(value, sys.stdout, ensure_ascii=False, indent=2)
    sys.stdout.write("\n")


def _cmd_check(args: argparse.Namespace) -> int:
    root = Path(args.templates_dir) if args.templates_dir else packaging.get_builtin_templates_dir()
    problems = packaging.validate_release_manifest(root)
    for problem in problems:
        print(problem)
    if problems:
        print(f"release check failed: {len(problems)} problem(s) in {root}", file=sys.stderr)
        return EXIT_PROBLEMS
    print(f"release check passed: {root}")
    return EXIT_OK


def _default_artifact(profile: str) -> str:
    """The artifact to use when none was given: unambiguous profiles only."""
    if profile in UNRESTRICTED_PROFILES:
        return ""
    artifacts = list(packaging._PROFILE_KEYS.get(profile) or ())
    if len(artifacts) == 1:
        return artifacts[0]
    if artifacts:
        raise UsageError(f"--artifact is required for profile {profile} (one of: {', '.join(artifacts)})")
    return ""  # an unknown profile: the module names it


def _all_pairs() -> list[tuple[str, str, str | None]]:
    pairs: list[tuple[str, str, str | None]] = [(p, "*", None) for p in UNRESTRICTED_PROFILES]
    for profile, keys in packaging._PROFILE_KEYS.items():
        pairs += [(profile, artifact, key) for artifact, key in keys.items()]
    return pairs


def _cmd_list(args: argparse.Namespace) -> int:
    root = _existing_dir(args.templates_dir, "templates directory")
    if args.all:
        if args.profile or args.artifact:
            raise UsageError("--all lists every profile and artifact; drop --profile/--artifact")
        rows = [
            (profile, artifact, key, packaging.selected_skill_names(profile=profile, artifact=artifact, templates_dir=root))
            for profile, artifact, key in _all_pairs()
        ]
        if args.json:
            _write_json([{"profile": p, "artifact": a, "key": k, "skills": names} for p, a, k, names in rows])
        else:
            for profile, artifact, key, names in rows:
                print(f"{profile:<15} {artifact:<7} {key or '-':<12} {', '.join(names) or '(none)'}")
        return EXIT_OK
    profile = args.profile or packaging.current_profile()
    artifact = args.artifact if args.artifact is not None else _default_artifact(profile)
    names = packaging.selected_skill_names(profile=profile, artifact=artifact, templates_dir=root)
    if args.json:
        _write_json(names)
    else:
        for name in names:
            print(name)
    return EXIT_OK


def _cmd_datas(args: argparse.Namespace) -> int:
    root = _existing_dir(args.templates_dir, "templates directory")
    pairs = packaging.collect_skill_datas(profile=args.profile, templates_dir=root)
    if args.json:
        _write_json([list(pair) for pair in pairs])
    else:
        for source, destination in pairs:
            print(f"{source} -> {destination}")
    return EXIT_OK


def _cmd_prune(args: argparse.Namespace) -> int:
    target = _existing_dir(args.target, "target")
    manifest_root = _existing_dir(args.manifest_root, "manifest root")
    assert target is not None
    builtin = packaging.get_builtin_templates_dir()
    for protected in (manifest_root or builtin, builtin):
        if protected.exists() and target.resolve() == protected.resolve():
            raise UsageError(f"refusing to prune {target}: it holds the manifest's own templates; prune a copy")
    kept = packaging.prune_templates_dir(
        target, profile=args.profile, artifact=args.artifact, manifest_templates_dir=manifest_root
    )
    for name in kept:
        print(name)
    print(f"kept {len(kept)} Skill(s) in {target}", file=sys.stderr)
    return EXIT_OK


def _cmd_where(args: argparse.Namespace) -> int:
    central = packaging.get_central_skills_dir()
    builtin = packaging.get_builtin_templates_dir()
    if args.json:
        _write_json({"central_skills_dir": str(central), "builtin_templates_dir": str(builtin)})
    else:
        print(f"central Skills store:    {central}")
        print(f"built-in templates root: {builtin}")
    return EXIT_OK


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Release checks and packaging helpers for zavrik's Skill templates.",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    check = commands.add_parser(
        "check",
        help="check the release manifest against a templates tree",
        description="Run the release check: every Skill directory declared, every entry "
        "present and complete, every release-admitted Skill holding SKILL.md and "
        "data/VERSION.json. Exit status 0 when clean, 1 when problems were found, "
        "2 when the manifest cannot be loaded.",
    )
    check.add_argument(
        "templates_dir", nargs="?", metavar="TEMPLATES_DIR", help="templates root (default: the built-in one)"
    )
    check.set_defaults(run=_cmd_check)

    listing = commands.add_parser(
        "list",
        help="list the Skills admitted for a profile and artifact",
        description="List the Skills that a build of PROFILE and ARTIFACT ships. The profile "
        "defaults to $ZAVRIK_SKILL_PROFILE, else dev; the artifact may be left out when the "
        "profile has only one.",
    )
    listing.add_argument("--profile", help="dev, internal, python-release, binary-minimal or binary-full")
    listing.add_argument("--artifact", help="sdist, wheel or binary")
    listing.add_argument("--all", action="store_true", help="every profile/artifact pair")
    listing.add_argument("--templates-dir", metavar="DIR", help="templates root (default: the built-in one)")
    listing.add_argument("--json", action="store_true", help="print JSON")
    listing.set_defaults(run=_cmd_list)

    datas = commands.add_parser(
        "datas",
        help="print the bundler's data pairs for a frozen build",
        description="Print the (source_file, destination_dir) pairs of every packable file of "
        "the Skills admitted for the binary, and the manifest, for PyInstaller's datas.",
    )
    datas.add_argument("--profile", help="binary-minimal (default) or binary-full")
    datas.add_argument("--templates-dir", metavar="DIR", help="templates root (default: the built-in one)")
    datas.add_argument("--json", action="store_true", help="print a JSON list of pairs")
    datas.set_defaults(run=_cmd_datas)

    prune = commands.add_parser(
        "prune",
        help="prune a copied templates tree down to an artifact's Skills",
        description="Remove build junk and every Skill directory not admitted for PROFILE and "
        "ARTIFACT from TARGET, a copy of a templates tree. Admission is read from the "
        "manifest of --manifest-root, never from TARGET. Prints the Skills kept.",
    )
    prune.add_argument("target", metavar="TARGET", help="the copied templates tree to prune")
    prune.add_argument("--profile", help="default: $ZAVRIK_SKILL_PROFILE, else dev (which keeps every Skill)")
    prune.add_argument("--artifact", required=True, help="sdist, wheel or binary")
    prune.add_argument(
        "--manifest-root", metavar="DIR", help="templates root holding the manifest (default: the built-in one)"
    )
    prune.set_defaults(run=_cmd_prune)

    where = commands.add_parser(
        "where",
        help="show the central Skills store and the built-in templates root",
        description="Show where Skills live: the per-user central store and the built-in "
        "templates root, after the environment overrides.",
    )
    where.add_argument("--json", action="store_true", help="print JSON")
    where.set_defaults(run=_cmd_where)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    prefix = f"{PROG} {args.command}: error:"
    try:
        status: int = args.run(args)
    except BrokenPipeError:
        # The reader went away (`... | head`): stop quietly, and keep the
        # interpreter's final flush from complaining about it again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_PROBLEMS
    except UsageError as exc:
        print(f"{prefix} {exc} (see --help)", file=sys.stderr)
        return EXIT_ERROR
    except packaging.SkillReleaseManifestError as exc:
        # Invalid JSON: the decoder's own account (line, column) helps fix it.
        detail = f" ({exc.__cause__})" if isinstance(exc.__cause__, json.JSONDecodeError) else ""
        print(f"{prefix} {exc}{detail}", file=sys.stderr)
        return EXIT_ERROR
    except UnicodeDecodeError as exc:
        print(f"{prefix} the manifest is not UTF-8: {exc}", file=sys.stderr)
        return EXIT_ERROR
    except OSError as exc:
        print(f"{prefix} {exc}", file=sys.stderr)
        return EXIT_ERROR
    return status
