"""The packaging operations written plainly in Python on pathlib.

This is the reference the benchmark measures `zavrik.skills.packaging`
against: the same rules, written the way one would write them in Python,
and expected to give the same results and leave the same trees behind.
Argument checking is left to the interpreter's own signatures.
"""

import json
import os
import sys
from pathlib import Path
from typing import Any

MANIFEST_FILENAME = "manifest.json"
PROFILE_ENV = "ZAVRIK_SKILL_PROFILE"
DEFAULT_PROFILE = "dev"
RELEASE_PROFILE = "python-release"

_PROFILE_KEYS = {
    "python-release": {"sdist": "source", "wheel": "wheel"},
    "binary-minimal": {"binary": "binary"},
    "binary-full": {"binary": "binary_full"},
}

_UNRESTRICTED = ("dev", "internal")


class SkillReleaseManifestError(ValueError):
    """Skill 发版清单错误。"""


def get_central_skills_dir() -> Path:
    override = os.environ.get("ZAVRIK_CENTRAL_SKILLS_DIR", "").strip()
    if override:
        return Path(override).expanduser()
    if sys.platform == "win32":
        local = os.environ.get("LOCALAPPDATA", "").strip()
        base = Path(local) if local else Path.home()
        return base / "zavrik" / "skills"
    return Path.home() / ".zavrik" / "skills"


def get_builtin_templates_dir() -> Path:
    override = os.environ.get("ZAVRIK_BUILTIN_TEMPLATES_DIR", "").strip()
    if override:
        return Path(override).expanduser()
    meipass = getattr(sys, "_MEIPASS", None)
    if meipass:
        bundled = Path(meipass) / "zavrik" / "skills" / "templates"
        if bundled.exists():
            return bundled
    return Path(__file__).resolve().parent / "templates"


def load_release_manifest(templates_dir: Path | None = None) -> dict[str, Any]:
    root = templates_dir or get_builtin_templates_dir()
    path = root / MANIFEST_FILENAME
    if not path.exists():
        raise SkillReleaseManifestError(f"未找到 Skill 发版清单: {path}")
    try:
        data = json.loads(path.read_text(encoding="utf-8"))
    except json.JSONDecodeError as exc:
        raise SkillReleaseManifestError(f"Skill 发版清单 JSON 无效: {path}") from exc
    if not isinstance(data, dict):
        raise SkillReleaseManifestError("Skill 发版清单根节点必须是对象")
    if not isinstance(data.get("skills"), dict):
        raise SkillReleaseManifestError("Skill 发版清单必须包含 skills 对象")
    return data


def list_template_dirs(templates_dir: Path | None = None) -> list[Path]:
    root = templates_dir or get_builtin_templates_dir()
    if not root.exists():
        return []
    return sorted(p for p in root.iterdir() if p.is_dir())


def current_profile(default: str = DEFAULT_PROFILE) -> str:
    return os.environ.get(PROFILE_ENV, "").strip() or default


def _profile_key(profile: str, artifact: str) -> str | None:
    if profile in _UNRESTRICTED:
        return None
    keys = _PROFILE_KEYS.get(profile)
    if not keys:
        raise SkillReleaseManifestError(f"未知 Skill 构建 profile: {profile}")
    key = keys.get(artifact)
    if key is None:
        raise SkillReleaseManifestError(f"profile {profile!r} 不支持产物类型 {artifact!r}")
    return key


def skill_allowed(
    skill_name: str,
    *,
    profile: str,
    artifact: str,
    manifest: dict[str, Any] | None = None,
    templates_dir: Path | None = None,
) -> bool:
    if profile in _UNRESTRICTED:
        return True
    manifest = manifest or load_release_manifest(templates_dir)
    key = _profile_key(profile, artifact)
    if key is None:
        return True
    defaults = manifest.get("default", {})
    entry = manifest.get("skills", {}).get(skill_name, {})
    if not isinstance(entry, dict):
        entry = {}
    return bool(entry.get(key, defaults.get(key, False)))


def selected_skill_names(
    *, profile: str | None = None, artifact: str, templates_dir: Path | None = None
) -> list[str]:
    root = templates_dir or get_builtin_templates_dir()
    profile = profile or current_profile()
    manifest = None if profile in _UNRESTRICTED else load_release_manifest(root)
    return [
        d.name
        for d in list_template_dirs(root)
        if skill_allowed(
            d.name, profile=profile, artifact=artifact, manifest=manifest, templates_dir=root
        )
    ]


def _is_packable_file(path: Path) -> bool:
    if not path.is_file():
        return False
    if path.name == ".DS_Store":
        return False
    if path.suffix in (".pyc", ".pyo"):
        return False
    return "__pycache__" not in path.parts


def _remove_tree(path: Path) -> None:
    # A link is removed as a link; what it points at is left alone.
    if path.is_symlink():
        path.unlink()
        return
    for child in path.iterdir():
        if child.is_dir():
            _remove_tree(child)
        else:
            child.unlink()
    path.rmdir()


def _remove_packaging_junk(root: Path) -> None:
    for cache in list(root.rglob("__pycache__")):
        if cache.is_dir():
            _remove_tree(cache)
    for entry in list(root.rglob("*")):
        if entry.is_file() and not _is_packable_file(entry):
            entry.unlink()


def prune_templates_dir(
    target_templates_dir: Path,
    *,
    profile: str | None = None,
    artifact: str,
    manifest_templates_dir: Path | None = None,
) -> list[str]:
    if not target_templates_dir.exists():
        return []
    _remove_packaging_junk(target_templates_dir)
    profile = profile or current_profile()
    if profile in _UNRESTRICTED:
        return [d.name for d in list_template_dirs(target_templates_dir)]
    admitted = set(
        selected_skill_names(
            profile=profile,
            artifact=artifact,
            templates_dir=manifest_templates_dir or get_builtin_templates_dir(),
        )
    )
    for child in target_templates_dir.iterdir():
        if child.is_dir() and child.name not in admitted:
            _remove_tree(child)
    return sorted(name for name in admitted if (target_templates_dir / name).exists())


def collect_skill_datas(
    *, profile: str | None = None, templates_dir: Path | None = None
) -> list[tuple[str, str]]:
    root = templates_dir or get_builtin_templates_dir()
    names = selected_skill_names(
        profile=profile or "binary-minimal", artifact="binary", templates_dir=root
    )
    bundle = Path("zavrik", "skills", "templates")
    datas: list[tuple[str, str]] = []
    for name in names:
        files = sorted(p for p in (root / name).rglob("*") if _is_packable_file(p))
        for file in files:
            datas.append((str(file), str(bundle / file.parent.relative_to(root))))
    manifest = root / MANIFEST_FILENAME
    if manifest.exists():
        datas.append((str(manifest), str(bundle)))
    return datas


def validate_release_manifest(templates_dir: Path | None = None) -> list[str]:
    root = templates_dir or get_builtin_templates_dir()
    skills = load_release_manifest(root)["skills"]
    problems: list[str] = []
    present = {d.name for d in list_template_dirs(root)}
    declared = set(skills)
    for name in sorted(present - declared):
        problems.append(f"模板目录未在 manifest 声明: {name}")
    for name in sorted(declared - present):
        problems.append(f"manifest 声明了不存在的模板目录: {name}")
    for name in sorted(present & declared):
        entry = skills.get(name)
        if not isinstance(entry, dict):
            problems.append(f"{name}: manifest 条目必须是对象")
            continue
        if not str(entry.get("reason", "")).strip():
            problems.append(f"{name}: reason 不能为空")
        if not str(entry.get("tier", "")).strip():
            problems.append(f"{name}: tier 不能为空")
        skill_dir = root / name
        if any(entry.get(key, False) for key in ("source", "wheel", "binary", "binary_full")):
            if not (skill_dir / "SKILL.md").exists():
                problems.append(f"{name}: 发版准入 Skill 必须包含 SKILL.md")
            if not (skill_dir / "data" / "VERSION.json").exists():
                problems.append(f"{name}: 发版准入 Skill 必须包含 data/VERSION.json")
    return problems
