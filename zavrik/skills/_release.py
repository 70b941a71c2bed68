"""What the build scripts, the command line and the PyInstaller hook share.

The profile table: the profiles and the artifacts each one builds, the
compiled module's _PROFILE_KEYS without the keys. setup.py needs it before
the extension exists, to refuse a profile without the artifact before
compiling anything; `check_profile_table` holds it to the module's once the
module is built (setup.py runs it on every build that loads the extension).
Only the module words its own errors: `profile_error` asks it.

The release record: every build that prunes the templates (the wheel and
the sdist in setup.py, `prune` on the command line, the frozen executable
through the PyInstaller hook) writes `release.json` into the root of its
copy, beside `manifest.json`:

    {"profile": "python-release", "artifact": "wheel"}

It is a file, so `list_template_dirs` never takes it for a Skill, and no
function of the compiled module reads or writes it. `check` and `verify`
read it to know what the tree must hold.

This file uses the standard library only, since setup.py loads it by path;
the functions that need the compiled module take it as their first
argument.
"""

from __future__ import annotations

import json
from collections.abc import Collection
from pathlib import Path
from typing import Any

RECORD_FILENAME = "release.json"

# The profiles that admit every Skill directory without reading a manifest.
UNRESTRICTED_PROFILES = ("dev", "internal")
# The restricted profiles and the artifacts each one builds, in the module's order.
PROFILE_ARTIFACTS: dict[str, tuple[str, ...]] = {
    "python-release": ("sdist", "wheel"),
    "binary-minimal": ("binary",),
    "binary-full": ("binary",),
}
PROFILES = UNRESTRICTED_PROFILES + tuple(PROFILE_ARTIFACTS)
ARTIFACTS = tuple(dict.fromkeys(a for artifacts in PROFILE_ARTIFACTS.values() for a in artifacts))
# The artifact of a frozen executable, and the profile collect_skill_datas
# falls back to, which the hook and `datas` fall back to as well.
BINARY_ARTIFACT = "binary"
BINARY_DEFAULT_PROFILE = "binary-minimal"
# Where a profile came from when nobody chose it.
FALLBACK_ORIGIN = "the default profile"


class RecordError(ValueError):
    """A release record that cannot be read."""


class MissingSkillsError(ValueError):
    """A tree that lacks Skills its profile and artifact admit."""

    def __init__(self, missing: list[str], profile: str, artifact: str) -> None:
        super().__init__(f"Skills admitted for profile {profile}, artifact {artifact} are missing: {', '.join(missing)}")
        self.missing = missing


def is_restricted(profile: str) -> bool:
    """Whether `profile` selects Skills by the manifest, so that a tree cut
    for it holds a selection and gets a record."""
    return profile in PROFILE_ARTIFACTS


def profile_problem(profile: str, artifact: str) -> str | None:
    """What is wrong with building `artifact` under `profile`, in English with
    the valid choices; None when nothing is."""
    if profile in UNRESTRICTED_PROFILES:
        return None
    artifacts = PROFILE_ARTIFACTS.get(profile)
    if not artifacts:
        return f"unknown profile {profile!r}; the profiles are {', '.join(PROFILES)}"
    if artifact in artifacts:
        return None
    builders = [name for name, built in PROFILE_ARTIFACTS.items() if artifact in built]
    text = f"profile {profile} builds {' and '.join(artifacts)}, not {artifact!r}"
    return text + (f"; {artifact} is built by {' and '.join(builders)}" if builders else "")


def check_profile_table(packaging: Any) -> None:
    """Raise ValueError when the table above and the compiled module's disagree."""
    theirs = {profile: tuple(keys) for profile, keys in packaging._PROFILE_KEYS.items()}
    restricted = [profile for profile in UNRESTRICTED_PROFILES if packaging._profile_key(profile, "") is not None]
    if theirs != PROFILE_ARTIFACTS or restricted:
        raise ValueError(
            f"the profile table of {__name__} ({PROFILE_ARTIFACTS}, unrestricted {UNRESTRICTED_PROFILES}) "
            f"disagrees with the module's _PROFILE_KEYS ({theirs})"
        )


def profile_error(packaging: Any, profile: str, artifact: str, origin: str) -> str | None:
    """The module's own message for a profile that cannot build `artifact`,
    followed by what is wrong in English and where the profile came from
    (`origin`); None when the profile builds it."""
    try:
        packaging._profile_key(profile, artifact)
    except packaging.SkillReleaseManifestError as exc:
        return f"{exc} ({origin}: {profile_problem(profile, artifact) or 'refused by the module'})"
    return None


def resolve_profile(packaging: Any, given: str | None, fallback: str) -> tuple[str, str]:
    """(profile, where it came from): `given` (a --profile), else
    ZAVRIK_SKILL_PROFILE, else `fallback`."""
    if given:
        return given, "--profile"
    chosen = packaging.current_profile("")
    if chosen:
        return chosen, f"{packaging.PROFILE_ENV} in the environment"
    return fallback, FALLBACK_ORIGIN


def missing_skills(
    packaging: Any, manifest_root: Path | None, present: Collection[str], profile: str, artifact: str
) -> list[str]:
    """The Skills that the manifest of `manifest_root` (None: the built-in
    root) admits for `profile` and `artifact` and `present` lacks, sorted.
    An unrestricted profile admits the directories there are: none lacks."""
    if packaging._profile_key(profile, artifact) is None:
        return []
    manifest = packaging.load_release_manifest(manifest_root)
    return sorted(
        name
        for name in manifest["skills"]
        if name not in present
        and packaging.skill_allowed(name, profile=profile, artifact=artifact, manifest=manifest)
    )


def prune_for_release(
    packaging: Any, target: Path, profile: str | None, artifact: str, manifest_root: Path | None
) -> list[str]:
    """Prune the copy `target` for `profile` and `artifact` and record it; the Skills kept.

    Under a restricted profile the copy must keep every Skill admitted
    there: one cut earlier for a smaller artifact cannot make this one, and
    gets no record (MissingSkillsError). An unrestricted profile or none
    removes only junk, so the tree gets no record, and a record copied from
    a pruned tree (an sdist's) still tells what it holds.
    """
    kept: list[str] = packaging.prune_templates_dir(
        target, profile=profile, artifact=artifact, manifest_templates_dir=manifest_root
    )
    if profile is not None and is_restricted(profile):
        missing = missing_skills(packaging, manifest_root, kept, profile, artifact)
        if missing:
            raise MissingSkillsError(missing, profile, artifact)
        write_record(target, profile, artifact)
    return kept


def record_text(profile: str, artifact: str) -> str:
    return json.dumps({"profile": profile, "artifact": artifact}) + "\n"


def parse_record(text: str | bytes, where: object) -> dict[str, str]:
    try:
        record = json.loads(text)
    except (ValueError, RecursionError) as exc:  # invalid JSON or UTF-8, or nested too deeply
        raise RecordError(f"release record {where} is not valid JSON: {exc}") from None
    if not (
        isinstance(record, dict)
        and isinstance(record.get("profile"), str)
        and isinstance(record.get("artifact"), str)
    ):
        raise RecordError(f"release record {where} must be an object with a profile and an artifact")
    return {"profile": record["profile"], "artifact": record["artifact"]}


def read_record(templates_dir: Path) -> dict[str, str] | None:
    """The record of a pruned templates tree, or None for an unpruned one."""
    path = templates_dir / RECORD_FILENAME
    if not path.is_file():
        return None
    return parse_record(path.read_bytes(), path)


def write_record(templates_dir: Path, profile: str, artifact: str) -> None:
    """Write the record as a new file: an sdist's release tree is made of hard
    links to the source, and a record copied there must not be written through."""
    path = templates_dir / RECORD_FILENAME
    path.unlink(missing_ok=True)
    path.write_text(record_text(profile, artifact), encoding="utf-8")
