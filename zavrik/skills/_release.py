"""The release record: which profile and artifact a pruned templates tree was cut for.

Every build that prunes the templates (the wheel and the sdist in setup.py,
the frozen executable through the PyInstaller hook) writes `release.json`
into the root of its copy, beside `manifest.json`:

    {"profile": "python-release", "artifact": "wheel"}

It is a file, so `list_template_dirs` never takes it for a Skill, and no
function of the compiled module reads or writes it. `python -m zavrik.skills
check` and `verify` read it to know what the tree must hold.

This file uses the standard library only: setup.py loads it by path before
the extension exists, to refuse a profile without the artifact before
compiling anything.
"""

from __future__ import annotations

import json
from pathlib import Path

RECORD_FILENAME = "release.json"
UNRESTRICTED_PROFILES = ("dev", "internal")

# The restricted profiles and the artifacts each one can be built for: the
# keys of the compiled module's _PROFILE_KEYS (tests/test_cli.py holds the
# two together).
PROFILE_ARTIFACTS: dict[str, tuple[str, ...]] = {
    "python-release": ("sdist", "wheel"),
    "binary-minimal": ("binary",),
    "binary-full": ("binary",),
}
ARTIFACTS = ("sdist", "wheel", "binary")


class RecordError(ValueError):
    """A release record that cannot be read."""


def profile_error(profile: str, artifact: str) -> str | None:
    """The compiled module's message for a profile without `artifact`, else None."""
    if profile in UNRESTRICTED_PROFILES:
        return None
    artifacts = PROFILE_ARTIFACTS.get(profile)
    if not artifacts:
        return f"未知 Skill 构建 profile: {profile}"
    if artifact not in artifacts:
        return f"profile {profile!r} 不支持产物类型 {artifact!r}"
    return None


def record_text(profile: str, artifact: str) -> str:
    return json.dumps({"profile": profile, "artifact": artifact}) + "\n"


def parse_record(text: str | bytes, where: object) -> dict[str, str]:
    try:
        record = json.loads(text)
    except ValueError as exc:  # invalid JSON or UTF-8
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
