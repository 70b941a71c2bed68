"""A caller of every function of zavrik.skills.packaging, checked by mypy --strict.

`use_every_function` also runs (tests/test_typing.py), so the types that the
stub promises are the ones the module returns.
"""

import shutil
from pathlib import Path
from typing import Any, assert_type

from zavrik.skills import packaging
from zavrik.skills.packaging import SkillReleaseManifestError


def use_every_function(templates: Path, work: Path) -> None:
    assert_type(packaging.get_central_skills_dir(), Path)
    assert_type(packaging.get_builtin_templates_dir(), Path)
    manifest = assert_type(packaging.load_release_manifest(templates), dict[str, Any])
    assert_type(packaging.load_release_manifest(), dict[str, Any])
    dirs = assert_type(packaging.list_template_dirs(templates), list[Path])
    assert_type(packaging.current_profile(), str)
    assert_type(packaging.current_profile(packaging.DEFAULT_PROFILE), str)
    key = assert_type(packaging._profile_key(packaging.RELEASE_PROFILE, "wheel"), str | None)
    assert key == "wheel"
    for skill in dirs:
        allowed = packaging.skill_allowed(
            skill.name, profile="binary-full", artifact="binary", manifest=manifest
        )
        assert_type(allowed, bool)
    assert_type(packaging.skill_allowed("x", profile="dev", artifact="wheel", templates_dir=templates), bool)
    names = assert_type(
        packaging.selected_skill_names(profile="python-release", artifact="sdist", templates_dir=templates),
        list[str],
    )
    assert_type(packaging.selected_skill_names(artifact="wheel"), list[str])
    datas = assert_type(packaging.collect_skill_datas(templates_dir=templates), list[tuple[str, str]])
    assert_type(packaging.collect_skill_datas(profile="binary-full"), list[tuple[str, str]])
    assert_type(packaging.validate_release_manifest(templates), list[str])

    copy = work / "copy"
    shutil.copytree(templates, copy)
    kept = packaging.prune_templates_dir(
        copy, profile=packaging.RELEASE_PROFILE, artifact="sdist", manifest_templates_dir=templates
    )
    assert_type(kept, list[str])
    assert kept == sorted(names)
    assert_type(packaging._remove_packaging_junk(copy), None)
    assert_type(packaging._is_packable_file(copy / packaging.MANIFEST_FILENAME), bool)
    assert_type(packaging._remove_tree(copy), None)
    assert datas[-1][0].endswith(packaging.MANIFEST_FILENAME)
    keys: dict[str, dict[str, str]] = packaging._PROFILE_KEYS
    assert packaging.PROFILE_ENV not in keys

    try:
        packaging.selected_skill_names(profile="nightly", artifact="wheel", templates_dir=templates)
    except SkillReleaseManifestError as exc:
        message: str = str(exc)
        assert message.endswith("nightly")
    else:
        raise AssertionError("an unknown profile was accepted")
