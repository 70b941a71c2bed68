"""`python -m zavrik.skills` as a release engineer uses it, mistakes included."""

import json
import shutil
import subprocess
import sys

import pytest

from zavrik.skills import packaging
from zavrik.skills.cli import main

BUILTIN = packaging.get_builtin_templates_dir()


def run(*args):
    """The real command in a fresh interpreter: (status, stdout, stderr)."""
    done = subprocess.run(
        [sys.executable, "-m", "zavrik.skills", *args], capture_output=True, text=True, encoding="utf-8"
    )
    return done.returncode, done.stdout, done.stderr


@pytest.fixture
def copy(tmp_path):
    target = tmp_path / "templates"
    shutil.copytree(BUILTIN, target)
    return target


def test_check_of_the_builtin_templates_is_clean():
    assert run("check") == (0, f"release check passed: {BUILTIN}\n", "")


def test_check_prints_every_problem_and_exits_1(copy, capsys):
    (copy / "stray").mkdir()
    (copy / "code-review" / "SKILL.md").unlink()
    assert main(["check", str(copy)]) == 1
    out, err = capsys.readouterr()
    assert out.splitlines() == packaging.validate_release_manifest(copy) and len(out.splitlines()) == 2
    assert "2 problem(s)" in err


@pytest.mark.parametrize(
    "manifest, message",
    [
        (None, "未找到 Skill 发版清单: {root}/manifest.json"),
        ("{", "Skill 发版清单 JSON 无效: {root}/manifest.json (Expecting"),
        ("[]", "Skill 发版清单根节点必须是对象"),
    ],
    ids=["missing", "invalid-json", "not-an-object"],
)
def test_check_of_an_unloadable_manifest_exits_2_with_the_module_message(tmp_path, manifest, message):
    if manifest is not None:
        (tmp_path / "manifest.json").write_text(manifest, encoding="utf-8")
    status, out, err = run("check", str(tmp_path))
    assert (status, out) == (2, "")
    assert err.startswith(f"python -m zavrik.skills check: error: {message.format(root=tmp_path)}")
    assert err.count("\n") == 1


@pytest.mark.parametrize(
    "args, profile, artifact",
    [
        (["--profile", "python-release", "--artifact", "sdist"], "python-release", "sdist"),
        (["--profile", "python-release", "--artifact", "wheel"], "python-release", "wheel"),
        (["--profile", "binary-minimal"], "binary-minimal", "binary"),  # the profile's only artifact
        (["--profile", "binary-full"], "binary-full", "binary"),
        ([], "dev", "any"),
    ],
)
def test_list_prints_the_admitted_skills(capsys, args, profile, artifact):
    assert main(["list", *args]) == 0
    expected = packaging.selected_skill_names(profile=profile, artifact=artifact)
    assert capsys.readouterr().out.splitlines() == expected


def test_list_takes_the_profile_from_the_environment(monkeypatch, capsys):
    monkeypatch.setenv("ZAVRIK_SKILL_PROFILE", "binary-minimal")
    assert main(["list", "--json"]) == 0
    assert json.loads(capsys.readouterr().out) == ["code-review"]


def test_list_all_covers_every_profile_and_artifact(capsys):
    assert main(["list", "--all", "--json"]) == 0
    rows = json.loads(capsys.readouterr().out)
    pairs = [(row["profile"], row["artifact"], row["key"]) for row in rows]
    assert pairs == [
        ("dev", "*", None),
        ("internal", "*", None),
        ("python-release", "sdist", "source"),
        ("python-release", "wheel", "wheel"),
        ("binary-minimal", "binary", "binary"),
        ("binary-full", "binary", "binary_full"),
    ]
    for row in rows:
        assert row["skills"] == packaging.selected_skill_names(profile=row["profile"], artifact=row["artifact"])


@pytest.mark.parametrize("profile", [None, "binary-full"])
def test_datas_prints_the_bundler_pairs(capsys, profile):
    args = ["--profile", profile] if profile else []
    assert main(["datas", "--json", *args]) == 0
    pairs = [tuple(pair) for pair in json.loads(capsys.readouterr().out)]
    assert pairs == packaging.collect_skill_datas(profile=profile)
    assert main(["datas", *args]) == 0
    assert capsys.readouterr().out.splitlines() == [f"{s} -> {d}" for s, d in pairs]


def test_prune_cuts_a_copy_and_leaves_the_manifest_root_alone(copy, capsys):
    (copy / "test-writer" / ".DS_Store").write_text("junk")
    before = sorted(p.name for p in BUILTIN.iterdir())
    assert main(["prune", str(copy), "--profile", "python-release", "--artifact", "wheel"]) == 0
    kept = packaging.selected_skill_names(profile="python-release", artifact="wheel")
    assert capsys.readouterr().out.splitlines() == kept
    assert sorted(p.name for p in copy.iterdir()) == sorted(kept + ["manifest.json"])
    assert not (copy / "test-writer" / ".DS_Store").exists()
    assert sorted(p.name for p in BUILTIN.iterdir()) == before


def test_where_reports_the_overridden_locations(tmp_path, monkeypatch, capsys):
    monkeypatch.setenv("ZAVRIK_CENTRAL_SKILLS_DIR", str(tmp_path / "store"))
    monkeypatch.setenv("ZAVRIK_BUILTIN_TEMPLATES_DIR", str(tmp_path / "builtin"))
    assert main(["where", "--json"]) == 0
    assert json.loads(capsys.readouterr().out) == {
        "central_skills_dir": str(tmp_path / "store"),
        "builtin_templates_dir": str(tmp_path / "builtin"),
    }


@pytest.mark.parametrize(
    "args, message",
    [
        ([], "the following arguments are required: COMMAND"),
        (["deploy"], "invalid choice: 'deploy'"),
        (["list", "--colour"], "unrecognized arguments: --colour"),
        (["prune", "{tmp}"], "the following arguments are required: --artifact"),
        (["list", "--profile", "nightly", "--artifact", "wheel"], "未知 Skill 构建 profile: nightly"),
        (["list", "--profile", "binary-full", "--artifact", "wheel"], "profile 'binary-full' 不支持产物类型 'wheel'"),
        (["list", "--profile", "python-release"], "--artifact is required for profile python-release"),
        (["list", "--all", "--profile", "dev"], "--all lists every profile"),
        (["list", "--templates-dir", "{tmp}/nope"], "templates directory not found: {tmp}/nope"),
        (["datas", "--profile", "python-release"], "profile 'python-release' 不支持产物类型 'binary'"),
        (["prune", "{tmp}/nope", "--artifact", "wheel"], "target not found: {tmp}/nope"),
    ],
)
def test_user_mistakes_end_with_one_line_and_status_2(tmp_path, args, message):
    status, out, err = run(*(a.format(tmp=tmp_path) for a in args))
    assert (status, out) == (2, "")
    assert message.format(tmp=tmp_path) in err and err.count("\n") == 1, err
    assert "Traceback" not in err


@pytest.mark.parametrize("manifest_root", [None, "same"], ids=["builtin", "manifest-root"])
def test_prune_refuses_the_tree_that_holds_the_manifest(copy, monkeypatch, manifest_root):
    # The copy stands in for the tree to protect, so a failure costs nothing.
    if manifest_root:
        extra = ["--manifest-root", str(copy)]
    else:
        monkeypatch.setenv("ZAVRIK_BUILTIN_TEMPLATES_DIR", str(copy))
        extra = []
    status, out, err = run("prune", str(copy), "--profile", "python-release", "--artifact", "wheel", *extra)
    assert (status, out) == (2, "") and "refusing to prune" in err
    assert (copy / "internal-debug").is_dir()


@pytest.mark.parametrize("command", [[], ["check"], ["list"], ["datas"], ["prune"], ["where"]])
def test_every_command_has_help(command):
    status, out, err = run(*command, "--help")
    assert (status, err) == (0, "")
    assert out.startswith(f"usage: python -m zavrik.skills {' '.join(command)}".rstrip())


def test_running_from_a_checkout_without_the_build_says_so(tmp_path):
    shutil.copytree(BUILTIN.parents[1], tmp_path / "zavrik", ignore=shutil.ignore_patterns("*.so", "templates"))
    done = subprocess.run(
        [sys.executable, "-m", "zavrik.skills", "check"], cwd=tmp_path, capture_output=True, text=True
    )
    assert done.returncode == 2 and "Traceback" not in done.stderr
    assert done.stderr.count("\n") == 1 and "use python3 -P" in done.stderr
