"""No call leaks: every function, on its success paths and on every error
path (each binding error, each manifest error, each profile error, host
errors passed through), with plain paths (native walks) and a subclass
(method calls). See leakcheck.py for the measurement."""

import ctypes
import inspect
import json
import os
import pickle
import shutil
import sys
import tempfile
import types
from collections import OrderedDict
from pathlib import Path

import pytest

from conftest import PosixPath, SubPath
from leakcheck import assert_no_leak
import zavrik.skills.packaging as pk

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "fuzz"))
import fuzzlib  # noqa: E402

BASE = Path(tempfile.gettempdir()) / f"zavrik-leaks-{os.getpid()}"
GOOD = {
    "manifest.json": json.dumps({
        "default": {"wheel": True},
        "skills": {"a": {"binary": True, "binary_full": True, "reason": "r", "tier": "t"},
                   "b": {"source": True, "reason": "", "tier": " "}, "gone": 3}}),
    "a/SKILL.md": "", "a/data/VERSION.json": "", "a/x.pyc": "", "a/__pycache__/c.pyc": "",
    "a/.DS_Store": "", "b/f.txt": "", "stray/": None,
}
BAD_MANIFESTS = {
    "missing": None,
    "invalid-json": "{,}",
    "root-not-object": "[1]",
    "no-skills-object": '{"skills": []}',
    "not-utf8": b'{"skills": {"\xff": {}}}',
    "directory": "dir",
    "nesting-too-deep": "[" * 100000,
}


def tree(name, layout):
    return fuzzlib.make_templates(BASE / name, {k.rstrip("/"): v for k, v in layout.items()})


def bad_root(kind):
    root = BASE / "bad" / kind
    root.mkdir(parents=True, exist_ok=True)
    (root / "s").mkdir(exist_ok=True)
    content = BAD_MANIFESTS[kind]
    if content == "dir":
        (root / "manifest.json").mkdir(exist_ok=True)
    elif isinstance(content, bytes):
        (root / "manifest.json").write_bytes(content)
    elif content is not None:
        (root / "manifest.json").write_text(content)
    return root


def fresh(name, cls):
    """A call argument that is a new small tree each time (for removals)."""
    root = BASE / "scratch" / name
    shutil.rmtree(root, ignore_errors=True)
    for rel in ("a/__pycache__", "a/sub", "stray"):
        os.makedirs(root / rel)
    for rel in ("manifest.json", "a/x.pyc", "a/__pycache__/c.pyc", "a/sub/f.txt", "stray/g"):
        (root / rel).write_text(GOOD["manifest.json"] if rel == "manifest.json" else "")
    return cls(root)


class Boom(Exception):
    pass


class Raising(SubPath):
    def iterdir(self):
        raise Boom()

    def read_text(self, *a, **kw):
        raise Boom()


class OddStr(str):
    def strip(self):
        return 5


vectorcall = ctypes.pythonapi.PyObject_Vectorcall
vectorcall.restype = ctypes.py_object
vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                       ctypes.py_object]


def non_str_keyword(function):
    values = (ctypes.py_object * 1)("x")
    return lambda: vectorcall(function, values, 0, (1,))


def with_module(call, **attributes):
    """call() with module attributes rebound (a value of None deletes)."""
    def run():
        saved = dict(vars(pk))
        try:
            for name, value in attributes.items():
                if value is None:
                    del vars(pk)[name]
                else:
                    vars(pk)[name] = value
            return call()
        finally:
            vars(pk).clear()
            vars(pk).update(saved)
    return run


def cases():
    good_root = tree("good", GOOD)
    out = []

    def add(label, call, *watched):
        out.append(pytest.param(call, watched, id=label))

    for cls in (PosixPath, SubPath):
        c = cls.__name__
        g = cls(good_root)
        # --- success paths
        add(f"{c}-load", lambda g=g: pk.load_release_manifest(g), g)
        add(f"{c}-list", lambda g=g: pk.list_template_dirs(g), g)
        add(f"{c}-validate", lambda g=g: pk.validate_release_manifest(g), g)
        for profile, artifact in [("dev", "x"), ("python-release", "sdist"), ("python-release", "wheel"),
                                  ("binary-minimal", "binary"), ("binary-full", "binary")]:
            add(f"{c}-allowed-{profile}-{artifact}", lambda g=g, p=profile, a=artifact:
                pk.skill_allowed("a", profile=p, artifact=a, templates_dir=g), g, profile, artifact)
            add(f"{c}-selected-{profile}-{artifact}", lambda g=g, p=profile, a=artifact:
                pk.selected_skill_names(profile=p, artifact=a, templates_dir=g), g, profile)
            add(f"{c}-prune-{profile}-{artifact}", lambda cls=cls, p=profile, a=artifact:
                pk.prune_templates_dir(fresh("prune", cls), profile=p, artifact=a,
                                       manifest_templates_dir=good_root), profile)
        for profile in ("dev", "binary-minimal", "binary-full", None):
            add(f"{c}-collect-{profile}", lambda g=g, p=profile:
                pk.collect_skill_datas(profile=p, templates_dir=g), g)
        for rel in ("a/SKILL.md", "a/x.pyc", "a", "a/__pycache__/c.pyc", "nothing"):
            p = g / rel
            add(f"{c}-packable-{rel}", lambda p=p: pk._is_packable_file(p), p)
        add(f"{c}-sweep", lambda cls=cls: pk._remove_packaging_junk(fresh("sweep", cls)))
        add(f"{c}-remove-tree", lambda cls=cls: pk._remove_tree(fresh("remove", cls)))
        add(f"{c}-remove-tree-of-a-link", lambda cls=cls: (
            os.symlink(good_root, BASE / "link"), pk._remove_tree(cls(BASE / "link"))))

        # --- manifest errors, through every function that loads one
        for kind in BAD_MANIFESTS:
            r = cls(bad_root(kind))
            for name, call in {
                "load": lambda r=r: pk.load_release_manifest(r),
                "validate": lambda r=r: pk.validate_release_manifest(r),
                "selected": lambda r=r: pk.selected_skill_names(profile="binary-full", artifact="binary",
                                                                templates_dir=r),
                "allowed": lambda r=r: pk.skill_allowed("s", profile="binary-full", artifact="binary",
                                                        templates_dir=r),
                "prune": lambda r=r: pk.prune_templates_dir(r, profile="binary-full", artifact="binary",
                                                            manifest_templates_dir=r),
                "collect": lambda r=r: pk.collect_skill_datas(templates_dir=r),
            }.items():
                add(f"{c}-{name}-{kind}", call, r)

        # --- profile errors
        for profile, artifact in [("nightly", "binary"), ("DEV", "x"), ("", "wheel"),
                                  ("binary-full", "wheel"), ("python-release", "binary")]:
            add(f"{c}-selected-{profile or 'empty'}-{artifact}", lambda g=g, p=profile, a=artifact:
                pk.selected_skill_names(profile=p or None, artifact=a, templates_dir=g), g)
            add(f"{c}-prune-{profile or 'empty'}-{artifact}", lambda g=g, p=profile, a=artifact:
                pk.prune_templates_dir(g, profile=p or "x", artifact=a, manifest_templates_dir=g), g)
            add(f"{c}-collect-{profile or 'empty'}", lambda g=g, p=profile:
                pk.collect_skill_datas(profile=p or "x", templates_dir=g), g)

        # --- host errors passed through
        add(f"{c}-remove-tree-of-a-file", lambda g=g: pk._remove_tree(g / "manifest.json"), g)
        add(f"{c}-remove-tree-of-nothing", lambda g=g: pk._remove_tree(g / "nothing"), g)
        add(f"{c}-list-of-a-file", lambda g=g: pk.list_template_dirs(g / "manifest.json"), g)
        add(f"{c}-raising-iterdir", lambda: pk.list_template_dirs(Raising(good_root)))
        add(f"{c}-raising-read", lambda: pk.load_release_manifest(Raising(good_root)))
        add(f"{c}-sweep-raising", lambda: pk._remove_packaging_junk(Raising(good_root / "stray")))

    manifest = json.loads(GOOD["manifest.json"])
    for profile, artifact in [("dev", "x"), ("binary-full", "binary"), ("python-release", "wheel"),
                              ("nightly", "x"), ("binary-full", "sdist")]:
        add(f"profile-key-{profile}-{artifact}", lambda p=profile, a=artifact: pk._profile_key(p, a),
            profile, artifact)
        add(f"allowed-given-{profile}-{artifact}", lambda p=profile, a=artifact:
            pk.skill_allowed("a", profile=p, artifact=a, manifest=manifest), manifest)
    for shape in ({"default": None, "skills": {}}, {"skills": 1}, {"skills": {"a": []}},
                  {"default": {"binary_full": 0}}):
        add(f"allowed-shape-{shape}", lambda m=shape: pk.skill_allowed(
            "a", profile="binary-full", artifact="binary", manifest=m), shape)
    add("current-profile", lambda: pk.current_profile())
    add("central-dir", lambda: pk.get_central_skills_dir())
    add("builtin-dir", lambda: pk.get_builtin_templates_dir())
    add("load-str-root", lambda: pk.load_release_manifest("relative"))
    add("list-str-root", lambda: pk.list_template_dirs("relative"))
    add("name-deleted", with_module(lambda: pk.load_release_manifest(good_root), MANIFEST_FILENAME=None))
    add("path-deleted", with_module(lambda: pk.get_central_skills_dir(), Path=None))
    add("profile-not-str", with_module(lambda: pk.current_profile(),
                                       os=types.SimpleNamespace(environ={"ZAVRIK_SKILL_PROFILE": OddStr()})))
    add("key-not-str", with_module(lambda: pk._profile_key("p", "a"), _PROFILE_KEYS={"p": {"a": 5}}))
    add("manifest-not-dict", with_module(lambda: pk.load_release_manifest(good_root),
                                         json=types.SimpleNamespace(
                                             loads=lambda s: OrderedDict(skills={}),
                                             JSONDecodeError=ValueError)))
    add("environ-raising", with_module(lambda: pk.current_profile(),
                                       os=types.SimpleNamespace(environ=None)))

    # --- binding errors
    for name in fuzzlib.SIGNATURES:
        function = getattr(pk, name)
        for label, args, kwargs in fuzzlib.binding_error_calls(name, PosixPath(good_root)):
            add(f"bind-{name}-{label}", lambda f=function, a=args, k=dict(kwargs): f(*a, **k), *args)
        add(f"bind-{name}-keyword-not-str", non_str_keyword(function))

    # --- the function objects' own surface, and assignments that take or are refused
    f, odd = pk.skill_allowed, "/opt/\udcff/packaging.so"
    add("surface-signature", with_module(lambda: inspect.signature(f), __file__=odd), odd)
    add("surface-pickle", lambda: pickle.loads(pickle.dumps(f)))
    add("surface-get", lambda: f.__get__(odd).__func__, odd)
    add("surface-repr-reduce", lambda: (repr(f), f.__reduce__()))
    for attribute, value in [("__doc__", odd), ("__module__", odd), ("__name__", odd), ("__name__", 5),
                             ("__qualname__", odd), ("__annotations__", {"x": odd}),
                             ("__annotations__", None), ("__annotations__", odd), ("__dict__", {"x": odd}),
                             ("__dict__", odd), ("__defaults__", (odd,)), ("own", odd)]:
        add(f"surface-set-{attribute}-{type(value).__name__}",
            lambda a=attribute, v=value: assign_and_restore(f, a, v), value)
    return out


def assign_and_restore(function, attribute, value):
    saved = {a: getattr(function, a) for a in ("__doc__", "__module__", "__name__", "__qualname__",
                                               "__annotations__", "__dict__")}
    try:
        setattr(function, attribute, value)
    finally:
        for a, v in saved.items():
            setattr(function, a, v)
        function.__dict__.pop("own", None)


@pytest.fixture(autouse=True, scope="module")
def scratch():
    yield
    shutil.rmtree(BASE, ignore_errors=True)


@pytest.fixture(autouse=True)
def environment(monkeypatch):
    monkeypatch.setenv("ZAVRIK_BUILTIN_TEMPLATES_DIR", str(BASE / "good"))
    monkeypatch.setenv("ZAVRIK_SKILL_PROFILE", "binary-full")
    monkeypatch.chdir(BASE)
    yield
    if os.path.lexists(BASE / "link"):
        os.unlink(BASE / "link")


@pytest.mark.parametrize("call, watched", cases())
def test_no_leak(call, watched):
    if os.path.lexists(BASE / "link"):
        os.unlink(BASE / "link")

    def once():
        try:
            return call()
        finally:
            if os.path.lexists(BASE / "link"):
                os.unlink(BASE / "link")

    assert_no_leak(once, watched)


kept = []


IMMORTAL = pytest.mark.skipif(
    sys.version_info >= (3, 12),
    reason="None is immortal from 3.12: its reference count never moves, so a reference "
           "leaked to it can neither be seen nor do harm")


@pytest.mark.parametrize("leaky", [lambda: kept.append(object()),
                                   pytest.param(lambda: kept.append(None), marks=IMMORTAL),
                                   lambda: kept.append(GOOD)], ids=["object", "None", "watched"])
def test_the_measurement_sees_a_leak_of_one_reference_per_call(leaky):
    with pytest.raises(AssertionError):
        assert_no_leak(leaky, (GOOD,))
    kept.clear()
