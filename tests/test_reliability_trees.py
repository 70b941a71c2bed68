"""Hostile trees: nothing outside the tree handed over is ever deleted, and odd
trees end in a result or a Python exception, never a crash or a hang.

Every operation runs with a plain PosixPath (native walks) and a trivial
subclass (method calls), through the `path_cls` fixture.
"""

import itertools
import json
import os
import tempfile
import shutil
import stat
import subprocess
import sys
import threading
from pathlib import Path

import pytest

from conftest import PosixPath, SubPath
import zavrik.skills.packaging as pk

CHECKOUT = Path(pk.__file__).resolve().parents[2]
OUTSIDE = {"d/keep.txt": "k", "d/junk.pyc": "j", "d/__pycache__/c.pyc": "c",
           "d/sub/deep.pyc": "x", "f.pyc": "f", "g.txt": "g"}


@pytest.fixture
def outside(tmp_path, mktree, snapshot):
    """A tree beside the target; it must be exactly as it was after the test."""
    out = mktree(tmp_path / "outside", OUTSIDE)
    before = snapshot(out)
    yield out
    assert snapshot(out) == before, "content outside the target was touched"


@pytest.fixture
def hostile(tmp_path, mktree, outside):
    """A templates tree whose Skills link out of it in every way there is."""
    return mktree(tmp_path / "t", {
        "manifest.json": {"skills": {"a": {"binary": True}, "out": {"binary": True}}},
        "a/SKILL.md": "", "a/x.pyc": "",
        "a/linkdir": f"-> {outside}/d",            # a directory outside
        "a/linkfile.txt": f"-> {outside}/g.txt",   # a packable file outside
        "a/linkjunk.pyc": f"-> {outside}/f.pyc",   # a junk file outside
        "a/__pycache__": f"-> {outside}/d",        # a link named like the cache
        "a/nested/__pycache__": f"-> {outside}/d/sub",
        "out": f"-> {outside}/d",                  # a whole Skill linking out
        "gone": f"-> {outside}/d",                 # ... and one not admitted
        "b/y.pyc": "",
    })


OPERATIONS = {
    "sweep": lambda root: pk._remove_packaging_junk(root),
    "remove-tree": lambda root: pk._remove_tree(root),
    "remove-skill": lambda root: pk._remove_tree(root / "a"),
    "prune-binary": lambda root: pk.prune_templates_dir(
        root, profile="binary-minimal", artifact="binary", manifest_templates_dir=root),
    "prune-nothing-admitted": lambda root: pk.prune_templates_dir(
        root, profile="python-release", artifact="wheel", manifest_templates_dir=root),
    "prune-dev": lambda root: pk.prune_templates_dir(root, profile="dev", artifact="x"),
    "collect": lambda root: pk.collect_skill_datas(profile="binary-minimal", templates_dir=root),
    "validate": lambda root: pk.validate_release_manifest(root),
}


@pytest.mark.parametrize("operation", OPERATIONS)
def test_links_out_of_the_tree_are_never_followed(hostile, outside, path_cls, operation):
    OPERATIONS[operation](path_cls(hostile))


def test_bundler_list_takes_linked_files_but_nothing_below_linked_directories(hostile, path_cls):
    """Below a Skill, linked files count (is_file follows links) and linked
    directories are not walked; a Skill that is itself a link is walked from
    its root, as rglob does."""
    datas = pk.collect_skill_datas(profile="binary-minimal", templates_dir=path_cls(hostile))
    sources = sorted(os.path.relpath(src, hostile) for src, _ in datas)
    assert sources == ["a/SKILL.md", "a/linkfile.txt", "manifest.json", "out/keep.txt"]


def test_sweep_and_prune_leave_only_links_removed(hostile, path_cls, snapshot, outside):
    kept = pk.prune_templates_dir(path_cls(hostile), profile="binary-minimal", artifact="binary",
                                  manifest_templates_dir=path_cls(hostile))
    assert kept == ["a", "out"]
    assert snapshot(hostile) == {
        "manifest.json": (hostile / "manifest.json").read_text(), "a": None, "a/SKILL.md": "",
        "a/linkdir": f"-> {outside}/d", "a/linkfile.txt": f"-> {outside}/g.txt",
        "a/nested": None, "out": f"-> {outside}/d",
    }


# --- a directory swapped for a link while the operation runs ----------------------

_aside = itertools.count()


def swap_for_link(directory, target):
    """Moves `directory` out of the tree (to a directory of its own, so that
    neither the tree nor the outside content holds it) and puts a link to
    `target` in its place; returns where it went."""
    aside = Path(tempfile.mkdtemp(dir=Path(directory).parents[2])) / f"aside-{next(_aside)}"
    os.rename(directory, aside)
    os.symlink(target, directory)
    return aside


class DryRun(PosixPath):
    """A path that refuses every deletion through attribute access alone: no
    method is overridden, so only its own hook can stop the native walks."""

    def __getattribute__(self, name):
        if name in ("unlink", "rmdir"):
            raise PermissionError(f"dry run: {name}")
        return super().__getattribute__(name)


@pytest.mark.parametrize("operation", ["sweep", "remove-tree", "remove-skill", "prune-binary"])
def test_a_path_that_refuses_deletion_by_attribute_access_keeps_every_file(
        tmp_path, mktree, snapshot, operation):
    root = mktree(tmp_path / "t", {
        "manifest.json": {"skills": {"a": {"binary": True}}}, "a/SKILL.md": "", "a/x.pyc": "",
        "a/__pycache__/c.pyc": "", "b/y.txt": ""})
    before = snapshot(root)
    with pytest.raises(PermissionError, match="dry run"):
        OPERATIONS[operation](DryRun(root))
    assert snapshot(root) == before


def test_swap_in_a_method_between_listing_and_removal(mktree, tmp_path, outside):
    """The subclass answers is_dir() for an entry, then swaps it for a link
    before the module acts on the answer."""
    class Swapping(SubPath):
        def is_dir(self):
            answer = super().is_dir()
            if self.name in ("victim", "__pycache__") and not self.is_symlink():
                swap_for_link(self, outside / "d")
            return answer

    root = mktree(tmp_path / "t", {"s/victim/a.txt": "", "s/__pycache__/b.pyc": "",
                                   "manifest.json": {"skills": {}}})
    pk._remove_packaging_junk(Swapping(root))          # the cache directory
    pk._remove_tree(Swapping(root / "s"))                # a directory below the removed one
    mktree(root, {"victim/x.txt": ""})
    pk.prune_templates_dir(Swapping(root), profile="binary-full", artifact="binary",
                           manifest_templates_dir=root)  # a Skill directory being pruned


def test_swap_of_a_parent_from_the_packable_test_is_not_followed(monkeypatch, mktree, tmp_path,
                                                                 outside, path_cls):
    """The junk test of the first file swaps the directory of the others for
    a link to a directory holding files of the same names."""
    root = mktree(tmp_path / "t", {"s/d/junk.pyc": "", "s/d/sub/deep.pyc": "", "s/first.pyc": ""})
    original = pk._is_packable_file

    def swapping(path):  # s/first.pyc is listed before anything below s/d
        if path.name == "first.pyc" and not os.path.islink(root / "s" / "d"):
            swap_for_link(root / "s" / "d", outside / "d")
        return original(path)

    monkeypatch.setattr(pk, "_is_packable_file", swapping)
    try:
        pk._remove_packaging_junk(path_cls(root))
    except OSError:
        pass  # an error is acceptable; following the link is not


@pytest.mark.parametrize("swapped", ["s", "s/sub"], ids=["removed-directory", "directory-below"])
def test_directory_swapped_after_its_listing_is_not_followed(monkeypatch, mktree, tmp_path,
                                                             outside, path_cls, swapped):
    """iterdir() lists a directory, then the directory is replaced by a link
    to one holding entries of the same names: removing what was listed must
    not delete through the link."""
    root = mktree(tmp_path / "t", {"s/keep.txt": "", "s/sub/deep.pyc": ""})  # names as in outside/d
    listing = PosixPath.iterdir

    def iterdir(self):
        entries = list(listing(self))
        if str(self) == str(root / swapped) and not os.path.islink(self):
            swap_for_link(self, outside / ("d" if swapped == "s" else "d/sub"))
        return iter(entries)

    monkeypatch.setattr(PosixPath, "iterdir", iterdir)
    try:
        pk._remove_tree(path_cls(root / "s"))
    except OSError:
        pass  # an error is acceptable; following the link is not


def race_swaps(victims, target, operation):
    """Runs `operation` while a thread keeps swapping each victim directory
    for a link to `target` and back (the module releases the GIL while it
    walks and deletes). Errors of the operation are acceptable."""
    stop = threading.Event()

    def flip():
        while not stop.is_set():
            moved = {}
            for v in victims:
                try:
                    moved[v] = swap_for_link(v, target)
                except OSError:
                    pass
            for v, aside in moved.items():
                try:
                    os.unlink(v)
                    os.rename(aside, v)
                except OSError:
                    pass

    thread = threading.Thread(target=flip)
    thread.start()
    try:
        operation()
    except OSError:
        pass
    finally:
        stop.set()
        thread.join()


RACES = {
    # junk files below the swapped directories
    "sweep-files": ("{i}/x{j}.pyc", lambda root: pk._remove_packaging_junk(root)),
    # cache directories below them
    "sweep-caches": ("{i}/__pycache__/x{j}.pyc", lambda root: pk._remove_packaging_junk(root)),
    # whole trees being removed
    "remove-tree": ("{i}/x{j}.txt", lambda root: pk._remove_tree(root)),
    "prune": ("{i}/x{j}.txt", lambda root: pk.prune_templates_dir(
        root, profile="binary-full", artifact="binary", manifest_templates_dir=root)),
}


# Plain paths take the native walks, which reach every directory relative
# to its parent through a descriptor and never through a link: a directory
# swapped meanwhile is never followed.
@pytest.mark.parametrize("race", RACES)
def test_directories_swapped_concurrently_are_never_followed(tmp_path, mktree, snapshot, race):
    pattern, operation = RACES[race]
    out = mktree(tmp_path / "out", {pattern.format(i="", j=j).lstrip("/"): "keep" for j in range(20)})
    before = snapshot(out)
    for attempt in range(5):  # one attempt catches a path-following removal 4 times in 5
        root = mktree(tmp_path / f"t{attempt}", {"s/manifest.json": {"skills": {}}} | {
            "s/" + pattern.format(i=f"d{i}", j=j): "" for i in range(30) for j in range(20)})
        victims = [root / "s" / f"d{i}" for i in range(0, 30, 3)]
        race_swaps(victims, out, lambda: operation(PosixPath(root / "s")))
        assert snapshot(out) == before, f"followed a swapped link on attempt {attempt}"


# --- depth ----------------------------------------------------------------------------

def make_deep(root, levels, name="d", junk=True):
    """root/d/d/... `levels` deep (far beyond PATH_MAX), built through
    directory descriptors; junk and a file at the bottom."""
    root.mkdir(parents=True)
    fd = os.open(root, os.O_RDONLY)
    try:
        for _ in range(levels):
            os.mkdir(name, dir_fd=fd)
            below = os.open(name, os.O_RDONLY, dir_fd=fd)
            os.close(fd)
            fd = below
        for leaf in ("x.pyc", "SKILL.md") if junk else ("SKILL.md",):
            os.close(os.open(leaf, os.O_CREAT | os.O_WRONLY, dir_fd=fd))
    finally:
        os.close(fd)


@pytest.fixture(scope="module")
def deep_trees(tmp_path_factory):
    """One deep tree per shape for the whole module, rebuilt when an
    operation removed it; removed with rm (shutil.rmtree recurses per level)."""
    base = tmp_path_factory.mktemp("deep")

    def get(levels, name):
        root = base / f"{levels}-{len(name)}"
        if not (root / "s").exists():
            subprocess.run(["rm", "-rf", str(root)], check=True)
            make_deep(root / "s", levels, name)
            (root / "manifest.json").write_text('{"skills": {"s": {"reason": "r", "tier": "t"}}}')
        return root

    yield get
    subprocess.run(["rm", "-rf", str(base)], check=True)


DEEP = {
    "sweep": lambda root: pk._remove_packaging_junk(root),
    "collect": lambda root: pk.collect_skill_datas(profile="dev", templates_dir=root),
    "validate": lambda root: pk.validate_release_manifest(root),
    "remove-tree": lambda root: pk._remove_tree(root / "s"),
    "prune": lambda root: pk.prune_templates_dir(root, profile="binary-full", artifact="binary",
                                                 manifest_templates_dir=root),
}


@pytest.mark.parametrize("operation", DEEP)
@pytest.mark.parametrize("levels, name", [(3000, "d"), (900, "long-name-" * 3)],
                         ids=["thousands-of-levels", "below-the-limit-long-names"])
def test_very_deep_tree_completes_or_raises_cleanly(deep_trees, path_cls, levels, name, operation):
    root = deep_trees(levels, name)
    try:
        result = DEEP[operation](path_cls(root))
    except (RecursionError, OSError):
        assert (root / "manifest.json").exists()
        return
    if operation in ("remove-tree", "prune"):
        assert not (root / "s").exists()
    if operation == "validate":
        assert result == []


# --- files that cannot be deleted -------------------------------------------------------

def chattr(flag, *paths):
    try:
        subprocess.run(["chattr", flag, *map(str, paths)], check=True, capture_output=True)
    except (OSError, subprocess.CalledProcessError) as e:
        pytest.skip(f"chattr {flag} unavailable here: {e}")


@pytest.mark.parametrize("operation, locked", [
    ("sweep", "s/x.pyc"),
    ("sweep", "s/__pycache__"),
    ("remove-tree", "s/inner/f.txt"),
    ("remove-tree", "s/inner"),
])
def test_immutable_entries_raise_permission_error_and_stay(mktree, tmp_path, path_cls,
                                                           operation, locked):
    root = mktree(tmp_path / "t", {"s/x.pyc": "", "s/__pycache__/c.pyc": "", "s/inner/f.txt": "",
                                   "s/inner/g.txt": ""})
    chattr("+i", root / locked)
    try:
        with pytest.raises(PermissionError):
            {"sweep": pk._remove_packaging_junk, "remove-tree": pk._remove_tree}[operation](
                path_cls(root / "s" if operation == "remove-tree" else root))
        assert (root / locked).exists()
    finally:
        chattr("-i", root / locked)


# --- names --------------------------------------------------------------------------------

ODD = ["new\nline", "back\\slash", os.fsdecode(b"bytes\xff\xfe"), " spaced ", "-dash", "é"]


@pytest.mark.parametrize("name", ODD, ids=repr)
def test_odd_names_are_listed_collected_swept_and_pruned(mktree, tmp_path, path_cls, name):
    root = mktree(tmp_path / "t", {
        "manifest.json": {"skills": {name: {"binary": True, "reason": "r", "tier": "t"}}},
        f"{name}/SKILL.md": "", f"{name}/data/VERSION.json": "", f"{name}/{name}.pyc": "",
        f"{name}/{name}": "", f"{name}/__pycache__/{name}": "", f"other{name}/f": "",
    })
    p = path_cls(root)
    assert [d.name for d in pk.list_template_dirs(p)] == sorted([name, f"other{name}"])
    assert pk.validate_release_manifest(p) == [f"模板目录未在 manifest 声明: other{name}"]
    assert pk.selected_skill_names(profile="binary-minimal", artifact="binary", templates_dir=p) == [name]
    datas = pk.collect_skill_datas(templates_dir=p)
    assert [(os.path.relpath(s, root), d) for s, d in datas] == sorted(
        [(f"{name}/{name}", f"zavrik/skills/templates/{name}"),
         (f"{name}/SKILL.md", f"zavrik/skills/templates/{name}"),
         (f"{name}/data/VERSION.json", f"zavrik/skills/templates/{name}/data")],
        key=lambda pair: Path(pair[0])) + [("manifest.json", "zavrik/skills/templates")]
    assert pk.prune_templates_dir(p, profile="binary-minimal", artifact="binary",
                                  manifest_templates_dir=p) == [name]
    assert sorted(os.listdir(root / name)) == sorted([name, "SKILL.md", "data"])
    assert not (root / f"other{name}").exists()


# --- odd manifests ----------------------------------------------------------------------

def run_isolated(code, timeout=20):
    """Runs `code` in a fresh interpreter on this checkout; (returncode, output)."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(CHECKOUT)] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))
    done = subprocess.run([sys.executable, "-c", code], cwd=CHECKOUT, env=env, timeout=timeout,
                          capture_output=True, text=True)
    return done.returncode, done.stdout + done.stderr


def test_manifest_that_is_a_directory_raises_the_os_error(tmp_path, path_cls):
    (tmp_path / "manifest.json").mkdir()
    root = path_cls(tmp_path)
    for call in (lambda: pk.load_release_manifest(root), lambda: pk.validate_release_manifest(root),
                 lambda: pk.selected_skill_names(profile="binary-full", artifact="binary",
                                                 templates_dir=root)):
        with pytest.raises(IsADirectoryError):
            call()


# A regular manifest.json replaced by a FIFO when the file is opened, after
# every check by name: only a check of the opened descriptor can see it.
SWAP_AT_OPEN = """
import os, sys
def swap(event, args):
    if event == "open" and os.fspath(args[0]).endswith("manifest.json"):
        if not os.path.islink(args[0]) and os.path.isfile(args[0]):
            os.unlink(args[0])
            os.mkfifo(args[0])
sys.addaudithook(swap)
"""


@pytest.mark.parametrize("when", ["named", "swapped-at-open"])
@pytest.mark.parametrize("path_class", ["pathlib.Path", "type('Sub', (pathlib.PosixPath,), {})"])
@pytest.mark.parametrize("function", ["load_release_manifest", "validate_release_manifest"])
def test_manifest_that_is_a_fifo_does_not_hang(tmp_path, function, path_class, when):
    if when == "named":
        os.mkfifo(tmp_path / "manifest.json")
    else:
        (tmp_path / "manifest.json").write_text('{"skills": {}}')
    code = ((SWAP_AT_OPEN if when == "swapped-at-open" else "") +
            f"import pathlib, zavrik.skills.packaging as pk\n"
            f"try:\n    pk.{function}(({path_class})({str(tmp_path)!r}))\n"
            f"except OSError as e:\n    print('raised', type(e).__name__, e.errno, e)\n")
    try:
        rc, out = run_isolated(code, timeout=6)
    except subprocess.TimeoutExpired:
        pytest.fail(f"{function} blocks forever reading a FIFO named manifest.json")
    manifest = tmp_path / "manifest.json"
    assert rc == 0 and out == f"raised OSError 22 [Errno 22] Not a regular file: '{manifest}'\n", out


def test_huge_manifest_loads_and_validates(tmp_path, path_cls):
    reason = "r" * (50 << 20)
    skills = {f"s{i}": {"reason": "r", "tier": "t", "binary": i % 2 == 0} for i in range(20000)}
    skills["s0"]["reason"] = reason
    (tmp_path / "manifest.json").write_text(json.dumps({"skills": skills}))
    (tmp_path / "s0").mkdir()
    root = path_cls(tmp_path)
    assert len(pk.load_release_manifest(root)["skills"]["s0"]["reason"]) == len(reason)
    problems = pk.validate_release_manifest(root)
    assert len(problems) == 19999 + 2
    assert pk.selected_skill_names(profile="binary-minimal", artifact="binary",
                                   templates_dir=root) == ["s0"]
