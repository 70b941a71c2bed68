"""Real builds ship exactly the admitted Skills and record what they were cut for.

The package builds run on a copy of the checkout whose templates hold seeded
junk; the copy's templates must come out of every build untouched. Nothing
is installed into the running environment: installs go to virtual
environments or directories below the test's temporary directory.
"""

import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tomllib
import zipfile
from pathlib import Path

import pytest

from conftest import needs_checkout, needs_pyinstaller
from zavrik.skills import _release, packaging

# Every build here starts from a copy of the checkout.
pytestmark = needs_checkout

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
COMPILING = "building 'zavrik.skills.packaging' extension"


def tree(root):
    return {p.relative_to(root).as_posix(): p.read_bytes() if p.is_file() else None for p in root.rglob("*")}


def build_env(profile=None, **extra):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("ZAVRIK_", "PYTHONPATH"))}
    if profile:
        env["ZAVRIK_SKILL_PROFILE"] = profile
    return {**env, **extra}


def build(profile, *command, cwd=None):
    return subprocess.run(
        [sys.executable, "-m", *command], env=build_env(profile), capture_output=True, text=True, cwd=cwd
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


def verify(*args):
    """`python -m zavrik.skills verify --json ARGS` in a fresh interpreter: (status, reports)."""
    done = subprocess.run(
        [sys.executable, "-m", "zavrik.skills", "verify", "--json", *map(str, args)],
        env=build_env(), capture_output=True, text=True,
    )
    assert done.returncode in (0, 1), done.stderr
    return done.returncode, json.loads(done.stdout)


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
    """The sdist built under python-release, and the wheel pip builds from it with no profile set."""
    out = tmp_path_factory.mktemp("dist")
    done = build("python-release", "build", "--sdist", "--outdir", str(out), str(source))
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    [sdist] = out.glob("*.tar.gz")
    done = build(None, "pip", "wheel", "--no-deps", "-w", str(out), str(sdist))
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    [wheel] = out.glob("*.whl")
    with zipfile.ZipFile(wheel) as archive:
        wheel_names = archive.namelist()
        wheel_record = archive.read(f"{TEMPLATES.as_posix()}/{_release.RECORD_FILENAME}")
    with tarfile.open(sdist) as archive:
        sdist_names = [member.name for member in archive.getmembers() if member.isfile()]
        sdist_record = archive.extractfile(f"zavrik-0.1.0/{TEMPLATES.as_posix()}/{_release.RECORD_FILENAME}").read()
    return {
        "wheel": (wheel, wheel_names, "", wheel_record),
        "sdist": (sdist, sdist_names, "zavrik-0.1.0/", sdist_record),
    }


@pytest.mark.slow
@pytest.mark.parametrize("artifact", ["wheel", "sdist"])
def test_release_build_ships_exactly_the_admitted_skills(release_artifacts, source, pristine, artifact):
    path, names, prefix, record = release_artifacts[artifact]
    source_templates = source / TEMPLATES
    admitted = packaging.selected_skill_names(
        profile="python-release", artifact=artifact, templates_dir=source_templates
    )
    members = template_members(names, prefix)
    assert {m.split("/")[0] for m in members} - {"manifest.json", _release.RECORD_FILENAME} == set(admitted)
    assert members == expected_members(source_templates, admitted) | {_release.RECORD_FILENAME}
    assert json.loads(record) == {"profile": "python-release", "artifact": artifact}
    assert [n for n in names if is_junk(n)] == []
    assert tree(source_templates) == pristine
    # The CI step after the build, and the same artifact held to another profile.
    assert verify(path) == (0, [{
        "path": str(path), "kind": artifact, "recorded": json.loads(record), "profile": "python-release",
        "artifact": artifact, "skills": admitted, "problems": [], "ok": True,
    }])
    status, [report] = verify("--profile", "dev", path)
    assert status == 1 and report["problems"][0].startswith("recorded for profile python-release")


@pytest.mark.slow
def test_wheel_ships_no_sources_and_the_sdist_no_tests(release_artifacts, source):
    _, wheel_names, _, _ = release_artifacts["wheel"]
    _, sdist_names, _, _ = release_artifacts["sdist"]
    assert {"zavrik/skills/packaging.pyi", "zavrik/skills/_engine.pyi", "zavrik/skills/py.typed"} <= set(wheel_names)
    assert [n for n in wheel_names if n.endswith((".cpp", ".hpp"))] == []
    sources = {f"zavrik-0.1.0/{p.relative_to(source).as_posix()}" for p in (source / "zavrik/skills").glob("*.[ch]pp")}
    assert len(sources) > 10 and sources <= set(sdist_names)
    assert [n for n in sdist_names if n.startswith("zavrik-0.1.0/tests/")] == []


@pytest.mark.slow
def test_installed_release_passes_its_check(release_artifacts, tmp_path):
    # The wheel pip built from the pruned sdist, as `pip install zavrik-0.1.0.tar.gz` installs it.
    wheel = release_artifacts["wheel"][0]
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(tmp_path / "venv")], check=True)
    python = tmp_path / "venv" / "bin" / "python"
    done = build(None, "pip", "--python", str(python), "install", "--no-deps", "--no-index", str(wheel))
    assert done.returncode == 0, done.stderr[-3000:]

    def run(*args):
        return subprocess.run([str(python), "-m", "zavrik.skills", *args], cwd=tmp_path,
                              env=build_env(), capture_output=True, text=True)

    check = run("check")
    assert check.returncode == 0, check.stdout + check.stderr
    assert check.stdout.endswith("(pruned for profile python-release, artifact wheel)\n")
    assert run("--version").stdout == "zavrik 0.1.0, Skill templates pruned for profile python-release, artifact wheel\n"
    assert "pruned for profile python-release" in run("list", "--all").stderr


@pytest.mark.slow
def test_wheel_without_a_profile_keeps_every_skill(source, pristine, tmp_path):
    done = build(None, "pip", "wheel", "--no-deps", "-w", str(tmp_path), str(source))
    assert done.returncode == 0, done.stderr[-3000:]
    [wheel] = tmp_path.glob("*.whl")
    members = template_members(zipfile.ZipFile(wheel).namelist(), "")
    every = [p.name for p in packaging.list_template_dirs(source / TEMPLATES)]
    assert members == expected_members(source / TEMPLATES, every)  # and no record
    assert tree(source / TEMPLATES) == pristine


def test_wheels_are_built_for_exactly_the_interpreters_the_classifiers_name():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))
    minors = sorted(
        int(c.rsplit(".", 1)[1]) for c in project["project"]["classifiers"]
        if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c)
    )
    assert minors == list(range(minors[0], minors[-1] + 1))
    assert project["project"]["requires-python"] == f">=3.{minors[0]}"
    cibuildwheel = project["tool"]["cibuildwheel"]
    assert cibuildwheel["build"].split() == [f"cp3{m}-*" for m in minors]
    # No free-threaded wheel where the interpreter has a build without the GIL.
    assert {f"cp3{m}t-*" for m in minors if m >= 13} <= set(cibuildwheel["skip"].split())
    assert "SOURCE_DATE_EPOCH" in cibuildwheel["environment-pass"]


def wheel_workflow():
    """scripts/wheel_workflow.py as a module: the release build's environment and command."""
    spec = importlib.util.spec_from_file_location("wheel_workflow", ROOT / "scripts" / "wheel_workflow.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.slow
def test_release_wheel_of_one_commit_is_the_same_bytes(tmp_path, monkeypatch):
    # One commit checked out twice, at different paths, its files dated an
    # hour apart, each built from scratch as the workflow builds the release
    # wheel (its profile, SOURCE_DATE_EPOCH standing for the commit's time).
    workflow = wheel_workflow()
    epoch = 1767225600  # 2026-01-01 00:00:00 UTC: even, as zip times are
    monkeypatch.setenv("SOURCE_DATE_EPOCH", str(epoch))
    env = workflow.release_env()
    checkouts = [tmp_path / "a" / "zavrik", tmp_path / "b" / "elsewhere" / "zavrik"]
    for checkout in checkouts:
        shutil.copytree(ROOT, checkout, ignore=SKIP)
    for path in checkouts[1].rglob("*"):
        stat = path.lstat()
        os.utime(path, (stat.st_atime - 3600, stat.st_mtime - 3600), follow_symlinks=False)
    wheels = [workflow.build_wheel(c, tmp_path / f"dist-{i}", env) for i, c in enumerate(checkouts)]
    with zipfile.ZipFile(wheels[0]) as archive:
        dates = {info.filename: info.date_time for info in archive.infolist()}
    assert set(dates.values()) == {(2026, 1, 1, 0, 0, 0)}
    assert any(name.endswith((".so", ".pyd")) for name in dates)
    assert wheels[0].name == wheels[1].name
    assert wheels[0].read_bytes() == wheels[1].read_bytes()


@pytest.mark.parametrize(
    "profile, command, message",
    [
        ("binary-minimal", ["pip", "wheel", "-v", "--no-deps", "-w", "{out}", "{src}"],
         "the wheel: profile binary-minimal builds binary, not 'wheel'; wheel is built by python-release "
         "(from ZAVRIK_SKILL_PROFILE in the environment)"),
        ("binary-full", ["build", "--sdist", "--outdir", "{out}", "{src}"],
         "profile binary-full builds binary, not 'sdist'; sdist is built by python-release"),
        ("nightly", ["build", "--sdist", "--outdir", "{out}", "{src}"], "unknown profile 'nightly'; the profiles are"),
    ],
)
@pytest.mark.slow
def test_a_profile_without_the_artifact_fails_before_compiling(source, pristine, tmp_path, profile, command, message):
    done = build(profile, *(a.format(out=tmp_path, src=source) for a in command))
    log = done.stdout + done.stderr
    assert done.returncode != 0 and list(tmp_path.iterdir()) == []
    assert message in log and COMPILING not in log
    assert tree(source / TEMPLATES) == pristine


@pytest.mark.slow
def test_editable_install_leaves_the_source_templates_and_the_environment_alone(source, pristine, tmp_path):
    installed = build(None, "pip", "list", "--format=freeze").stdout
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(tmp_path / "venv")], check=True)
    command = ["pip", "--python", str(tmp_path / "venv" / "bin" / "python"), "install", "--no-deps", "-e", str(source)]
    done = build("python-release", *command)
    assert done.returncode == 0, done.stderr[-3000:]
    assert tree(source / TEMPLATES) == pristine
    assert build(None, "pip", "list", "--format=freeze").stdout == installed


def freeze_env(tmp_path, **extra):
    # PyInstaller's cache below the test's directory, not the user's.
    return build_env(PYINSTALLER_CONFIG_DIR=str(tmp_path / "pyinstaller-config"), **extra)


@pytest.mark.slow
def test_freeze_script_bundles_exactly_the_admitted_skills(tmp_path):
    profile = "binary-full"
    done = subprocess.run(
        [sys.executable, str(ROOT / "scripts" / "freeze.py"), "--profile", profile, "--name", "probe",
         "--dist", str(tmp_path / "dist"), "--work", str(tmp_path / "work")],
        env=freeze_env(tmp_path), capture_output=True, text=True,
    )
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    assert "Building EXE" in done.stderr  # PyInstaller's progress is shown
    exe = tmp_path / "dist" / "probe"
    run = subprocess.run([str(exe)], env=build_env(), capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    report = json.loads(run.stdout)
    meipass = Path(report["meipass"])
    assert Path(report["templates_dir"]) == meipass / TEMPLATES
    admitted = packaging.selected_skill_names(profile=profile, artifact="binary")
    assert report["skills"] == admitted
    assert report["manifest"] is True
    assert (report["record"], report["problems"]) == ({"profile": profile, "artifact": "binary"}, [])
    bundled = {
        (Path(dest) / Path(src).name).relative_to(TEMPLATES).as_posix()
        for src, dest in packaging.collect_skill_datas(profile=profile)
    }
    assert set(report["files"]) == bundled | {_release.RECORD_FILENAME}
    status, [verified] = verify(exe)
    assert (status, verified["kind"], verified["skills"]) == (0, "executable", admitted)


@pytest.mark.slow
def test_plain_pyinstaller_finds_the_hook_of_an_installed_release(release_artifacts, tmp_path):
    # zavrik as a user has it: the release wheel installed (PyInstaller does
    # not see into setuptools' editable installs); no spec file, no options.
    site = tmp_path / "site"
    done = build(None, "pip", "install", "--no-deps", "--no-index", "--target", str(site), str(release_artifacts["wheel"][0]))
    assert done.returncode == 0, done.stderr[-3000:]
    (tmp_path / "app.py").write_text("from zavrik.skills.cli import main\n\nraise SystemExit(main())\n")
    done = subprocess.run(
        [sys.executable, "-m", "PyInstaller", "--onefile", "app.py"],
        cwd=tmp_path, env=freeze_env(tmp_path, PYTHONPATH=str(site)), capture_output=True, text=True,
    )
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    exe = tmp_path / "dist" / "app"
    check = subprocess.run([str(exe), "check"], env=build_env(), capture_output=True, text=True)
    assert check.returncode == 0, check.stdout + check.stderr
    assert check.stdout.endswith("(pruned for profile binary-minimal, artifact binary)\n")
    status, [verified] = verify(exe)
    assert (status, verified["skills"]) == (0, packaging.selected_skill_names(profile="binary-minimal", artifact="binary"))


def freeze_script(tmp_path, *args, python=(sys.executable,), env=None):
    return subprocess.run(
        [*python, str(ROOT / "scripts" / "freeze.py"), *args, "--name", "probe",
         "--dist", str(tmp_path / "dist"), "--work", str(tmp_path / "work")],
        env=env or build_env(), capture_output=True, text=True,
    )


@needs_pyinstaller
@pytest.mark.parametrize(
    "args, env, origin",
    [(["--profile", "python-release"], None, "--profile"),
     ([], "python-release", "ZAVRIK_SKILL_PROFILE in the environment")],
)
def test_freeze_refuses_a_profile_without_a_binary(tmp_path, args, env, origin):
    done = freeze_script(tmp_path, *args, env=build_env(env))
    assert (done.returncode, done.stderr) == (2, (
        f"freeze.py: error: profile 'python-release' 不支持产物类型 'binary' ({origin}: profile python-release "
        "builds sdist and wheel, not 'binary'; binary is built by binary-minimal and binary-full)\n"))


@pytest.mark.parametrize(
    "with_module, message",
    [(False, "zavrik.skills.packaging cannot be imported"), (True, "PyInstaller is not installed")],
    ids=["no-module", "no-pyinstaller"],
)
def test_freeze_explains_what_is_missing_in_one_line(tmp_path, with_module, message):
    # A copy of the script, so that no checkout lies beside it; without site-packages.
    shutil.copytree(ROOT / "scripts", tmp_path / "scripts")
    env = build_env()
    if with_module:
        # The package this interpreter imports (built in place or installed),
        # alone on the path: PyInstaller may sit beside it in site-packages.
        shutil.copytree(Path(packaging.__file__).parents[1], tmp_path / "path" / "zavrik",
                        ignore=shutil.ignore_patterns("__pycache__"))
        env["PYTHONPATH"] = str(tmp_path / "path")
    done = subprocess.run([sys.executable, "-S", str(tmp_path / "scripts" / "freeze.py")], env=env,
                          capture_output=True, text=True)
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr.startswith("freeze.py: error: ") and message in done.stderr and done.stderr.count("\n") == 1
