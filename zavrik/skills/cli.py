"""The release engineer's command: `zavrik-skills` (also `python -m zavrik.skills`).

Sub-commands:
  check   the release check of a templates root (exit 0 clean, 1 problems, 2 unusable);
          on a pruned tree, that it holds exactly what its release record admits
  verify  the same for built wheels, sdists and one-file executables
  list    the Skills admitted for a profile and artifact, or for every pair (--all)
  datas   the bundler's (source_file, destination_dir) pairs, for the profile a freeze takes
  prune   cut a copied templates tree down to what an artifact admits, and record it
  where   the central Skills store and the built-in templates root

Every failure (a missing directory, an unknown profile, a broken manifest, an
unreadable archive) ends with one line on stderr and exit status 2, never a
traceback; a reader that goes away (`... | head`) ends it quietly.
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
import zlib
from collections.abc import Callable, Sequence
from pathlib import Path, PurePosixPath
from typing import Any, NoReturn

from zavrik.skills import _release, packaging

PROG = "zavrik-skills"
TEMPLATES_IN_PACKAGE = "zavrik/skills/templates"
# The artifact each kind of built file is.
KIND_ARTIFACT = {"wheel": "wheel", "sdist": "sdist", "executable": _release.BINARY_ARTIFACT}
# What a damaged wheel or sdist raises while it is read: a bad directory or
# header, a corrupt deflate stream, a gzip stream cut short.
ARCHIVE_ERRORS = (zipfile.BadZipFile, tarfile.TarError, zlib.error, EOFError)

EXIT_OK = 0
EXIT_PROBLEMS = 1
EXIT_ERROR = 2
EXIT_INTERRUPTED = 130


class CommandError(Exception):
    """A failure that the command reports in one line."""


class UsageError(CommandError):
    """A mistake in the command line that argparse cannot see."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line instead of argparse's usage block plus message.
        self.exit(EXIT_ERROR, f"{self.prog}: error: {message} (see --help)\n")


def failure_text(exc: BaseException) -> str | None:
    """The one line that reports an expected failure; None for anything else."""
    if isinstance(exc, UsageError):
        return f"{exc} (see --help)"
    if isinstance(exc, (CommandError, _release.RecordError, _release.MissingSkillsError)):
        return str(exc)
    if isinstance(exc, packaging.SkillReleaseManifestError):
        # Invalid JSON: the decoder's own account (line, column) helps fix it.
        detail = f" ({exc.__cause__})" if isinstance(exc.__cause__, json.JSONDecodeError) else ""
        return f"{exc}{detail}"
    if isinstance(exc, UnicodeDecodeError):
        return f"the manifest is not UTF-8: {exc}"
    if isinstance(exc, RecursionError):
        # json.loads of a manifest of 100,000 nested brackets, or a tree as deep.
        return f"nested too deeply to be read ({exc})"
    if isinstance(exc, OSError):
        return str(exc)
    return None


def _require_profile(profile: str, artifact: str, origin: str) -> None:
    """Stop with the module's message, and an English line naming `origin`,
    unless `profile` builds `artifact`."""
    problem = _release.profile_error(packaging, profile, artifact, origin)
    if problem:
        raise CommandError(problem)


def _resolve_profile(given: str | None, fallback: str, doing: str) -> tuple[str, str]:
    """(profile, where it came from), saying so on stderr when neither the
    user nor the environment chose the default profile."""
    profile, origin = _release.resolve_profile(packaging, given, fallback)
    if origin == _release.FALLBACK_ORIGIN:
        print(
            f"note: no --profile and {packaging.PROFILE_ENV} unset: profile {profile}, {doing}",
            file=sys.stderr,
        )
    return profile, origin


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


def _record_origin(root: Path) -> str:
    return f"the release record {root / _release.RECORD_FILENAME}"


def _stale_entry_messages(names: set[str]) -> set[str]:
    """The release check's messages for Skills that the manifest declares and
    the tree lacks, in the module's own words: its check of a tree that holds
    no Skill, under a manifest that declares exactly `names`."""
    if not names:
        return set()
    with tempfile.TemporaryDirectory(prefix="zavrik-check-") as tmp:
        root = Path(tmp)
        manifest: dict[str, object] = {"skills": {name: {} for name in sorted(names)}}
        (root / packaging.MANIFEST_FILENAME).write_text(json.dumps(manifest), encoding="utf-8")
        return set(packaging.validate_release_manifest(root))


def release_problems(root: Path, profile: str, artifact: str) -> list[str]:
    """What keeps a pruned tree from being the release of `profile` and `artifact`.

    The release check, except that Skills the manifest declares but the
    tree lacks are meant to be absent unless the artifact admits them; then
    every admitted Skill that is missing, every declared Skill present
    without admission, and any build junk.
    """
    declared = set(packaging.load_release_manifest(root)["skills"])
    present = {d.name for d in packaging.list_template_dirs(root)}
    admitted = set(packaging.selected_skill_names(profile=profile, artifact=artifact, templates_dir=root))
    absent = _stale_entry_messages(declared - present)
    problems = [problem for problem in packaging.validate_release_manifest(root) if problem not in absent]
    cut = f"profile {profile}, artifact {artifact}"
    missing = _release.missing_skills(packaging, root, present, profile, artifact)
    problems += [f"{name}: admitted for {cut}, but missing" for name in missing]
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
        _require_profile(record["profile"], record["artifact"], _record_origin(root))
        problems = release_problems(root, record["profile"], record["artifact"])
        cut = f" (pruned for profile {record['profile']}, artifact {record['artifact']})"
    if args.json:
        _write_json({"templates_dir": str(root), "record": record, "problems": problems, "ok": not problems})
    else:
        for problem in problems:
            print(problem)
        if problems:
            print(f"release check failed: {len(problems)} problem(s) in {root}{cut}", file=sys.stderr)
        else:
            print(f"release check passed: {root}{cut}")
    return EXIT_PROBLEMS if problems else EXIT_OK


def _safe_member(name: str) -> PurePosixPath | None:
    """A member path that stays below the directory it is unpacked into."""
    path = PurePosixPath(name)
    if path.is_absolute() or not path.parts or any(part in ("", ".", "..") for part in path.parts):
        return None
    return path


def _unpack(members: dict[str, Any], read: Callable[[Any], bytes], dest: Path) -> None:
    """Write the archive members {relative path: member} below dest."""
    for name, member in members.items():
        rel = _safe_member(name)
        if rel is None:
            raise CommandError(f"archive member outside the templates tree: {name}")
        path = dest.joinpath(*rel.parts)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(read(member))


def _unpack_wheel(path: Path, root: Path) -> int:
    prefix = TEMPLATES_IN_PACKAGE + "/"
    with zipfile.ZipFile(path) as archive:
        members = {
            info.filename[len(prefix):]: info
            for info in archive.infolist()
            if info.filename.startswith(prefix) and not info.is_dir()
        }
        _unpack(members, archive.read, root)
    return len(members)


def _unpack_sdist(path: Path, root: Path) -> int:
    pattern = re.compile(r"[^/]+/" + re.escape(TEMPLATES_IN_PACKAGE + "/") + "(.+)")
    with tarfile.open(path) as archive:
        members = {}
        for info in archive.getmembers():
            found = pattern.fullmatch(info.name)
            if found and info.isfile():
                members[found.group(1)] = info
        _unpack(members, lambda info: archive.extractfile(info).read(), root)  # type: ignore[union-attr]
    return len(members)


def _unpack_executable(path: Path, root: Path) -> int:
    try:
        readers = importlib.import_module("PyInstaller.archive.readers")
    except ImportError:
        raise CommandError(
            f"{path} is not a wheel or an sdist; reading a one-file executable needs PyInstaller "
            "(python -m pip install pyinstaller)"
        ) from None
    try:
        reader = readers.CArchiveReader(str(path))
    except readers.ArchiveReadError:
        raise CommandError(
            f"{path} is not a wheel, an sdist, a PyInstaller one-file executable or a directory"
        ) from None
    prefix = TEMPLATES_IN_PACKAGE + "/"
    members = {
        name[len(prefix):]: name
        for name, entry in reader.toc.items()
        if name.startswith(prefix) and entry[-1] == "x"  # a data file
    }
    _unpack(members, reader.extract, root)
    return len(members)


UNPACK = {"wheel": _unpack_wheel, "sdist": _unpack_sdist, "executable": _unpack_executable}


def _archive_kind(path: Path) -> str:
    """A wheel or an sdist by its name, else by its content; else an executable.
    The name decides first, so that a damaged wheel is read (and reported)
    as a wheel rather than taken for something else."""
    name = path.name.lower()
    if name.endswith(".whl"):
        return "wheel"
    if name.endswith((".tar.gz", ".tgz", ".tar")):
        return "sdist"
    if zipfile.is_zipfile(path):
        return "wheel"
    if tarfile.is_tarfile(path):
        return "sdist"
    return "executable"


def _templates_of_archive(path: Path, tmp: Path) -> tuple[str, Path]:
    """(kind, templates root unpacked below tmp) of a wheel, an sdist or a one-file executable."""
    root = tmp / "templates"
    kind = "archive"
    try:
        kind = _archive_kind(path)
        count = UNPACK[kind](path, root)
    except ARCHIVE_ERRORS as exc:
        raise CommandError(f"{path}: damaged or truncated {kind} ({exc or type(exc).__name__})") from None
    if not count:
        raise CommandError(f"{path} ({kind}) holds no {TEMPLATES_IN_PACKAGE}")
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
    raise CommandError(f"{path} holds no {TEMPLATES_IN_PACKAGE} (nor a {packaging.MANIFEST_FILENAME})")


def verify_artifact(path: Path, profile: str | None, artifact: str | None = None) -> dict[str, Any]:
    """Whether one built artifact ships exactly the Skills admitted for it.

    The artifact is what the file is (a wheel, an sdist, an executable),
    else `artifact`, else the recorded one; the profile is `profile`, else
    the recorded one."""
    if not path.exists():
        raise UsageError(f"artifact not found: {path}")
    with tempfile.TemporaryDirectory(prefix="zavrik-verify-") as tmp:
        if path.is_dir():
            kind, root = _templates_of_directory(path)
        else:
            kind, root = _templates_of_archive(path, Path(tmp))
        record = _release.read_record(root)
        if kind and artifact and artifact != KIND_ARTIFACT[kind]:
            raise UsageError(f"{path} is a {kind}: its artifact is {KIND_ARTIFACT[kind]}, not {artifact}")
        artifact = KIND_ARTIFACT[kind] if kind else artifact or (record["artifact"] if record else None)
        if artifact is None:
            raise UsageError(f"{path}: no release record, and no telling which artifact it is (name it with --artifact)")
        chosen = profile or (record["profile"] if record else None)
        if chosen:
            _require_profile(chosen, artifact, "--profile" if profile else _record_origin(root))
        report: dict[str, Any] = {
            "path": str(path),
            "kind": kind,
            "recorded": record,
            "profile": chosen,
            "artifact": artifact,
            "skills": [d.name for d in packaging.list_template_dirs(root)],
        }
        problems: list[str] = []
        if record is None:
            if chosen is None:
                problems.append("no release record: not pruned for a release (--profile names the one to verify)")
            elif _release.is_restricted(chosen):
                problems.append(f"no release record: not pruned for profile {chosen}")
        elif (record["profile"], record["artifact"]) != (chosen, artifact):
            problems.append(
                f"recorded for profile {record['profile']}, artifact {record['artifact']}; "
                f"verified as profile {chosen}, artifact {artifact}"
            )
        if chosen is not None:
            problems += release_problems(root, chosen, artifact)
    report["problems"] = problems
    report["ok"] = not problems
    return report


def _cmd_verify(args: argparse.Namespace) -> int:
    status = EXIT_OK
    reports = []
    for item in args.artifacts:
        try:
            report = verify_artifact(Path(item), args.profile, args.artifact)
        except Exception as exc:
            text = failure_text(exc)
            if text is None:
                raise
            report = {"path": item, "ok": False, "error": text}
            status = EXIT_ERROR
            if not args.json:
                print(f"{args.prog} verify: error: {text}", file=sys.stderr)
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
    artifacts = list(packaging._PROFILE_KEYS.get(profile) or ())
    if len(artifacts) > 1:
        raise UsageError(f"--artifact is required for profile {profile} (one of: {', '.join(artifacts)})")
    # The profile's one artifact; or any, for an unrestricted profile; or
    # none, for an unknown one, which the module then names.
    return artifacts[0] if artifacts else ""


def _all_pairs() -> list[tuple[str, str, str | None]]:
    pairs: list[tuple[str, str, str | None]] = [(p, "*", None) for p in _release.UNRESTRICTED_PROFILES]
    for profile, keys in packaging._PROFILE_KEYS.items():
        pairs += [(profile, artifact, key) for artifact, key in keys.items()]
    return pairs


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
    if args.all:
        if args.profile or args.artifact:
            raise UsageError("--all lists every profile and artifact; drop --profile/--artifact")
        _note_pruned(root)
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
    profile, origin = _resolve_profile(args.profile, packaging.DEFAULT_PROFILE, "listing every Skill directory")
    artifact = args.artifact if args.artifact is not None else _default_artifact(profile)
    _require_profile(profile, artifact, origin)
    _note_pruned(root)
    names = packaging.selected_skill_names(profile=profile, artifact=artifact, templates_dir=root)
    if args.json:
        _write_json(names)
    else:
        for name in names:
            print(name)
    return EXIT_OK


def _cmd_datas(args: argparse.Namespace) -> int:
    root = _existing_dir(args.templates_dir, "templates directory")
    # The profile the PyInstaller hook freezes with.
    profile, origin = _release.resolve_profile(packaging, args.profile, _release.BINARY_DEFAULT_PROFILE)
    _require_profile(profile, _release.BINARY_ARTIFACT, origin)
    pairs = packaging.collect_skill_datas(profile=profile, templates_dir=root)
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
    profile, origin = _resolve_profile(args.profile, packaging.DEFAULT_PROFILE, "which removes junk and no Skill")
    _require_profile(profile, args.artifact, origin)
    try:
        kept = _release.prune_for_release(packaging, target, profile, args.artifact, manifest_root)
    except _release.MissingSkillsError as exc:
        raise CommandError(f"no release record written in {target}: {exc}") from None
    record = _release.read_record(target)
    if args.json:
        _write_json({"target": str(target), "profile": profile, "artifact": args.artifact, "kept": kept, "record": record})
    else:
        for name in kept:
            print(name)
    if record is None:
        written = f"no release record (profile {profile} selects no Skills)"
    else:
        written = f"release record: profile {record['profile']}, artifact {record['artifact']}"
    print(f"kept {len(kept)} Skill(s) in {target}; {written}", file=sys.stderr)
    return EXIT_OK


def _engine_status() -> tuple[bool | None, str | None]:
    """Whether the packaging module's native engine runs on this interpreter
    (None: cannot tell), and why not, in one line (None while it runs)."""
    try:
        from zavrik.skills import _engine
    except ImportError as exc:
        return None, f"zavrik.skills._engine is not built here ({exc})"
    active, reason = _engine.status()
    return active, reason


def _engine_line(active: bool | None, reason: str | None) -> str:
    version = "{}.{}.{}".format(*sys.version_info[:3])
    interpreter = f"{sys.implementation.name} {version}".replace("cpython", "CPython")
    if active:
        return f"active on {interpreter}"
    state = "unknown" if active is None else "inactive"
    return f"{state} on {interpreter}: {reason}; every call takes the slower method path"


def _cmd_where(args: argparse.Namespace) -> int:
    central = packaging.get_central_skills_dir()
    builtin = packaging.get_builtin_templates_dir()
    active, reason = _engine_status()
    if args.json:
        _write_json({
            "central_skills_dir": str(central),
            "builtin_templates_dir": str(builtin),
            "native_engine": active,
            "native_engine_reason": reason,
        })
    else:
        print(f"central Skills store:    {central}")
        print(f"built-in templates root: {builtin}")
        print(f"native engine:           {_engine_line(active, reason)}")
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


def build_parser(prog: str = PROG) -> argparse.ArgumentParser:
    parser = _Parser(
        prog=prog,
        description="Release checks and packaging helpers for zavrik's Skill templates.",
    )
    parser.set_defaults(prog=prog)
    parser.add_argument("--version", action=_VersionAction, help="show the version and exit")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    profiles = ", ".join(_release.PROFILES)
    artifacts = ", ".join(_release.ARTIFACTS)

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
    check.add_argument("--json", action="store_true", help="print the problems and the record as JSON")
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
    verify.add_argument(
        "--artifact",
        choices=_release.ARTIFACTS,
        help=f"{artifacts}: what a templates tree without a record was cut for (a built file tells by itself)",
    )
    verify.add_argument("--json", action="store_true", help="print a JSON report per artifact")
    verify.set_defaults(run=_cmd_verify)

    listing = commands.add_parser(
        "list",
        help="list the Skills admitted for a profile and artifact",
        description="List the Skills that a build of PROFILE and ARTIFACT ships. The profile "
        "defaults to $ZAVRIK_SKILL_PROFILE, else dev; the artifact may be left out when the "
        "profile has only one.",
    )
    listing.add_argument("--profile", help=profiles)
    listing.add_argument("--artifact", choices=_release.ARTIFACTS, help=artifacts)
    listing.add_argument("--all", action="store_true", help="every profile/artifact pair")
    listing.add_argument("--templates-dir", metavar="DIR", help="templates root (default: the built-in one)")
    listing.add_argument("--json", action="store_true", help="print JSON")
    listing.set_defaults(run=_cmd_list)

    datas = commands.add_parser(
        "datas",
        help="print the bundler's data pairs for a frozen build",
        description="Print the (source_file, destination_dir) pairs of every packable file of "
        "the Skills admitted for the binary, and the manifest, for PyInstaller's datas: what "
        "the package's PyInstaller hook bundles for the same profile.",
    )
    datas.add_argument(
        "--profile",
        help=f"default: $ZAVRIK_SKILL_PROFILE, else {_release.BINARY_DEFAULT_PROFILE}, as the PyInstaller hook",
    )
    datas.add_argument("--templates-dir", metavar="DIR", help="templates root (default: the built-in one)")
    datas.add_argument("--json", action="store_true", help="print a JSON list of pairs")
    datas.set_defaults(run=_cmd_datas)

    prune = commands.add_parser(
        "prune",
        help="prune a copied templates tree down to an artifact's Skills",
        description="Remove build junk and every Skill directory not admitted for PROFILE and "
        "ARTIFACT from TARGET, a copy of a templates tree, and record the cut in TARGET's "
        "release.json as the build scripts do (a restricted profile only). Admission is read "
        "from the manifest of --manifest-root, never from TARGET. Prints the Skills kept.",
    )
    prune.add_argument("target", metavar="TARGET", help="the copied templates tree to prune")
    prune.add_argument("--profile", help="default: $ZAVRIK_SKILL_PROFILE, else dev (which keeps every Skill)")
    prune.add_argument("--artifact", required=True, choices=_release.ARTIFACTS, help=artifacts)
    prune.add_argument(
        "--manifest-root", metavar="DIR", help="templates root holding the manifest (default: the built-in one)"
    )
    prune.add_argument("--json", action="store_true", help="print the Skills kept and the record as JSON")
    prune.set_defaults(run=_cmd_prune)

    where = commands.add_parser(
        "where",
        help="show the central Skills store, the built-in templates root and the native engine",
        description="Show where Skills live: the per-user central store and the built-in "
        "templates root, after the environment overrides; and whether the native engine runs "
        "on this interpreter, and why not where it does not.",
    )
    where.add_argument("--json", action="store_true", help="print JSON")
    where.set_defaults(run=_cmd_where)
    return parser


def _run(argv: Sequence[str] | None, prog: str) -> int:
    parser = build_parser(prog)
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help, --version, or a mistake argparse reported
        return exc.code if isinstance(exc.code, int) else EXIT_ERROR
    try:
        status: int = args.run(args)
    except BrokenPipeError:
        raise
    except Exception as exc:
        text = failure_text(exc) or f"{type(exc).__name__}: {exc} (unexpected: please report it)"
        print(f"{prog} {args.command}: error: {text}", file=sys.stderr)
        return EXIT_ERROR
    return status


def main(argv: Sequence[str] | None = None, prog: str = PROG) -> int:
    try:
        status = _run(argv, prog)
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader went away (`... | head`): stop quietly, and keep the
        # interpreter's final flush from complaining about it again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_ERROR
    except KeyboardInterrupt:
        print(f"{prog}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    return status
