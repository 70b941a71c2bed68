"""Packable files, junk sweep, tree removal, pruning and the bundler list.

Operations on trees run with both a plain PosixPath and a trivial subclass
(`path_cls`): the two must behave identically.
"""

import os
import shutil

import pytest

from conftest import PosixPath, SubPath
import zavrik.skills.packaging as pk

is_root = os.geteuid() == 0


# --- _is_packable_file -----------------------------------------------------------

@pytest.mark.parametrize("rel, packable", [
    ("a.txt", True), (".hidden", True), ("a.PYC", True), ("x.DS_Store", True),
    (".pyc", True), ("a.pyc.txt", True), ("sub/__pycache__x/a.txt", True),
    ("link-to-file", True),
    (".DS_Store", False), ("sub/.DS_Store", False), ("a.pyc", False), ("a.pyo", False),
    ("__pycache__/a.txt", False), ("sub/__pycache__/deep/a.txt", False),
    ("sub", False), ("missing.txt", False), ("broken-link", False), ("link-to-dir", False),
])
def test_packable_file_vocabulary(mktree, tmp_path, path_cls, rel, packable):
    mktree(tmp_path, {
        "a.txt": "", ".hidden": "", "a.PYC": "", "x.DS_Store": "", ".pyc": "",
        "a.pyc.txt": "", "sub/__pycache__x/a.txt": "", ".DS_Store": "", "sub/.DS_Store": "",
        "a.pyc": "", "a.pyo": "", "__pycache__/a.txt": "", "sub/__pycache__/deep/a.txt": "",
        "link-to-file": "-> a.txt", "broken-link": "-> nowhere", "link-to-dir": "-> sub",
    })
    assert pk._is_packable_file(path_cls(tmp_path / rel)) is packable


# --- _remove_packaging_junk -------------------------------------------------------

def test_sweep_removes_caches_then_unpackable_files(mktree, snapshot, tmp_path, path_cls):
    root = mktree(tmp_path / "t", {
        "s/SKILL.md": "s", "s/.hidden": "h", "s/data/VERSION.json": "{}",
        "s/a.pyc": "", "s/b.pyo": "", "s/data/.DS_Store": "", "s/only-junk/.DS_Store": "",
        "s/__pycache__/x.pyc": "", "s/__pycache__/__pycache__/y.pyc": "",
        "s/data/__pycache__/z.txt": "", "s/deep/__pycache__": "a file named like a cache",
        "manifest.json": "{}", ".DS_Store": "",
    })
    assert pk._remove_packaging_junk(path_cls(root)) is None
    assert snapshot(root) == {
        "s": None, "s/SKILL.md": "s", "s/.hidden": "h", "s/data": None,
        "s/data/VERSION.json": "{}", "s/only-junk": None, "s/deep": None,
        "manifest.json": "{}",
    }


def test_sweep_lists_each_phase_in_full_and_files_after_caches(monkeypatch, mktree, tmp_path, path_cls):
    root = mktree(tmp_path / "t", {"a/__pycache__/x.pyc": "", "a/__pycache__/__pycache__/y": "",
                                   "b/__pycache__/z.pyc": "", "a/k.txt": "", "b/j.pyc": ""})
    calls = []
    remove_tree, packable = pk._remove_tree, pk._is_packable_file
    monkeypatch.setattr(pk, "_remove_tree", lambda p: calls.append(("tree", p)) or remove_tree(p))
    monkeypatch.setattr(pk, "_is_packable_file", lambda p: calls.append(("file", p)) or packable(p))
    pk._remove_packaging_junk(path_cls(root))
    first = [kind for kind, _ in calls]
    assert first == sorted(first, reverse=True)  # every "tree" before any "file"
    top = {p.relative_to(root).as_posix() for kind, p in calls if kind == "tree" and p.parent.name != "__pycache__"}
    assert top == {"a/__pycache__", "b/__pycache__"}
    assert sorted(p.relative_to(root).as_posix() for kind, p in calls if kind == "file") == ["a/k.txt", "b/j.pyc"]
    assert not (root / "b" / "j.pyc").exists() and (root / "a" / "k.txt").exists()


# --- _remove_tree -----------------------------------------------------------------------

def test_remove_tree_removes_everything_below_and_the_root(mktree, tmp_path, path_cls):
    root = mktree(tmp_path / "t", {"a/b/c/d.txt": "", "a/.e": "", "f": "", "g/": None})
    assert pk._remove_tree(path_cls(root)) is None
    assert not root.exists()
    (tmp_path / "empty").mkdir()
    pk._remove_tree(path_cls(tmp_path / "empty"))
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("target, error", [("file", NotADirectoryError), ("missing", FileNotFoundError)])
def test_remove_tree_of_a_non_directory_deletes_nothing(tmp_path, path_cls, target, error):
    (tmp_path / "file").write_text("x")
    with pytest.raises(error):
        pk._remove_tree(path_cls(tmp_path / target))
    assert (tmp_path / "file").read_text() == "x"


# --- symbolic links: removed as links, never descended into ------------------------

LINKS = {
    "dir-outside": "-> {out}/d",
    "file-outside": "-> {out}/f.pyc",
    "broken": "-> {out}/missing",
    "dir-inside": "-> ../sibling",
    "file-inside": "-> ../sibling/f.txt",
}
OUTSIDE = {"d/keep.txt": "k", "d/junk.pyc": "j", "d/__pycache__/c.pyc": "c", "f.pyc": "f"}


@pytest.fixture
def outside(tmp_path, mktree, snapshot):
    out = mktree(tmp_path / "out", OUTSIDE)
    before = snapshot(out)
    yield out
    assert snapshot(out) == before, "a file outside the tree was touched"


@pytest.mark.parametrize("kind", LINKS)
def test_remove_tree_unlinks_links_inside_the_tree(mktree, tmp_path, outside, path_cls, kind):
    root = mktree(tmp_path / "t", {"sub/link": LINKS[kind].format(out=outside),
                                   "sibling/f.txt": "", "sub/a.txt": ""})
    pk._remove_tree(path_cls(root))
    assert not os.path.lexists(root)


@pytest.mark.parametrize("kind", ["dir-outside", "broken"])
def test_remove_tree_given_a_link_removes_only_the_link(tmp_path, outside, path_cls, kind):
    link = tmp_path / "link"
    link.symlink_to(LINKS[kind].format(out=outside)[3:])
    pk._remove_tree(path_cls(link))
    assert not os.path.lexists(link)


def test_sweep_never_follows_links(mktree, snapshot, tmp_path, outside, path_cls):
    root = mktree(tmp_path / "t", {
        "s/__pycache__": f"-> {outside}/d", "s/x.pyc": f"-> {outside}/f.pyc",
        "s/keep": f"-> {outside}/d", "s/dead.pyc": f"-> {outside}/missing", "s/ok.txt": "",
    })
    pk._remove_packaging_junk(path_cls(root))
    assert snapshot(root) == {"s": None, "s/ok.txt": "", "s/keep": f"-> {outside}/d",
                              "s/dead.pyc": f"-> {outside}/missing"}


@pytest.mark.parametrize("profile", ["binary-minimal", "dev"])
def test_pruning_a_copy_made_of_links_never_touches_the_real_tree(mktree, snapshot, tmp_path, path_cls, profile):
    real = mktree(tmp_path / "real", {
        "manifest.json": {"skills": {"a": {"binary": True}, "b": {}}},
        "a/SKILL.md": "", "a/__pycache__/m.pyc": "", "a/x.pyc": "", "b/SKILL.md": "", "b/j.pyc": "",
    })
    before = snapshot(real)
    copy = mktree(tmp_path / "copy", {"a": f"-> {real}/a", "b": f"-> {real}/b", "c/x.pyc": ""})
    kept = pk.prune_templates_dir(path_cls(copy), profile=profile, artifact="binary",
                                  manifest_templates_dir=real)
    assert snapshot(real) == before
    if profile == "dev":
        assert kept == ["a", "b", "c"] and set(snapshot(copy)) == {"a", "b", "c"}
    else:
        assert kept == ["a"] and snapshot(copy) == {"a": f"-> {real}/a"}


# --- host errors pass through ---------------------------------------------------------

_unlink, _iterdir, _is_dir = PosixPath.unlink, PosixPath.iterdir, PosixPath.is_dir


def locked_unlink(self, missing_ok=False):
    """Refuses to delete anything named "locked...", as for a read-only file."""
    if self.name.startswith("locked"):
        raise PermissionError(13, "Permission denied", str(self))
    return _unlink(self, missing_ok)


@pytest.fixture(params=["subclass", "patched-plain"])
def faulty(request, monkeypatch):
    """A path class with some methods replaced: a subclass, or PosixPath itself."""
    def make(**methods):
        if request.param == "subclass":
            return type("Faulty", (SubPath,), methods)
        for name, method in methods.items():
            monkeypatch.setattr(PosixPath, name, method)
        return PosixPath
    return make


def test_permission_error_of_a_removal_passes_through(mktree, tmp_path, faulty):
    cls = faulty(unlink=locked_unlink)
    root = mktree(tmp_path / "t", {"sub/locked": "", "sub/a.txt": "", "b.txt": ""})
    with pytest.raises(PermissionError):
        pk._remove_tree(cls(root))
    assert (root / "sub" / "locked").exists()
    mktree(root, {"s/locked.pyc": ""})
    with pytest.raises(PermissionError):
        pk._remove_packaging_junk(cls(root))
    assert (root / "s" / "locked.pyc").exists()


@pytest.mark.skipif(is_root, reason="root ignores permission bits")
def test_read_only_directory(mktree, tmp_path, path_cls):
    root = mktree(tmp_path / "t", {"ro/a.txt": "", "ro/b.pyc": "", "hidden/c.pyc": ""})
    (root / "ro").chmod(0o500)
    (root / "hidden").chmod(0o000)
    try:
        with pytest.raises(PermissionError):
            pk._remove_tree(path_cls(root / "ro"))
        with pytest.raises(PermissionError):
            pk._remove_packaging_junk(path_cls(root))
        (root / "ro").chmod(0o700)
        pk._remove_packaging_junk(path_cls(root))  # the unlistable directory is passed over
    finally:
        (root / "ro").chmod(0o700)
        (root / "hidden").chmod(0o700)
    assert (root / "hidden" / "c.pyc").exists() and not (root / "ro" / "b.pyc").exists()


def test_entry_vanishing_before_removal_passes_the_error(mktree, tmp_path, faulty):
    def iterdir(self):  # name order, so "a" comes before "b.txt"
        return iter(sorted(_iterdir(self), key=lambda p: p.name))

    def is_dir(self):  # asking about "a" deletes its sibling b.txt
        if self.name == "a":
            _unlink(self.parent / "b.txt", missing_ok=True)
        return _is_dir(self)

    cls = faulty(iterdir=iterdir, is_dir=is_dir)
    root = mktree(tmp_path / "t", {"a/x": "", "b.txt": ""})
    with pytest.raises(FileNotFoundError):
        pk._remove_tree(cls(root))
    assert not (root / "a").exists() and root.exists()


def test_junk_file_vanishing_before_its_deletion_passes_the_error(monkeypatch, mktree, tmp_path, path_cls):
    root = mktree(tmp_path / "t", {"s/a.pyc": ""})
    monkeypatch.setattr(pk, "_is_packable_file", lambda p: p.unlink() or False)
    with pytest.raises(FileNotFoundError):
        pk._remove_packaging_junk(path_cls(root))


def test_removal_error_during_pruning_passes_through(monkeypatch, mktree, tmp_path, path_cls):
    src = mktree(tmp_path / "src", {"manifest.json": {"skills": {}}})
    target = mktree(tmp_path / "t", {"a/x": "", "b/y": ""})
    remove_tree = pk._remove_tree
    monkeypatch.setattr(pk, "_remove_tree", lambda p: shutil.rmtree(p) or remove_tree(p))
    with pytest.raises(FileNotFoundError):
        pk.prune_templates_dir(path_cls(target), profile="binary-full", artifact="binary",
                               manifest_templates_dir=src)


# --- prune_templates_dir --------------------------------------------------------

TARGET = {
    "alpha/SKILL.md": "", "alpha/x.pyc": "", "ALPHA/SKILL.md": "", "Zeta/SKILL.md": "",
    "beta/SKILL.md": "", "stray/__pycache__/m.pyc": "", "filed": "a file named like a Skill",
    "manifest.json": "{}", ".DS_Store": "",
}


@pytest.fixture
def source(mktree, tmp_path):
    return mktree(tmp_path / "src", {
        "manifest.json": {"skills": {n: {"binary": True} for n in ["alpha", "Zeta", "gone", "filed"]}
                          | {"beta": {"binary": False}}},
        "alpha/": None, "Zeta/": None, "gone/": None, "filed/": None, "beta/": None,
    })


def test_missing_target_is_left_alone(tmp_path, builtin_root, path_cls):
    assert pk.prune_templates_dir(path_cls(tmp_path / "no"), profile="bogus", artifact="x") == []


@pytest.mark.parametrize("env, profile", [(None, None), (None, ""), (None, "dev"),
                                          (None, "internal"), ("internal", None)])
def test_unrestricted_profile_removes_only_junk(monkeypatch, mktree, snapshot, tmp_path,
                                               builtin_root, path_cls, env, profile):
    if env:
        monkeypatch.setenv("ZAVRIK_SKILL_PROFILE", env)
    target = mktree(tmp_path / "t", TARGET)
    kept = pk.prune_templates_dir(path_cls(target), profile=profile, artifact="unsupported")
    assert kept == ["ALPHA", "Zeta", "alpha", "beta", "stray"]
    assert set(snapshot(target)) == set(TARGET) - {"alpha/x.pyc", ".DS_Store", "stray/__pycache__/m.pyc",
                                                   "stray/__pycache__"} | {"alpha", "ALPHA", "Zeta", "beta", "stray"}


def test_restricted_profile_keeps_only_admitted_skills(mktree, snapshot, tmp_path, source, path_cls):
    target = mktree(tmp_path / "t", TARGET)
    args = dict(profile="binary-minimal", artifact="binary", manifest_templates_dir=source)
    assert pk.prune_templates_dir(path_cls(target), **args) == ["Zeta", "alpha", "filed"]
    after = {"alpha": None, "alpha/SKILL.md": "", "Zeta": None, "Zeta/SKILL.md": "",
             "filed": "a file named like a Skill", "manifest.json": "{}"}
    assert snapshot(target) == after
    assert pk.prune_templates_dir(path_cls(target), **args) == ["Zeta", "alpha", "filed"]
    assert snapshot(target) == after


def test_manifest_root_without_skills_admits_nothing(mktree, snapshot, tmp_path, path_cls):
    src = mktree(tmp_path / "src", {"manifest.json": {"skills": {"alpha": {"binary": True}}}})
    target = mktree(tmp_path / "t", TARGET)
    assert pk.prune_templates_dir(path_cls(target), profile="binary-minimal", artifact="binary",
                                  manifest_templates_dir=src) == []
    assert set(snapshot(target)) == {"filed", "manifest.json"}


@pytest.mark.parametrize("profile, artifact, message", [
    ("DEV", "binary", "未知 Skill 构建 profile: DEV"),
    ("python-release", "binary", "profile 'python-release' 不支持产物类型 'binary'"),
])
def test_selection_error_leaves_skills_in_place_after_the_sweep(mktree, snapshot, tmp_path, source,
                                                              path_cls, profile, artifact, message):
    target = mktree(tmp_path / "t", TARGET)
    with pytest.raises(pk.SkillReleaseManifestError) as info:
        pk.prune_templates_dir(path_cls(target), profile=profile, artifact=artifact,
                               manifest_templates_dir=source)
    assert str(info.value) == message
    assert {"alpha", "ALPHA", "Zeta", "beta", "stray"} <= set(snapshot(target))
    assert not (target / "alpha" / "x.pyc").exists()


def test_default_manifest_root_is_the_builtin_root(monkeypatch, mktree, tmp_path, source, path_cls):
    monkeypatch.setenv("ZAVRIK_BUILTIN_TEMPLATES_DIR", str(source))
    monkeypatch.setenv("ZAVRIK_SKILL_PROFILE", "binary-minimal")
    target = mktree(tmp_path / "t", TARGET)
    assert pk.prune_templates_dir(path_cls(target), artifact="binary") == ["Zeta", "alpha", "filed"]
    monkeypatch.setenv("ZAVRIK_BUILTIN_TEMPLATES_DIR", str(tmp_path / "none"))
    with pytest.raises(pk.SkillReleaseManifestError, match="^未找到 Skill 发版清单: "):
        pk.prune_templates_dir(path_cls(target), artifact="binary")
    assert (target / "alpha").is_dir()


# --- collect_skill_datas -----------------------------------------------------------

DEST = "zavrik/skills/templates"


@pytest.fixture
def templates(mktree, tmp_path):
    return mktree(tmp_path / "tpl", {
        "manifest.json": {"skills": {"alpha": {"binary": True}, "beta": {"binary": False, "binary_full": True},
                                     "gamma": {"binary": True}}},
        "alpha/SKILL.md": "", "alpha/data/VERSION.json": "", "alpha/data/sub/deep.txt": "",
        "alpha/.hidden": "", "alpha/Z.md": "", "alpha/.DS_Store": "", "alpha/x.pyc": "",
        "alpha/y.pyo": "", "alpha/__pycache__/c.txt": "", "alpha/empty/": None,
        "beta/SKILL.md": "", "gamma/SKILL.md": "", "notes.txt": "",
    })


def expected_pairs(root, *rels):
    pairs = [(str(root / rel), f"{DEST}/{rel.rsplit('/', 1)[0]}") for rel in rels]
    return pairs + [(str(root / "manifest.json"), DEST)]


ALPHA = ["alpha/.hidden", "alpha/SKILL.md", "alpha/Z.md", "alpha/data/VERSION.json", "alpha/data/sub/deep.txt"]


@pytest.mark.parametrize("profile", [None, "", "binary-minimal"])
def test_collects_binary_skills_in_path_order_manifest_last(monkeypatch, templates, path_cls, profile):
    monkeypatch.setenv("ZAVRIK_SKILL_PROFILE", "dev")  # not consulted
    datas = pk.collect_skill_datas(profile=profile, templates_dir=path_cls(templates))
    assert datas == expected_pairs(templates, *ALPHA, "gamma/SKILL.md")
    assert all(type(p) is tuple and len(p) == 2 and all(type(s) is str for s in p) for p in datas)


@pytest.mark.parametrize("profile, rels", [
    ("binary-full", ["beta/SKILL.md"]),
    ("dev", [*ALPHA, "beta/SKILL.md", "gamma/SKILL.md"]),
    ("internal", [*ALPHA, "beta/SKILL.md", "gamma/SKILL.md"]),
])
def test_profile_selects_the_skills(templates, path_cls, profile, rels):
    assert pk.collect_skill_datas(profile=profile, templates_dir=path_cls(templates)) == \
        expected_pairs(templates, *rels)


def test_python_release_has_no_binary_key(templates):
    with pytest.raises(pk.SkillReleaseManifestError) as info:
        pk.collect_skill_datas(profile="python-release", templates_dir=templates)
    assert str(info.value) == "profile 'python-release' 不支持产物类型 'binary'"


def test_manifest_alone_or_nothing(mktree, tmp_path, path_cls):
    root = mktree(tmp_path / "r", {"manifest.json": {"skills": {"a": {}}}, "a/SKILL.md": ""})
    assert pk.collect_skill_datas(templates_dir=path_cls(root)) == expected_pairs(root)
    (root / "manifest.json").unlink()
    shutil.rmtree(root / "a")
    assert pk.collect_skill_datas(profile="dev", templates_dir=path_cls(root)) == []


def test_relative_root_gives_relative_sources(monkeypatch, templates):
    monkeypatch.chdir(templates.parent)
    datas = pk.collect_skill_datas(templates_dir=pk.Path("tpl"))
    assert datas == expected_pairs(pk.Path("tpl"), *ALPHA, "gamma/SKILL.md")


def test_default_root_is_the_builtin_root(monkeypatch, templates):
    monkeypatch.setenv("ZAVRIK_BUILTIN_TEMPLATES_DIR", str(templates))
    assert pk.collect_skill_datas() == expected_pairs(templates, *ALPHA, "gamma/SKILL.md")
