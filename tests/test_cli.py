"""`python -m zavrik.skills` as a release engineer uses it, mistakes included."""

import json
import shutil
import subprocess
import sys
import tarfile
import zipfile

import pytest

from zavrik.skills import _release, packaging
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


def pruned_copy(tmp_path, artifact, name="templates"):
    """A copy of the built-in templates pruned for python-release as a build prunes it."""
    target = tmp_path / name
    shutil.copytree(BUILTIN, target)
    packaging.prune_templates_dir(target, profile="python-release", artifact=artifact, manifest_templates_dir=BUILTIN)
    _release.write_record(target, "python-release", artifact)
    return target


def pack(tree, artifact, archive):
    """The tree as the templates of a wheel (zip) or an sdist (tar with a top directory)."""
    prefix = "zavrik/skills/templates" if artifact == "wheel" else "zavrik-0.1.0/zavrik/skills/templates"
    files = [p for p in sorted(tree.rglob("*")) if p.is_file()]
    if artifact == "wheel":
        with zipfile.ZipFile(archive, "w") as z:
            for path in files:
                z.write(path, f"{prefix}/{path.relative_to(tree).as_posix()}")
    else:
        with tarfile.open(archive, "w:gz") as t:
            for path in files:
                t.add(path, f"{prefix}/{path.relative_to(tree).as_posix()}")
    return archive


@pytest.mark.parametrize("artifact", ["wheel", "sdist"])
@pytest.mark.parametrize(
    "change, status, problem",
    [
        (None, 0, None),
        ("rm code-review", 1, "code-review: admitted for profile python-release, artifact {artifact}, but missing"),
        ("add internal-debug", 1, "internal-debug: present, but not admitted for profile python-release, artifact {artifact}"),
        ("junk code-review/helper.pyc", 1, "code-review/helper.pyc: build junk"),
        ("rm code-review/SKILL.md", 1, "code-review: 发版准入 Skill 必须包含 SKILL.md"),
    ],
)
def test_check_and_verify_hold_a_pruned_tree_to_its_record(tmp_path, capsys, artifact, change, status, problem):
    tree = pruned_copy(tmp_path, artifact)
    if change:
        verb, rel = change.split()
        if verb == "rm":
            shutil.rmtree(tree / rel) if (tree / rel).is_dir() else (tree / rel).unlink()
        elif verb == "add":
            shutil.copytree(BUILTIN / rel, tree / rel)
        else:
            (tree / rel).write_bytes(b"\0")
    assert main(["check", str(tree)]) == status
    out = capsys.readouterr().out
    archive = pack(tree, artifact, tmp_path / f"a.{'whl' if artifact == 'wheel' else 'tar.gz'}")
    assert main(["verify", "--json", str(archive)]) == status
    [report] = json.loads(capsys.readouterr().out)
    assert (report["kind"], report["profile"], report["artifact"]) == (artifact, "python-release", artifact)
    if problem is None:
        assert out == f"release check passed: {tree} (pruned for profile python-release, artifact {artifact})\n"
        assert report["problems"] == [] and report["ok"]
        assert report["skills"] == packaging.selected_skill_names(profile="python-release", artifact=artifact)
    else:
        assert out.splitlines() == report["problems"] == [problem.format(artifact=artifact)]


@pytest.mark.parametrize(
    "record, args, problem",
    [
        (None, [], "no release record: not pruned for a release"),
        (None, ["--profile", "python-release"], "no release record: not pruned for profile python-release"),
        # A wheel built under "dev" from a pruned sdist keeps the sdist's record.
        ("sdist", [], "recorded for profile python-release, artifact sdist; verified as profile python-release, artifact wheel"),
    ],
    ids=["unpruned", "unpruned-profile", "sdist-record"],
)
def test_verify_refuses_an_artifact_not_cut_for_the_release(tmp_path, capsys, record, args, problem):
    tree = pruned_copy(tmp_path, record) if record else BUILTIN
    archive = pack(tree, "wheel", tmp_path / "a.whl")
    assert main(["verify", *args, str(archive)]) == 1
    assert problem in capsys.readouterr().out


def test_the_profile_table_agrees_with_the_module(monkeypatch):
    # setup.py refuses a profile without the artifact before the module is
    # built, from the table of _release, and checks the table once it is.
    _release.check_profile_table(packaging)
    for profile in [*_release.PROFILES, "nightly", "DEV", ""]:
        for artifact in [*_release.ARTIFACTS, "bogus"]:
            try:
                packaging._profile_key(profile, artifact)
                refused = None
            except packaging.SkillReleaseManifestError as exc:
                refused = str(exc)
            assert (_release.profile_problem(profile, artifact) is None) == (refused is None), (profile, artifact)
            error = _release.profile_error(packaging, profile, artifact, "origin")
            assert error is None if refused is None else error.startswith(f"{refused} (origin: ")
    monkeypatch.setitem(packaging._PROFILE_KEYS, "binary-full", {"binary": "binary_full", "wheel": "wheel"})
    with pytest.raises(ValueError, match="disagrees with the module's _PROFILE_KEYS"):
        _release.check_profile_table(packaging)


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
        (["list", "--profile", "dev", "--artifact", "bogus"], "invalid choice: 'bogus'"),
        (["prune", "{tmp}", "--artifact", "bogus"], "invalid choice: 'bogus'"),
        (["verify"], "the following arguments are required: ARTIFACT"),
        (["verify", "{tmp}/nope"], "artifact not found: {tmp}/nope"),
        (["verify", "{tmp}"], "{tmp} holds no zavrik/skills/templates"),
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


@pytest.mark.parametrize(
    "args, note",
    [
        (["list"], "profile dev, listing every Skill directory"),
        (["prune", "{copy}", "--artifact", "wheel"], "profile dev, which removes junk and no Skill"),
        (["list", "--profile", "dev"], None),
    ],
)
def test_the_dev_fallback_is_announced_when_no_profile_was_given(copy, capsys, args, note):
    assert main([a.format(copy=copy) for a in args]) == 0
    err = capsys.readouterr().err
    assert (note in err) if note else "note:" not in err


def test_version():
    status, out, err = run("--version")
    assert (status, err) == (0, "")
    # "zavrik 0.1.0", or that the version is unknown when only built in place
    assert out.startswith("zavrik ") and out.count("\n") == 1


@pytest.mark.parametrize("command", [[], ["check"], ["verify"], ["list"], ["datas"], ["prune"], ["where"]])
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
