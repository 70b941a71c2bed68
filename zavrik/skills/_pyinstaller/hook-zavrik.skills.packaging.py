"""Bundles the Skill templates that the frozen build admits, beside the extension.

The data files are collect_skill_datas() for the profile in
ZAVRIK_SKILL_PROFILE (default "binary-minimal"), which puts the admitted
Skills and the manifest below zavrik/skills/templates in the bundle, where
get_builtin_templates_dir() looks inside a frozen program; plus a release
record of that profile and the artifact "binary", for `python -m
zavrik.skills check` and `verify`. The extension imports the standard
modules below from C, out of sight of PyInstaller's analysis.
"""

import atexit
import os
import shutil
import tempfile
from pathlib import Path

from PyInstaller import config

from zavrik.skills import _release, packaging

hiddenimports = ["json", "os", "sys", "pathlib", "typing"]

ARTIFACT = _release.BINARY_ARTIFACT


def _fail(message):
    raise SystemExit(f"zavrik.skills PyInstaller hook: error: {message}")


def _record_dir():
    """A directory of this build for the record (its basename is kept in the bundle)."""
    work = config.CONF.get("workpath")
    if work:
        path = Path(work) / "zavrik-skills-release"
        path.mkdir(parents=True, exist_ok=True)
        return path
    path = Path(tempfile.mkdtemp(prefix="zavrik-skills-release-"))
    atexit.register(shutil.rmtree, path, True)
    return path


def _datas():
    root = packaging.get_builtin_templates_dir()
    profile, origin = _release.resolve_profile(packaging, None, _release.BINARY_DEFAULT_PROFILE)
    problem = _release.profile_error(packaging, profile, ARTIFACT, origin)
    if problem:
        _fail(problem)
    try:
        datas = packaging.collect_skill_datas(profile=profile, templates_dir=root)
        # The templates of a pruned installation (a wheel cut for another
        # artifact) may lack Skills that this build admits.
        present = {d.name for d in packaging.list_template_dirs(root)}
        missing = _release.missing_skills(packaging, root, present, profile, ARTIFACT)
    except packaging.SkillReleaseManifestError as exc:
        _fail(f"{exc} (templates: {root})")
    if missing:
        _fail(
            f"profile {profile} admits Skills that {root} lacks: {', '.join(missing)} "
            "(install zavrik from a source checkout, or point ZAVRIK_BUILTIN_TEMPLATES_DIR at full templates)"
        )
    if not _release.is_restricted(profile):
        return datas
    record = _record_dir() / _release.RECORD_FILENAME
    record.write_text(_release.record_text(profile, ARTIFACT), encoding="utf-8")
    return datas + [(str(record), os.path.join("zavrik", "skills", "templates"))]


datas = _datas()
