"""The native paths for plain pathlib paths must be indistinguishable from
the method-by-method ones.

Each example builds one generated tree twice, runs an operation on one copy
with plain `pathlib.Path` arguments (eligible for the native path) and on the
other with a trivial subclass (which always takes the method calls), and
compares results, exceptions and the trees left behind, with each copy's own
directory written as <copy>.
"""

import contextlib
import faulthandler
import io
import json
import os
import resource
import subprocess
import sys
import tempfile
from pathlib import Path, PurePath

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zavrik.skills.packaging as packaging

PlainPath = type(Path())


class FaithfulPath(PlainPath):
    """Overrides a member the native walks stand in for (with pathlib's own
    behaviour), so the module never takes a shortcut with it."""

    def is_dir(self):
        return super().is_dir()


NOT_UTF8 = os.fsdecode(b"bad\xff\xfe")
NAMES = [
    "a", "B", "_c", "é", NOT_UTF8, ".hidden", ".pyc", "a.PYC", "n.DS_Store", "z.pyc.txt",
    "SKILL.md", "data", "VERSION.json", "sp ace", "manifest.json",
]
JUNK = ["__pycache__", ".DS_Store", "x.pyc", "y.pyo"]
name = st.one_of(
    st.sampled_from(JUNK),
    st.sampled_from(NAMES),
    st.text(alphabet="abXY_.-", min_size=1, max_size=4).filter(lambda s: s not in (".", "..")),
)
# Link targets: inside the tree, outside it (both kinds), nowhere, and cycles.
LINKS = ["root", "manifest", "out-file", "out-dir", "out-junk", "broken", "self"]
leaf = st.one_of(
    st.binary(max_size=6).map(lambda b: ("file", b)),
    st.sampled_from(LINKS).map(lambda k: ("link", k)),
    st.just(("dir", {})),
)
node = st.recursive(leaf, lambda kids: st.dictionaries(name, kids, max_size=4).map(lambda d: ("dir", d)), max_leaves=16)
skill = st.dictionaries(name, node, max_size=5).map(lambda d: ("dir", d))
ADMISSION = st.sampled_from([True, False, None, 0, "no", ""])
entry = st.one_of(
    st.fixed_dictionaries(
        {},
        optional={
            "reason": st.sampled_from(["", "  ", "why", None, ["why"]]),
            "tier": st.sampled_from(["", "\t", "core", 0]),
            "source": ADMISSION, "wheel": ADMISSION, "binary": ADMISSION, "binary_full": ADMISSION,
        },
    ),
    st.sampled_from(["text", 3, None, []]),
)


@st.composite
def trees(draw):
    top = draw(st.dictionaries(name, st.one_of(skill, leaf), max_size=5))
    kind = draw(st.sampled_from(["valid", "valid", "valid", "none", "invalid", "not-object"]))
    manifest = None
    if kind == "valid":
        declared = draw(st.lists(st.sampled_from(sorted(top) + ["stale", "a"]), max_size=6))
        manifest = {"skills": {n: draw(entry) for n in declared}}
        default = draw(st.sampled_from(["absent", "absent", "dict", "null"]))
        if default == "dict":
            manifest["default"] = {k: draw(ADMISSION) for k in ("source", "wheel", "binary", "binary_full")}
        elif default == "null":
            manifest["default"] = None
        manifest = json.dumps(manifest).encode("utf-8", "surrogateescape")
    elif kind == "invalid":
        manifest = b"{\"skills\": {},}"
    elif kind == "not-object":
        manifest = b"[]"
    return top, manifest


def build(base: Path, spec) -> None:
    top, manifest = spec
    outside = base / "outside"
    (outside / "dir").mkdir(parents=True)
    (outside / "dir" / "inner.txt").write_bytes(b"keep")
    (outside / "file.txt").write_bytes(b"keep")
    (outside / "junk.pyc").write_bytes(b"keep")
    root = base / "root"
    root.mkdir()
    targets = {
        "root": root, "manifest": root / "manifest.json", "out-file": outside / "file.txt",
        "out-dir": outside / "dir", "out-junk": outside / "junk.pyc", "broken": base / "missing",
    }

    def make(path: Path, item) -> None:
        kind, value = item
        if kind == "deep":
            make_deep(path, *value)
            return
        if kind == "file":
            path.write_bytes(value)
        elif kind == "dir":
            path.mkdir()
            for child, sub in value.items():
                make(path / child, sub)
        else:
            target = path.parent if value == "self" else targets[value]
            os.symlink(os.path.relpath(target, path.parent), path)

    for child, item in top.items():
        make(root / child, item)
    if manifest is not None and "manifest.json" not in top:
        (root / "manifest.json").write_bytes(manifest)


def make_deep(path: Path, levels: int, name: str, files: dict) -> None:
    """path/name/name/... `levels` deep with `files` at the bottom, made
    through directory descriptors: its paths may be longer than a system
    call takes."""
    path.mkdir()
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for _ in range(levels):
            os.mkdir(name, dir_fd=fd)
            below = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = below
        for leaf, content in files.items():
            if content is None:
                os.mkdir(leaf, dir_fd=fd)
                continue
            f = os.open(leaf, os.O_CREAT | os.O_WRONLY, dir_fd=fd)
            os.write(f, content)
            os.close(f)
    finally:
        os.close(fd)


def entries(spec) -> list[str]:
    """Relative paths of everything the tree description creates below the root, links not followed."""
    out = []

    def visit(prefix, item):
        if item[0] == "dir":
            for child, sub in item[1].items():
                out.append(prefix + child)
                visit(prefix + child + "/", sub)

    visit("", ("dir", spec[0]))
    return out


def snapshot(base: Path) -> list[tuple]:
    """The whole tree, read through directory descriptors (its paths may be
    longer than a system call takes, and deeper than Python recurses), links
    not followed."""
    out = []
    top = os.open(base, os.O_RDONLY | os.O_DIRECTORY)
    stack = [(top, "", iter(sorted(os.scandir(top), key=lambda e: e.name)))]
    try:
        while stack:
            fd, rel, pending = stack[-1]
            entry = next(pending, None)
            if entry is None:
                os.close(fd)
                stack.pop()
                continue
            r = f"{rel}/{entry.name}"
            if entry.is_symlink():
                out.append((r, "link", os.readlink(entry.name, dir_fd=fd)))
            elif entry.is_dir(follow_symlinks=False):
                out.append((r, "dir"))
                below = os.open(entry.name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
                stack.append((below, r, iter(sorted(os.scandir(below), key=lambda e: e.name))))
            else:
                f = os.open(entry.name, os.O_RDONLY, dir_fd=fd)
                try:
                    out.append((r, "file", os.read(f, 1 << 20)))
                finally:
                    os.close(f)
    finally:
        for fd, _, _ in stack:
            os.close(fd)
    return out


def normalized(value, copy: str, path_type: type):
    """Results with paths as strings and the copy's directory replaced."""
    if isinstance(value, PurePath):
        assert type(value) is path_type, f"{value!r} is a {type(value).__name__}"
        value = str(value)
    if isinstance(value, str):
        return value.replace(copy, "<copy>")
    if isinstance(value, (list, tuple)):
        return type(value)(normalized(v, copy, path_type) for v in value)
    return value


def outcome(call, copy: str, path_type: type):
    try:
        return ("returned", normalized(call(), copy, path_type))
    except Exception as exc:  # every exception must match, whatever it is
        # (a RecursionError's message names the call the interpreter refused)
        message = "" if isinstance(exc, RecursionError) else normalized(str(exc), copy, str)
        return (
            "raised", type(exc), getattr(exc, "errno", None),
            normalized(getattr(exc, "filename", None), copy, str),
            normalized(getattr(exc, "filename2", None), copy, str),
            message, type(exc.__cause__),
        )


ROOTS = ["absolute", "relative", "dot", "dotdot"]


def root_for(base: Path, mode: str, monkeypatch, path_type: type) -> Path:
    if mode == "absolute":
        return path_type(base / "root")
    if mode == "dot":
        monkeypatch.chdir(base / "root")
        return path_type(".")
    monkeypatch.chdir(base)
    return path_type("root" if mode == "relative" else "outside/../root")


def assert_equivalent(tmp_path, monkeypatch, spec, mode, operation) -> None:
    work = Path(tempfile.mkdtemp(dir=tmp_path))
    try:
        seen = []
        # Copies at paths of one length: a tree near the path limit must
        # cross it at the same entry in both.
        for label, path_type in (("native", PlainPath), ("method", FaithfulPath)):
            base = work / label
            base.mkdir()
            build(base, spec)
            root = root_for(base, mode, monkeypatch, path_type)
            result = outcome(lambda: operation(root), str(base), path_type)
            monkeypatch.chdir(tmp_path)
            seen.append((result, snapshot(base)))
        (fast, fast_tree), (faithful, faithful_tree) = seen
        assert fast == faithful
        assert fast_tree == faithful_tree
    finally:
        # rm, not shutil.rmtree: a tree may be deeper than Python recurses
        subprocess.run(["rm", "-rf", "--", str(work)], check=True)


examples = settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
PROFILES = st.sampled_from([None, "", "dev", "internal", "python-release", "binary-minimal", "binary-full", "DEV"])
ARTIFACTS = st.sampled_from(["wheel", "sdist", "binary"])


@pytest.fixture(autouse=True)
def _no_profile_from_environment(monkeypatch):
    monkeypatch.delenv("ZAVRIK_SKILL_PROFILE", raising=False)


def _with(draw, strategy, call):
    value = draw(strategy)
    return lambda root: call(root, value)


# Every operation, as drawn for one example: (spec, draw) -> call of the root.
EQUIVALENT = {
    "list_template_dirs": lambda spec, draw: packaging.list_template_dirs,
    "selected_skill_names": lambda spec, draw: _with(
        draw, st.tuples(PROFILES, ARTIFACTS), lambda root, pa: packaging.selected_skill_names(
            profile=pa[0], artifact=pa[1], templates_dir=root)),
    "collect_skill_datas": lambda spec, draw: _with(
        draw, PROFILES, lambda root, p: packaging.collect_skill_datas(profile=p, templates_dir=root)),
    "validate_release_manifest": lambda spec, draw: packaging.validate_release_manifest,
    "prune_templates_dir": lambda spec, draw: _with(
        draw, st.tuples(PROFILES, ARTIFACTS), lambda root, pa: packaging.prune_templates_dir(
            root, profile=pa[0], artifact=pa[1], manifest_templates_dir=root)),
    "_remove_packaging_junk": lambda spec, draw: packaging._remove_packaging_junk,
    # Any entry of the tree, the root itself, or a path that does not exist.
    "_remove_tree": lambda spec, draw: _with(
        draw, st.sampled_from(["", "missing", *entries(spec)]),
        lambda root, target: packaging._remove_tree(root / target if target else root)),
    "_is_packable_file": lambda spec, draw: lambda root: [
        packaging._is_packable_file(root / rel) for rel in ["missing", *entries(spec)]],
}


@pytest.mark.parametrize("operation", EQUIVALENT)
@examples
@given(spec=trees(), mode=st.sampled_from(ROOTS), data=st.data())
def test_native_walks_match_the_method_path(tmp_path, monkeypatch, operation, spec, mode, data):
    assert_equivalent(tmp_path, monkeypatch, spec, mode, EQUIVALENT[operation](spec, data.draw))


# Trees at the system's edges: paths longer than a system call takes (the
# methods fail by name where the walks could go on), and more levels than
# there are descriptors left to hold them (the walks hold a few at a time).
# With fewer descriptors free than a native walk needs at once, the step is
# taken the method way before anything is announced: the same result, tree
# and audit events, and no call that runs on for ever.
MANIFEST_S = json.dumps({"skills": {n: {"reason": "r", "tier": "t", "binary": True}
                                    for n in ("s", "s1")}}).encode()
TWO_LEVELS = {"s1": ("dir", {"SKILL.md": ("file", b""), "a": ("dir", {
    "__pycache__": ("dir", {"m.pyc": ("file", b"")}),
    "b": ("dir", {"junk.pyc": ("file", b""), "keep.txt": ("file", b"k")})})})}
DEEP_40 = {"s": ("dir", {"x.pyc": ("file", b""),
                         "deep": ("deep", (40, "d", {"f.txt": b"x", "g.pyc": b"", "__pycache__": None}))})}
EDGES = {
    "past-the-path-limit": (
        {"s": ("dir", {"x.pyc": ("file", b""), "__pycache__": ("dir", {"c.pyc": ("file", b"")}),
                       "deep": ("deep", (17, "n" * 250, {"f.txt": b"x", "g.pyc": b""}))})},
        MANIFEST_S),
    # descriptors free x levels below the Skill
    **{f"{free}-free-descriptors-{levels}": ((TWO_LEVELS if levels == "2-levels" else DEEP_40), MANIFEST_S)
       for free in (1, 2, 3, 4) for levels in ("2-levels", "40-levels")},
    # Levels around the recursion limit, counted from the caller's depth:
    # the method way enters one nested call per level.
    **{f"recursion-limit{offset:+d}-levels": (
        {"s": ("dir", {"deep": ("deep", (sys.getrecursionlimit() + offset - 2, "d", {"f.txt": b"x"}))})},
        MANIFEST_S) for offset in (-5, 1, 200)},
}
# What each edge is run with: the recursion limit only bounds removal.
# (The method way checks every level above each entry by name: a thousand
# levels take it a minute.)
EDGE_CASES = [pytest.param(edge, operation, marks=[pytest.mark.slow] if deep else [])
              for edge in EDGES for deep in [edge.startswith("recursion-limit")]
              for operation in ["list", "collect", "validate", "sweep", "prune", "remove"]
              if not deep or operation == "remove"]


@contextlib.contextmanager
def free_descriptors(edge):
    """Only as many more descriptors as the edge names may be opened while
    the call runs (the gaps below the highest one open are filled first)."""
    if "-free-descriptors" not in edge:
        yield
        return
    count = int(edge.split("-")[0])
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    highest = max(int(fd) for fd in os.listdir("/proc/self/fd"))
    filling = []
    try:
        while (fd := os.open(os.devnull, os.O_RDONLY | os.O_CLOEXEC)) < highest:
            filling.append(fd)
        os.close(fd)
        resource.setrlimit(resource.RLIMIT_NOFILE, (highest + 1 + count, hard))
        try:
            yield
        finally:
            resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    finally:
        for fd in filling:
            os.close(fd)


AUDITED = ("os.remove", "os.rmdir", "os.scandir", "os.listdir", "open", "pathlib.Path.rglob",
           "pathlib.Path.glob", "pathlib.Path.walk")
_HEARD = []


def _hear(event, args):
    if _HEARD and event in AUDITED:
        _HEARD[-1][1].append((event, *map(str, args)))


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="counts descriptors in /proc")
@pytest.mark.parametrize("edge, operation", EDGE_CASES)
def test_trees_at_the_systems_edges_match_faithful_path(tmp_path, monkeypatch, edge, operation):
    """The same results, trees and audit events; a call that does not end
    within a minute ends the process with the stacks of its threads."""
    if not hasattr(_hear, "added"):
        sys.addaudithook(_hear)
        _hear.added = True
    heard = []

    skill = next(iter(EDGES[edge][0]))
    call = (lambda root: packaging._remove_tree(root / skill)) if operation == "remove" \
        else OPERATIONS[operation]

    def limited(root):
        heard.append((str(root), []))
        faulthandler.dump_traceback_later(900 if "recursion" in edge else 60, exit=True,
                                         file=sys.__stderr__)
        try:
            with free_descriptors(edge):
                _HEARD.append(heard[-1])
                return call(root)
        finally:
            faulthandler.cancel_dump_traceback_later()
            _HEARD.clear()

    assert_equivalent(tmp_path, monkeypatch, EDGES[edge], "absolute", limited)
    (fast_root, fast), (faithful_root, faithful) = heard
    assert [tuple(a.replace(fast_root, "<root>") for a in e) for e in fast] == \
        [tuple(a.replace(faithful_root, "<root>") for a in e) for e in faithful]


# A replacement bound on the module, on the path class or in `os` must be used
# with plain paths too: the native path may stand in only for the originals.
SMALL = (
    {
        "a": ("dir", {"SKILL.md": ("file", b"x"), "data": ("dir", {"VERSION.json": ("file", b"{}")}),
                      "__pycache__": ("dir", {"m.pyc": ("file", b"")}), "junk.pyc": ("file", b"")}),
        "b": ("dir", {"SKILL.md": ("file", b"y")}),
    },
    json.dumps({"skills": {"a": {"reason": "r", "tier": "t", "wheel": True},
                           "b": {"reason": "r", "tier": "t", "wheel": False}}}).encode(),
)
OPERATIONS = {
    "list": lambda root: packaging.list_template_dirs(root),
    "select": lambda root: packaging.selected_skill_names(profile="python-release", artifact="wheel", templates_dir=root),
    "collect": lambda root: packaging.collect_skill_datas(profile="dev", templates_dir=root),
    "validate": lambda root: packaging.validate_release_manifest(root),
    "sweep": lambda root: packaging._remove_packaging_junk(root),
    "prune": lambda root: packaging.prune_templates_dir(
        root, profile="python-release", artifact="wheel", manifest_templates_dir=root),
    "remove": lambda root: packaging._remove_tree(root / "a"),
}


@pytest.mark.parametrize(
    "owner, attribute, operation",
    [
        ("module", "_is_packable_file", "collect"),
        ("module", "_is_packable_file", "sweep"),
        ("module", "_remove_tree", "sweep"),
        ("module", "_remove_tree", "prune"),
        ("module", "_remove_tree", "remove"),
        ("module", "list_template_dirs", "validate"),
        ("module", "list_template_dirs", "select"),
        ("module", "Path", "collect"),
        ("path", "is_dir", "list"),
        ("path", "iterdir", "list"),
        ("path", "rglob", "collect"),
        ("path", "relative_to", "collect"),
        ("path", "is_file", "sweep"),
        ("path", "unlink", "sweep"),
        ("path", "exists", "validate"),
        ("path", "rmdir", "remove"),
        ("os", "scandir", "collect"),
        # the listing function pathlib's iterdir calls
        ("os", "scandir" if sys.version_info >= (3, 13) else "listdir", "list"),
        ("os", "rmdir", "prune"),
        # what pathlib's is_dir and is_file call: os.path's predicates from
        # 3.14, the path's own stat() before
        ("os.path", "isdir", "list") if sys.version_info >= (3, 14) else ("os", "stat", "list"),
        ("os.path", "isfile", "collect") if sys.version_info >= (3, 14) else ("os", "stat", "collect"),
        ("path", "read_text", "validate"),
        ("path", "open", "validate"),
        ("io", "open", "validate"),
        ("io", "text_encoding", "select"),
    ],
)
def test_replaced_callee_is_used_with_plain_paths(tmp_path, monkeypatch, owner, attribute, operation):
    build(tmp_path, SMALL)
    target = {"module": packaging, "path": PlainPath, "os": os, "os.path": os.path, "io": io}[owner]
    original = getattr(target, attribute)
    calls = []

    def recording(*args, **kwargs):
        calls.append(args)
        return original(*args, **kwargs)

    monkeypatch.setattr(target, attribute, recording)
    OPERATIONS[operation](PlainPath(tmp_path / "root"))
    assert calls
