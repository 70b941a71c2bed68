"""`zavrik-skills` (`python -m zavrik.skills`) as a release engineer uses it, mistakes included.

The commands run on a templates tree of the tests' own (`templates`), the
shape of the checkout's built-in one, and the built-in root points at it:
an installed release wheel ships only some of its Skills.
"""

import json
import os
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import zipfile
from pathlib import Path

import pytest

from zavrik.skills import _release, packaging
from zavrik.skills.cli import main

BUILTIN = packaging.get_builtin_templates_dir()
KEYS = ("source", "wheel", "binary", "binary_full")
# Skill: its admission values, in the order of KEYS.
ADMISSION = {
    "code-review": (True, True, True, True),
    "data-migration": (True, False, False, True),
    "internal-debug": (False, False, False, False),
    "release-notes": (True, True, False, True),
    "test-writer": (True, True, False, False),
}
PROFILES = "dev, internal, python-release, binary-minimal, binary-full"


def run(*args, command=(sys.executable, "-m", "zavrik.skills")):
    """The real command in a fresh interpreter: (status, stdout, stderr)."""
    done = subprocess.run([*command, *args], capture_output=True, text=True, encoding="utf-8")
    return done.returncode, done.stdout, done.stderr


@pytest.fixture
def templates(tmp_path, mktree, monkeypatch):
    """A complete templates root, made the built-in one."""
    skills = {name: {"tier": "t", "reason": "r", **dict(zip(KEYS, values))} for name, values in ADMISSION.items()}
    layout = {"manifest.json": {"default": dict.fromkeys(KEYS, False), "skills": skills}}
    for name in ADMISSION:
        layout.update({f"{name}/SKILL.md": name, f"{name}/data/VERSION.json": "{}"})
    layout["code-review/prompts/review.txt"] = "review"
    root = mktree(tmp_path / "source", layout)
    monkeypatch.setenv("ZAVRIK_BUILTIN_TEMPLATES_DIR", str(root))
    return root


@pytest.fixture
def copy(tmp_path, templates):
    return Path(shutil.copytree(templates, tmp_path / "templates"))


def admitted(profile, artifact):
    return [name for name, values in ADMISSION.items() if profile in ("dev", "internal")
            or values[KEYS.index(packaging._profile_key(profile, artifact))]]


def test_check_of_the_installed_builtin_templates_is_clean():
    # An installed release holds its record: "(pruned for profile ..., artifact ...)".
    status, out, err = run("check")
    assert (status, err) == (0, "") and out.startswith(f"release check passed: {BUILTIN}")


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
        ("[" * 100000, "nested too deeply to be read"),
        (b'{"skills": {"\xff": {}}}', "the manifest is not UTF-8"),
    ],
    ids=["missing", "invalid-json", "not-an-object", "nested-too-deep", "not-utf8"],
)
def test_check_of_an_unloadable_manifest_exits_2_with_one_line(tmp_path, manifest, message):
    if isinstance(manifest, bytes):
        (tmp_path / "manifest.json").write_bytes(manifest)
    elif manifest is not None:
        (tmp_path / "manifest.json").write_text(manifest, encoding="utf-8")
    status, out, err = run("check", str(tmp_path))
    assert (status, out) == (2, "")
    assert err.startswith(f"python -m zavrik.skills check: error: {message.format(root=tmp_path)}")
    assert err.count("\n") == 1


def pruned_copy(templates, tmp_path, artifact, name="pruned"):
    """A copy of the templates pruned for python-release as `prune` prunes it."""
    target = tmp_path / name
    shutil.copytree(templates, target)
    assert main(["prune", str(target), "--profile", "python-release", "--artifact", artifact]) == 0
    return target


def pack(tree, artifact, archive):
    """The tree as the templates of a wheel (zip) or an sdist (tar with a top directory)."""
    prefix = "zavrik/skills/templates" if artifact == "wheel" else "zavrik-0.1.0/zavrik/skills/templates"
    files = [p for p in sorted(tree.rglob("*")) if p.is_file()]
    if artifact == "wheel":
        with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
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
def test_check_and_verify_hold_a_pruned_tree_to_its_record(templates, tmp_path, capsys, artifact, change, status, problem):
    tree = pruned_copy(templates, tmp_path, artifact)
    capsys.readouterr()
    if change:
        verb, rel = change.split()
        if verb == "rm":
            shutil.rmtree(tree / rel) if (tree / rel).is_dir() else (tree / rel).unlink()
        elif verb == "add":
            shutil.copytree(templates / rel, tree / rel)
        else:
            (tree / rel).write_bytes(b"\0")
    assert main(["check", str(tree)]) == status
    out = capsys.readouterr().out
    assert main(["check", "--json", str(tree)]) == status
    checked = json.loads(capsys.readouterr().out)
    archive = pack(tree, artifact, tmp_path / f"a.{'whl' if artifact == 'wheel' else 'tar.gz'}")
    assert main(["verify", "--json", str(archive)]) == status
    [report] = json.loads(capsys.readouterr().out)
    assert (report["kind"], report["profile"], report["artifact"]) == (artifact, "python-release", artifact)
    assert checked["record"] == report["recorded"] == {"profile": "python-release", "artifact": artifact}
    if problem is None:
        assert out == f"release check passed: {tree} (pruned for profile python-release, artifact {artifact})\n"
        assert report["problems"] == checked["problems"] == [] and report["ok"] and checked["ok"]
        assert report["skills"] == admitted("python-release", artifact)
    else:
        assert out.splitlines() == report["problems"] == checked["problems"] == [problem.format(artifact=artifact)]


@pytest.mark.parametrize(
    "record, args, problem",
    [
        (None, [], "no release record: not pruned for a release"),
        (None, ["--profile", "python-release"], "no release record: not pruned for profile python-release"),
        # A wheel built under "dev" from a pruned sdist keeps the sdist's record.
        ("sdist", [], "recorded for profile python-release, artifact sdist; verified as profile python-release, artifact wheel"),
        # A templates tree says by its record alone what it was cut for; --artifact names it.
        ("tree", ["--artifact", "sdist"], "recorded for profile python-release, artifact wheel; verified as profile python-release, artifact sdist"),
    ],
    ids=["unpruned", "unpruned-profile", "sdist-record", "tree-artifact"],
)
def test_verify_refuses_an_artifact_not_cut_for_the_release(templates, tmp_path, capsys, record, args, problem):
    if record == "tree":
        archive = pruned_copy(templates, tmp_path, "wheel")
    else:
        tree = pruned_copy(templates, tmp_path, record) if record else templates
        archive = pack(tree, "wheel", tmp_path / "a.whl")
    capsys.readouterr()
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
    "args, env, profile, artifact",
    [
        (["--profile", "python-release", "--artifact", "sdist"], None, "python-release", "sdist"),
        (["--profile", "python-release", "--artifact", "wheel"], None, "python-release", "wheel"),
        (["--profile", "binary-minimal"], None, "binary-minimal", "binary"),  # the profile's only artifact
        (["--profile", "binary-full"], "python-release", "binary-full", "binary"),
        ([], "binary-minimal", "binary-minimal", "binary"),
        ([], None, "dev", "any"),
    ],
)
def test_list_prints_the_admitted_skills(templates, monkeypatch, capsys, args, env, profile, artifact):
    if env:
        monkeypatch.setenv("ZAVRIK_SKILL_PROFILE", env)
    assert main(["list", *args]) == 0
    assert capsys.readouterr().out.splitlines() == admitted(profile, artifact)
    assert main(["list", "--json", *args]) == 0
    assert json.loads(capsys.readouterr().out) == admitted(profile, artifact)


def test_list_all_covers_every_profile_and_artifact(templates, capsys):
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
        assert row["skills"] == admitted(row["profile"], row["artifact"])


@pytest.mark.parametrize(
    "args, env, profile",
    [
        ([], None, "binary-minimal"),
        ([], "binary-full", "binary-full"),  # as the PyInstaller hook reads it
        (["--profile", "binary-minimal"], "binary-full", "binary-minimal"),
    ],
)
def test_datas_prints_the_pairs_the_hook_bundles(templates, monkeypatch, capsys, args, env, profile):
    if env:
        monkeypatch.setenv("ZAVRIK_SKILL_PROFILE", env)
    assert main(["datas", "--json", *args]) == 0
    pairs = [tuple(pair) for pair in json.loads(capsys.readouterr().out)]
    assert pairs == packaging.collect_skill_datas(profile=profile)
    assert {Path(d).name for _, d in pairs} - {"templates", "data", "prompts"} == set(admitted(profile, "binary"))
    assert main(["datas", *args]) == 0
    assert capsys.readouterr().out.splitlines() == [f"{s} -> {d}" for s, d in pairs]


@pytest.mark.parametrize(
    "profile, artifact, record",
    [
        ("python-release", "wheel", True),
        ("binary-full", "binary", True),
        ("dev", "wheel", False),  # keeps every Skill: nothing to record
    ],
)
def test_prune_cuts_a_copy_and_records_it_as_the_build_does(templates, copy, capsys, profile, artifact, record):
    (copy / "test-writer" / ".DS_Store").write_text("junk")
    before = sorted(p.name for p in templates.iterdir())
    assert main(["prune", str(copy), "--profile", profile, "--artifact", artifact, "--json"]) == 0
    report = json.loads(capsys.readouterr().out)
    kept = admitted(profile, artifact)
    expected = {"profile": profile, "artifact": artifact} if record else None
    assert report == {"target": str(copy), "profile": profile, "artifact": artifact, "kept": kept, "record": expected}
    files = ["manifest.json"] + (["release.json"] if record else [])
    assert sorted(p.name for p in copy.iterdir()) == sorted(kept + files)
    assert not (copy / "test-writer" / ".DS_Store").exists()
    assert sorted(p.name for p in templates.iterdir()) == before
    # The pruned copy passes the check, held to its record.
    assert main(["check", str(copy)]) == 0
    assert capsys.readouterr().out.endswith(f"artifact {artifact})\n" if record else f"{copy}\n")


def test_prune_records_nothing_for_a_copy_cut_for_a_smaller_artifact(templates, tmp_path, capsys):
    tree = pruned_copy(templates, tmp_path, "wheel")
    capsys.readouterr()
    assert main(["prune", str(tree), "--profile", "python-release", "--artifact", "sdist"]) == 2
    assert capsys.readouterr().err.endswith(
        f"no release record written in {tree}: Skills admitted for profile python-release, artifact sdist "
        "are missing: data-migration\n"
    )
    assert json.loads((tree / "release.json").read_text()) == {"profile": "python-release", "artifact": "wheel"}


def test_where_reports_the_overridden_locations(tmp_path, monkeypatch, capsys):
    monkeypatch.setenv("ZAVRIK_CENTRAL_SKILLS_DIR", str(tmp_path / "store"))
    monkeypatch.setenv("ZAVRIK_BUILTIN_TEMPLATES_DIR", str(tmp_path / "builtin"))
    assert main(["where", "--json"]) == 0
    out = json.loads(capsys.readouterr().out)
    assert {k: out.pop(k) for k in ("native_engine", "native_engine_reason")}
    assert out == {
        "central_skills_dir": str(tmp_path / "store"),
        "builtin_templates_dir": str(tmp_path / "builtin"),
    }


# The interpreters whose pathlib the native engine knows (on POSIX systems).
ENGINE_KNOWS = sys.platform != "win32" and (3, 11) <= sys.version_info[:2] <= (3, 15)
WHERE_CHILD = r"""
import functools, json, pathlib, sys
if sys.argv[1] == "open replaced":
    # Still pathlib's open, through a descriptor that is no Python function.
    pathlib.Path.open = functools.partialmethod(pathlib.Path.open)
from zavrik.skills import cli, packaging
cli.main(["where"])
cli.main(["where", "--json"])
print(json.dumps([str(p) for p in packaging.list_template_dirs(pathlib.Path(sys.argv[2]))]))
print(json.dumps(packaging.load_release_manifest(pathlib.Path(sys.argv[2]))["default"]))
"""


@pytest.mark.parametrize("case, active, reason", [
    ("as installed", ENGINE_KNOWS, None if ENGINE_KNOWS else "is not one the engine knows"),
    ("open replaced", False, "pathlib's iterdir() or open() is not the Python function the engine knows"),
], ids=["as-installed", "open-replaced"])
def test_where_says_whether_the_native_engine_runs_and_why_not(templates, case, active, reason):
    """The engine decides at import whether it knows this interpreter's pathlib;
    where it does not, every call still answers, on the method path."""
    done = subprocess.run([sys.executable, "-c", WHERE_CHILD, case, str(templates)],
                          capture_output=True, text=True, encoding="utf-8")
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    text = lines[2]
    data = json.loads("\n".join(lines[3:-2]))
    version = "{}.{}.{}".format(*sys.version_info[:3])
    assert data["native_engine"] is active
    if active:
        assert data["native_engine_reason"] is None
        assert text == f"native engine:           active on CPython {version}"
    else:
        assert reason in data["native_engine_reason"] and "\n" not in data["native_engine_reason"]
        assert text == (f"native engine:           inactive on CPython {version}: "
                        f"{data['native_engine_reason']}; every call takes the slower method path")
    assert json.loads(lines[-2]) == [str(templates / name) for name in sorted(ADMISSION)]
    assert json.loads(lines[-1]) == dict.fromkeys(KEYS, False)


@pytest.fixture
def broken(templates, tmp_path):
    """Damaged inputs, by name, for the command lines below."""
    wheel = pack(pruned_copy(templates, tmp_path, "wheel"), "wheel", tmp_path / "good.whl")
    sdist = pack(pruned_copy(templates, tmp_path, "sdist", "sdist"), "sdist", tmp_path / "good.tar.gz")
    data, tar = wheel.read_bytes(), sdist.read_bytes()
    (tmp_path / "truncated.whl").write_bytes(data[: len(data) // 2])
    (tmp_path / "truncated.tar.gz").write_bytes(tar[: len(tar) - 100])
    with zipfile.ZipFile(wheel) as z:
        info = z.getinfo("zavrik/skills/templates/manifest.json")
    start = info.header_offset + 30 + len(info.filename) + len(info.extra)
    (tmp_path / "corrupt.whl").write_bytes(data[:start] + bytes(b ^ 0x5A for b in data[start:start + 40]) + data[start + 40:])
    (tmp_path / "nothing.bin").write_bytes(b"\x7fELF" + bytes(100))
    record = Path(shutil.copytree(templates, tmp_path / "recorded"))
    (record / "release.json").write_text('{"profile": "nightly", "artifact": "wheel"}')
    return tmp_path


@pytest.mark.parametrize(
    "args, env, message",
    [
        ([], None, "the following arguments are required: COMMAND"),
        (["deploy"], None, "invalid choice: 'deploy'"),
        (["list", "--colour"], None, "unrecognized arguments: --colour"),
        (["prune", "{tmp}"], None, "the following arguments are required: --artifact"),
        (["list", "--profile", "nightly", "--artifact", "wheel"], None,
         f"未知 Skill 构建 profile: nightly (--profile: unknown profile 'nightly'; the profiles are {PROFILES})"),
        (["list", "--profile", "binary-full", "--artifact", "wheel"], None,
         "profile 'binary-full' 不支持产物类型 'wheel' (--profile: profile binary-full builds binary, not 'wheel'; "
         "wheel is built by python-release)"),
        (["list", "--profile", "python-release"], None, "--artifact is required for profile python-release"),
        (["list", "--all", "--profile", "dev"], None, "--all lists every profile"),
        (["list", "--templates-dir", "{tmp}/nope"], None, "templates directory not found: {tmp}/nope"),
        (["datas", "--profile", "python-release"], None,
         "profile 'python-release' 不支持产物类型 'binary' (--profile: profile python-release builds sdist and wheel, "
         "not 'binary'; binary is built by binary-minimal and binary-full)"),
        (["datas"], "nope", "未知 Skill 构建 profile: nope (ZAVRIK_SKILL_PROFILE in the environment: unknown profile"),
        (["prune", "{tmp}/pruned", "--artifact", "sdist"], "binary-full",
         "profile 'binary-full' 不支持产物类型 'sdist' (ZAVRIK_SKILL_PROFILE in the environment: "),
        (["check", "{tmp}/recorded"], None,
         "未知 Skill 构建 profile: nightly (the release record {tmp}/recorded/release.json: unknown profile"),
        (["prune", "{tmp}/nope", "--artifact", "wheel"], None, "target not found: {tmp}/nope"),
        (["list", "--profile", "dev", "--artifact", "bogus"], None, "invalid choice: 'bogus'"),
        (["prune", "{tmp}", "--artifact", "bogus"], None, "invalid choice: 'bogus'"),
        (["verify"], None, "the following arguments are required: ARTIFACT"),
        (["verify", "{tmp}/nope"], None, "artifact not found: {tmp}/nope"),
        (["verify", "{tmp}"], None, "{tmp} holds no zavrik/skills/templates"),
        (["verify", "{tmp}/source"], None, "no telling which artifact it is (name it with --artifact)"),
        (["verify", "--artifact", "sdist", "{tmp}/good.whl"], None, "its artifact is wheel, not sdist"),
        (["verify", "--profile", "nope", "{tmp}/good.whl"], None, "未知 Skill 构建 profile: nope (--profile: "),
        (["verify", "{tmp}/truncated.whl"], None, "{tmp}/truncated.whl: damaged or truncated wheel (File is not a zip file)"),
        (["verify", "{tmp}/corrupt.whl"], None, "{tmp}/corrupt.whl: damaged or truncated wheel (Error -3 while decompressing"),
        (["verify", "{tmp}/truncated.tar.gz"], None, "{tmp}/truncated.tar.gz: damaged or truncated sdist ("),
        (["verify", "{tmp}/nothing.bin"], None, "{tmp}/nothing.bin is not a wheel"),
    ],
)
def test_user_mistakes_end_with_one_line_and_status_2(broken, monkeypatch, args, env, message):
    if env:
        monkeypatch.setenv("ZAVRIK_SKILL_PROFILE", env)
    status, out, err = run(*(a.format(tmp=broken) for a in args))
    assert (status, out) == (2, "")
    assert message.format(tmp=broken) in err and err.count("\n") == 1, err
    assert "Traceback" not in err


@pytest.mark.parametrize("args", [["check"], ["list", "--all"], ["--version"]])
def test_a_reader_that_goes_away_ends_the_command_quietly(templates, args):
    read, write = os.pipe()
    os.close(read)
    with os.fdopen(write, "wb") as stdout:
        done = subprocess.run([sys.executable, "-m", "zavrik.skills", *args], stdout=stdout, stderr=subprocess.PIPE)
    assert (done.returncode, done.stderr) == (2, b"")


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


def test_the_console_script_runs_the_command(templates):
    script = Path(sysconfig.get_path("scripts"), "zavrik-skills")
    if not script.exists():
        pytest.skip("zavrik is not installed in this environment (built in place only)")
    assert run("list", "--all", command=[str(script)]) == run("list", "--all")
    status, out, err = run("list", "--profile", "nope", command=[str(script)])
    assert (status, out) == (2, "") and err.startswith("zavrik-skills list: error: ")


def test_running_from_a_checkout_without_the_build_says_so(tmp_path):
    shutil.copytree(BUILTIN.parents[1], tmp_path / "zavrik", ignore=shutil.ignore_patterns("*.so", "templates"))
    done = subprocess.run(
        [sys.executable, "-m", "zavrik.skills", "check"], cwd=tmp_path, capture_output=True, text=True
    )
    assert done.returncode == 2 and "Traceback" not in done.stderr
    assert done.stderr.count("\n") == 1 and "use python3 -P" in done.stderr
