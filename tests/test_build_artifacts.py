"""Real builds ship exactly the admitted Skills: wheel, sdist and the frozen executable.

The package builds run on a copy of the checkout whose templates hold seeded
junk; the copy's templates must come out of every build untouched.
"""

import json
import os
import shutil
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

from zavrik.skills import packaging

ROOT = Path(__file__).resolve().parents[1]
TEMPLATES = Path("zavrik", "skills", "templates")
JUNK = {
    "code-review/__pycache__/helper.cpython-311.pyc": b"\0",
    "code-review/prompts/.DS_Store": b"",
    "test-writer/stale.pyc": b"\0",
    "release-notes/data/old.pyo": b"\0",
    ".DS_Store": b"",
}
SKIP = shutil.ignore_patterns(
    ".git", "build", "dist", "*.egg-info", "*.so", "__pycache__", ".*_cache", ".hypothesis", "results"
)


def tree(root):
    return {p.relative_to(root).as_posix(): p.read_bytes() if p.is_file() else None for p in root.rglob("*")}


def build_env(profile):
    env = {k: v for k, v in os.environ.items() if not k.startswith("ZAVRIK_")}
    if profile:
        env["ZAVRIK_SKILL_PROFILE"] = profile
    return env


def build(profile, *command):
    return subprocess.run(
        [sys.executable, "-m", *command], env=build_env(profile), capture_output=True, text=True
    )


def template_members(names, prefix):
    """Relative paths below the templates dir, from an archive's member names."""
    marker = f"{prefix}{TEMPLATES.as_posix()}/"
    return {n[len(marker):] for n in names if n.startswith(marker) and not n.endswith("/")}


def expected_members(source_templates, skills):
    files = {"manifest.json"}
    for skill in skills:
        for path in (source_templates / skill).rglob("*"):
            if packaging._is_packable_file(path):
                files.add(path.relative_to(source_templates).as_posix())
    return files


def is_junk(name):
    parts = name.split("/")
    return "__pycache__" in parts or parts[-1] == ".DS_Store" or name.endswith((".pyc", ".pyo"))


@pytest.fixture(scope="module")
def source(tmp_path_factory):
    """A copy of the checkout with junk seeded into its templates."""
    src = tmp_path_factory.mktemp("checkout") / "zavrik"
    shutil.copytree(ROOT, src, ignore=SKIP)
    for rel, content in JUNK.items():
        path = src / TEMPLATES / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content)
    return src


@pytest.fixture(scope="module")
def pristine(source):
    return tree(source / TEMPLATES)


@pytest.fixture(scope="module")
def release_artifacts(source, pristine, tmp_path_factory):
    out = tmp_path_factory.mktemp("dist")
    for command in (["pip", "wheel", "--no-deps", "-w", str(out), str(source)],
                    ["build", "--sdist", "--outdir", str(out), str(source)]):
        done = build("python-release", *command)
        assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    [wheel] = out.glob("*.whl")
    [sdist] = out.glob("*.tar.gz")
    with zipfile.ZipFile(wheel) as archive:
        wheel_names = archive.namelist()
    with tarfile.open(sdist) as archive:
        sdist_names = [member.name for member in archive.getmembers() if member.isfile()]
    return {"wheel": (wheel_names, ""), "sdist": (sdist_names, "zavrik-0.1.0/")}


@pytest.mark.slow
@pytest.mark.parametrize("artifact", ["wheel", "sdist"])
def test_release_build_ships_exactly_the_admitted_skills(release_artifacts, source, pristine, artifact):
    names, prefix = release_artifacts[artifact]
    source_templates = source / TEMPLATES
    admitted = packaging.selected_skill_names(
        profile="python-release", artifact=artifact, templates_dir=source_templates
    )
    members = template_members(names, prefix)
    assert {m.split("/")[0] for m in members} - {"manifest.json"} == set(admitted)
    assert members == expected_members(source_templates, admitted)
    assert [n for n in names if is_junk(n)] == []
    assert tree(source_templates) == pristine


@pytest.mark.slow
def test_wheel_ships_the_stub_and_typed_marker(release_artifacts):
    names, _ = release_artifacts["wheel"]
    assert {"zavrik/skills/packaging.pyi", "zavrik/skills/py.typed"} <= set(names)


@pytest.mark.slow
def test_wheel_without_a_profile_keeps_every_skill(source, pristine, tmp_path):
    done = build(None, "pip", "wheel", "--no-deps", "-w", str(tmp_path), str(source))
    assert done.returncode == 0, done.stderr[-3000:]
    [wheel] = tmp_path.glob("*.whl")
    members = template_members(zipfile.ZipFile(wheel).namelist(), "")
    every = [p.name for p in packaging.list_template_dirs(source / TEMPLATES)]
    assert members == expected_members(source / TEMPLATES, every)
    assert tree(source / TEMPLATES) == pristine


@pytest.mark.slow
def test_wheel_under_a_binary_profile_fails_with_the_module_message(source, pristine, tmp_path):
    done = build("binary-minimal", "pip", "wheel", "--no-deps", "-w", str(tmp_path), str(source))
    assert done.returncode != 0 and not list(tmp_path.glob("*.whl"))
    assert "profile 'binary-minimal' 不支持产物类型 'wheel'" in done.stdout + done.stderr
    assert tree(source / TEMPLATES) == pristine


@pytest.mark.slow
def test_editable_install_leaves_the_source_templates_alone(source, pristine, tmp_path):
    command = ["pip", "install", "--no-deps", "--ignore-installed", "--no-warn-script-location", "--prefix", str(tmp_path), "-e", str(source)]
    done = build("python-release", *command)
    assert done.returncode == 0, done.stderr[-3000:]
    assert tree(source / TEMPLATES) == pristine


def freeze(tmp_path, profile):
    return subprocess.run(
        [sys.executable, str(ROOT / "scripts" / "freeze.py"), "--profile", profile, "--name", "probe",
         "--dist", str(tmp_path / "dist"), "--work", str(tmp_path / "work")],
        env=build_env(None), capture_output=True, text=True,
    )


@pytest.mark.slow
@pytest.mark.parametrize("profile", ["binary-minimal", "binary-full"])
def test_frozen_executable_finds_exactly_the_admitted_skills(tmp_path, profile):
    done = freeze(tmp_path, profile)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    run = subprocess.run([str(tmp_path / "dist" / "probe")], env=build_env(None), capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    report = json.loads(run.stdout)
    meipass = Path(report["meipass"])
    assert Path(report["templates_dir"]) == meipass / TEMPLATES
    assert report["skills"] == packaging.selected_skill_names(profile=profile, artifact="binary")
    assert report["manifest"] is True
    bundled = {
        (Path(dest) / Path(src).name).relative_to(TEMPLATES).as_posix()
        for src, dest in packaging.collect_skill_datas(profile=profile)
    }
    assert set(report["files"]) == bundled


def test_freeze_refuses_a_profile_without_a_binary(tmp_path):
    done = freeze(tmp_path, "python-release")
    assert done.returncode == 2
    assert done.stderr == "freeze.py: error: profile 'python-release' 不支持产物类型 'binary'\n"
