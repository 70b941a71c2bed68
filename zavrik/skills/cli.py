"""The release engineer's command: `python -m zavrik.skills`.

Sub-commands:
  check   the release check of a templates root (exit 0 clean, 1 problems, 2 unusable);
          on a pruned tree, that it holds exactly what its release record admits
  verify  the same for built wheels, sdists and one-file executables
  list    the Skills admitted for a profile and artifact, or for every pair (--all)
  datas   the bundler's (source_file, destination_dir) pairs
  prune   cut a copied templates tree down to what an artifact admits
  where   the central Skills store and the built-in templates root

A user mistake (a missing directory, an unknown profile, a broken manifest)
ends with one line on stderr and exit status 2, never a traceback.
"""

from __future__ import annotations

import argparse
import importlib
import json
import os
import re
import sys
import tarfile
import tempfile
import zipfile
from collections.abc import Sequence
from pathlib import Path, PurePosixPath
from typing import Any, NoReturn

from zavrik.skills import _release, packaging

PROG = "python -m zavrik.skills"
UNRESTRICTED_PROFILES = _release.UNRESTRICTED_PROFILES
TEMPLATES_IN_PACKAGE = "zavrik/skills/templates"
# The artifact each kind of built file is.
KIND_ARTIFACT = {"wheel": "wheel", "sdist": "sdist", "executable": "binary"}

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


def release_problems(root: Path, profile: str, artifact: str) -> list[str]:
    """What keeps a pruned tree from being the release of `profile` and `artifact`.

    The release check, except that Skills the manifest declares but the
    artifact does not admit are meant to be absent; then every admitted
    Skill that is missing, every declared Skill present without admission,
    and any build junk.
    """
    manifest = packaging.load_release_manifest(root)
    declared = set(manifest["skills"])
    present = {d.name for d in packaging.list_template_dirs(root)}
    admitted = {
        name
        for name in declared | present
        if packaging.skill_allowed(name, profile=profile, artifact=artifact, manifest=manifest)
    }
    # Declared but absent: reported below only when the artifact admits it.
    absent = {f"manifest 声明了不存在的模板目录: {name}" for name in declared - present}
    problems = [problem for problem in packaging.validate_release_manifest(root) if problem not in absent]
    cut = f"profile {profile}, artifact {artifact}"
    problems += [f"{name}: admitted for {cut}, but missing" for name in sorted(admitted - present)]
    problems += [f"{name}: present, but not admitted for {cut}" for name in sorted((present - admitted) & declared)]
    for name in sorted(present):
        for path in sorted((root / name).rglob("*")):
            if not path.is_dir() and not packaging._is_packable_file(path):
                problems.append(f"{path.relative_to(root).as_posix()}: build junk")
    return problems


def _cmd_check(args: argparse.Namespace) -> int:
    root = Path(args.templates_dir) if args.templates_dir else packaging.get_builtin_templates_dir()
    record = _release.read_record(root)
    if record is None:
        problems = packaging.validate_release_manifest(root)
        cut = ""
    else:
        problems = release_problems(root, record["profile"], record["artifact"])
        cut = f" (pruned for profile {record['profile']}, artifact {record['artifact']})"
    for problem in problems:
        print(problem)
    if problems:
        print(f"release check failed: {len(problems)} problem(s) in {root}{cut}", file=sys.stderr)
        return EXIT_PROBLEMS
    print(f"release check passed: {root}{cut}")
    return EXIT_OK


def _safe_member(name: str) -> PurePosixPath | None:
    """A member path that stays below the directory it is unpacked into."""
    path = PurePosixPath(name)
    if path.is_absolute() or not path.parts or any(part in ("", ".", "..") for part in path.parts):
        return None
    return path


def _unpack(members: dict[str, Any], read: Any, dest: Path) -> None:
    """Write the archive members {relative path: member} below dest."""
    for name, member in members.items():
        rel = _safe_member(name)
        if rel is None:
            raise UsageError(f"archive member outside the templates tree: {name}")
        path = dest.joinpath(*rel.parts)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(read(member))


def _templates_of_archive(path: Path, tmp: Path) -> tuple[str, Path]:
    """(kind, templates root unpacked below tmp) of a wheel, an sdist or a one-file executable."""
    root = tmp / "templates"
    prefix = TEMPLATES_IN_PACKAGE + "/"
    members: dict[str, Any]
    if zipfile.is_zipfile(path):
        kind = "wheel"
        with zipfile.ZipFile(path) as archive:
            members = {
                info.filename[len(prefix):]: info
                for info in archive.infolist()
                if info.filename.startswith(prefix) and not info.is_dir()
            }
            _unpack(members, archive.read, root)
    elif tarfile.is_tarfile(path):
        kind = "sdist"
        pattern = re.compile(r"[^/]+/" + re.escape(prefix) + "(.+)")
        with tarfile.open(path) as archive:
            members = {}
            for info in archive.getmembers():
                found = pattern.fullmatch(info.name)
                if found and info.isfile():
                    members[found.group(1)] = info
            _unpack(members, lambda info: archive.extractfile(info).read(), root)  # type: ignore[union-attr]
    else:
        kind = "executable"
        try:
            readers = importlib.import_module("PyInstaller.archive.readers")
        except ImportError:
            raise UsageError(
                f"{path} is not a wheel or an sdist; reading a one-file executable needs PyInstaller "
                "(python -m pip install pyinstaller)"
            ) from None
        try:
            reader = readers.CArchiveReader(str(path))
        except readers.ArchiveReadError:
            raise UsageError(
                f"{path} is not a wheel, an sdist, a PyInstaller one-file executable or a directory"
            ) from None
        members = {
            name[len(prefix):]: name
            for name, entry in reader.toc.items()
            if name.startswith(prefix) and entry[-1] == "x"  # a data file
        }
        _unpack(members, reader.extract, root)
    if not members:
        raise UsageError(f"{path} ({kind}) holds no {TEMPLATES_IN_PACKAGE}")
    return kind, root


def _templates_of_directory(path: Path) -> tuple[str | None, Path]:
    """(kind or None, templates root) of an unpacked artifact or a templates root."""
    if (path / packaging.MANIFEST_FILENAME).is_file():
        return None, path
    for top in (path, *sorted(p for p in path.iterdir() if p.is_dir())):
        root = top / TEMPLATES_IN_PACKAGE
        if root.is_dir():
            if (top / "PKG-INFO").is_file():
                return "sdist", root
            if any(top.glob("*.dist-info")):
                return "wheel", root
            return None, root
    raise UsageError(f"{path} holds no {TEMPLATES_IN_PACKAGE} (nor a {packaging.MANIFEST_FILENAME})")


def verify_artifact(path: Path, profile: str | None) -> dict[str, Any]:
    """Whether one built artifact ships exactly the Skills admitted for it."""
    if not path.exists():
        raise UsageError(f"artifact not found: {path}")
    with tempfile.TemporaryDirectory(prefix="zavrik-verify-") as tmp:
        if path.is_dir():
            kind, root = _templates_of_directory(path)
        else:
            kind, root = _templates_of_archive(path, Path(tmp))
        record = _release.read_record(root)
        artifact = KIND_ARTIFACT[kind] if kind else record["artifact"] if record else None
        report: dict[str, Any] = {
            "path": str(path),
            "kind": kind,
            "recorded": record,
            "profile": profile or (record["profile"] if record else None),
            "artifact": artifact,
            "skills": [d.name for d in packaging.list_template_dirs(root)],
        }
        problems: list[str] = []
        if artifact is None:
            raise UsageError(f"{path}: no release record, and no telling which artifact it is")
        if record is None:
            if report["profile"] is None:
                problems.append("no release record: not pruned for a release (--profile names the one to verify)")
            elif report["profile"] not in UNRESTRICTED_PROFILES:
                problems.append(f"no release record: not pruned for profile {profile}")
        elif (record["profile"], record["artifact"]) != (report["profile"], artifact):
            problems.append(
                f"recorded for profile {record['profile']}, artifact {record['artifact']}; "
                f"verified as profile {report['profile']}, artifact {artifact}"
            )
        if report["profile"] is not None:
            problems += release_problems(root, report["profile"], artifact)
    report["problems"] = problems
    report["ok"] = not problems
    return report


def _cmd_verify(args: argparse.Namespace) -> int:
    status = EXIT_OK
    reports = []
    for item in args.artifacts:
        try:
            report = verify_artifact(Path(item), args.profile)
        except (
            UsageError,
            _release.RecordError,
            packaging.SkillReleaseManifestError,
            OSError,
            zipfile.BadZipFile,
            tarfile.TarError,
        ) as exc:
            report = {"path": item, "ok": False, "error": str(exc)}
            status = EXIT_ERROR
            if not args.json:
                print(f"{PROG} verify: error: {exc}", file=sys.stderr)
        else:
            if report["problems"] and status == EXIT_OK:
                status = EXIT_PROBLEMS
            if not args.json:
                cut = f"{report['artifact']}, profile {report['profile']}"
                if report["ok"]:
                    print(f"{item}: ok ({cut}): {', '.join(report['skills']) or '(no Skill)'}")
                else:
                    print(f"{item}: {len(report['problems'])} problem(s) ({cut})")
                    for problem in report["problems"]:
                        print(f"  {problem}")
        reports.append(report)
    if args.json:
        _write_json(reports)
    return status


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


def _note_dev_fallback(profile: str | None, doing: str) -> None:
    """Say so when neither the user nor the environment chose a profile."""
    if not profile and not packaging.current_profile(""):
        print(
            f"note: no --profile and {packaging.PROFILE_ENV} unset: profile {packaging.DEFAULT_PROFILE}, {doing}",
            file=sys.stderr,
        )


def _note_pruned(root: Path | None) -> None:
    record = _release.read_record(root or packaging.get_builtin_templates_dir())
    if record is not None:
        print(
            f"note: these templates were pruned for profile {record['profile']}, artifact "
            f"{record['artifact']}: other builds are listed with the Skills left in them",
            file=sys.stderr,
        )


def _cmd_list(args: argparse.Namespace) -> int:
    root = _existing_dir(args.templates_dir, "templates directory")
    _note_pruned(root)
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
    _note_dev_fallback(args.profile, "listing every Skill directory")
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
    _note_dev_fallback(args.profile, "which removes junk and no Skill")
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


def version_text() -> str:
    """The installed distribution's version, and what its built-in templates were pruned for."""
    from importlib import metadata

    try:
        text = f"zavrik {metadata.version('zavrik')}"
    except metadata.PackageNotFoundError:
        text = "zavrik (version unknown: not installed)"
    try:
        record = _release.read_record(packaging.get_builtin_templates_dir())
    except (_release.RecordError, OSError):
        record = None
    if record is not None:
        text += f", Skill templates pruned for profile {record['profile']}, artifact {record['artifact']}"
    return text


class _VersionAction(argparse.Action):
    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, **kwargs)

    def __call__(self, parser: argparse.ArgumentParser, *args: Any) -> NoReturn:
        print(version_text())
        parser.exit(EXIT_OK)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Release checks and packaging helpers for zavrik's Skill templates.",
    )
    parser.add_argument("--version", action=_VersionAction, help="show the version and exit")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    check = commands.add_parser(
        "check",
        help="check the release manifest against a templates tree",
        description="Run the release check: every Skill directory declared, every entry "
        "present and complete, every release-admitted Skill holding SKILL.md and "
        "data/VERSION.json. A tree that a build pruned (it holds release.json) must hold "
        "exactly the Skills admitted for the profile and artifact recorded there. Exit "
        "status 0 when clean, 1 when problems were found, 2 when the manifest cannot be loaded.",
    )
    check.add_argument(
        "templates_dir", nargs="?", metavar="TEMPLATES_DIR", help="templates root (default: the built-in one)"
    )
    check.set_defaults(run=_cmd_check)

    verify = commands.add_parser(
        "verify",
        help="check that built artifacts ship exactly their admitted Skills",
        description="For each ARTIFACT (a wheel, an sdist, a PyInstaller one-file executable, or "
        "one of them unpacked), check that it ships exactly the Skills that its manifest admits "
        "for the profile it recorded (or --profile) and its artifact, each complete and without "
        "build junk. Exit status 0 when every artifact passes, 1 when one does not, 2 when one "
        "cannot be read.",
    )
    verify.add_argument("artifacts", nargs="+", metavar="ARTIFACT", help="built file or unpacked tree")
    verify.add_argument("--profile", help="the profile the artifacts must be pruned for (default: the recorded one)")
    verify.add_argument("--json", action="store_true", help="print a JSON report per artifact")
    verify.set_defaults(run=_cmd_verify)

    listing = commands.add_parser(
        "list",
        help="list the Skills admitted for a profile and artifact",
        description="List the Skills that a build of PROFILE and ARTIFACT ships. The profile "
        "defaults to $ZAVRIK_SKILL_PROFILE, else dev; the artifact may be left out when the "
        "profile has only one.",
    )
    listing.add_argument("--profile", help="dev, internal, python-release, binary-minimal or binary-full")
    listing.add_argument("--artifact", choices=_release.ARTIFACTS, help="sdist, wheel or binary")
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
    prune.add_argument("--artifact", required=True, choices=_release.ARTIFACTS, help="sdist, wheel or binary")
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
    except _release.RecordError as exc:
        print(f"{prefix} {exc}", file=sys.stderr)
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
