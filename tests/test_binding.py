"""Argument binding, type and result checks, and call-time name resolution."""

import builtins
import collections
import ctypes
import json
import os
import shutil
import subprocess
import sys
import textwrap
import types

import pytest

from conftest import CHECKOUT, SubPath, needs_checkout
import zavrik.skills.packaging as pk


class S(str):
    pass


class D(collections.OrderedDict):
    pass


P = SubPath("/nonexistent-zavrik-root")

# (call, message) for every step of the binder, covering each row of the
# positional-count table.
BINDER_CASES = [
    # functions without parameters
    (lambda: pk.get_central_skills_dir(None), "get_central_skills_dir() takes no arguments (1 given)"),
    (lambda: pk.get_builtin_templates_dir(1, 2), "get_builtin_templates_dir() takes no arguments (2 given)"),
    (lambda: pk.get_central_skills_dir(1, x=1), "get_central_skills_dir() takes no keyword arguments"),
    # "at most 1"
    (lambda: pk.load_release_manifest(P, P), "load_release_manifest() takes at most 1 positional argument (2 given)"),
    (lambda: pk.current_profile("a", "b"), "current_profile() takes at most 1 positional argument (2 given)"),
    (lambda: pk.validate_release_manifest(P, P), "validate_release_manifest() takes at most 1 positional argument (2 given)"),
    # "exactly 2"
    (lambda: pk._profile_key("a", "b", "c"), "_profile_key() takes exactly 2 positional arguments (3 given)"),
    (lambda: pk._profile_key("a"), "_profile_key() takes exactly 2 positional arguments (1 given)"),
    (lambda: pk._profile_key(artifact="x"), "_profile_key() takes exactly 2 positional arguments (0 given)"),
    (lambda: pk._profile_key(profile="x"), "_profile_key() takes exactly 2 positional arguments (1 given)"),
    # "exactly 1"
    (lambda: pk.skill_allowed("x", "dev", "wheel"), "skill_allowed() takes exactly 1 positional argument (3 given)"),
    (lambda: pk.skill_allowed("x"), "skill_allowed() needs keyword-only argument profile"),
    (lambda: pk.skill_allowed(profile="dev", artifact="w"), "skill_allowed() takes exactly 1 positional argument (0 given)"),
    (lambda: pk.skill_allowed("x", profile="dev"), "skill_allowed() needs keyword-only argument artifact"),
    (lambda: pk.prune_templates_dir(P), "prune_templates_dir() needs keyword-only argument artifact"),
    (lambda: pk.prune_templates_dir(artifact="x"), "prune_templates_dir() takes exactly 1 positional argument (0 given)"),
    (lambda: pk._remove_tree(), "_remove_tree() takes exactly 1 positional argument (0 given)"),
    (lambda: pk._is_packable_file(P, P), "_is_packable_file() takes exactly 1 positional argument (2 given)"),
    (lambda: pk._remove_packaging_junk(path=P), "_remove_packaging_junk() got an unexpected keyword argument 'path'"),
    # "exactly 0"
    (lambda: pk.selected_skill_names("dev"), "selected_skill_names() takes exactly 0 positional arguments (1 given)"),
    (lambda: pk.selected_skill_names(), "selected_skill_names() needs keyword-only argument artifact"),
    (lambda: pk.collect_skill_datas(P), "collect_skill_datas() takes exactly 0 positional arguments (1 given)"),
    # keywords
    (lambda: pk.load_release_manifest(P, templates_dir=P), "load_release_manifest() got multiple values for keyword argument 'templates_dir'"),
    (lambda: pk.list_template_dirs(root=P), "list_template_dirs() got an unexpected keyword argument 'root'"),
    (lambda: pk.collect_skill_datas(artifact="binary"), "collect_skill_datas() got an unexpected keyword argument 'artifact'"),
    (lambda: pk._profile_key("a", bogus=1, profile="x"), "_profile_key() got an unexpected keyword argument 'bogus'"),
    (lambda: pk._profile_key("a", profile="x", bogus=1), "_profile_key() got multiple values for keyword argument 'profile'"),
    # the count is checked before any keyword, missing before types
    (lambda: pk._profile_key(1, 2, 3, bogus=1), "_profile_key() takes exactly 2 positional arguments (3 given)"),
    (lambda: pk.skill_allowed(1, profile=None), "skill_allowed() needs keyword-only argument artifact"),
    # types, in declaration order
    (lambda: pk.current_profile(None), "Argument 'default' has incorrect type (expected str, got NoneType)"),
    (lambda: pk._profile_key("dev", 1), "Argument 'artifact' has incorrect type (expected str, got int)"),
    (lambda: pk.skill_allowed(1, profile=None, artifact=2), "Argument 'skill_name' has incorrect type (expected str, got int)"),
    (lambda: pk.skill_allowed("x", profile=None, artifact="a"), "Argument 'profile' has incorrect type (expected str, got NoneType)"),
    (lambda: pk.skill_allowed("x", profile="dev", artifact="a", manifest=[]), "Argument 'manifest' has incorrect type (expected dict, got list)"),
    (lambda: pk.selected_skill_names(profile=1, artifact="a"), "Argument 'profile' has incorrect type (expected str, got int)"),
    (lambda: pk.prune_templates_dir(P, artifact=None), "Argument 'artifact' has incorrect type (expected str, got NoneType)"),
    (lambda: pk.collect_skill_datas(profile=b"x"), "Argument 'profile' has incorrect type (expected str, got bytes)"),
]


@pytest.mark.parametrize("call, message", BINDER_CASES, ids=[m for _, m in BINDER_CASES])
def test_binder_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_non_string_keyword_name_is_refused():
    # The interpreter refuses such names at the call site, so hand one to the
    # function through the C call protocol directly.
    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object),
                           ctypes.c_size_t, ctypes.py_object]
    with pytest.raises(TypeError, match=r"^load_release_manifest\(\) keywords must be strings$"):
        vectorcall(pk.load_release_manifest, (ctypes.py_object * 1)(2), 0, (1,))


SUBCLASS_CASES = [
    (lambda: pk._profile_key(S("binary-full"), "binary"), "profile", "str", "S"),
    (lambda: pk.current_profile(S("x")), "default", "str", "S"),
    (lambda: pk.skill_allowed("a", profile="dev", artifact="x",
                              manifest=D(skills={})), "manifest", "dict", "D"),
    (lambda: pk.collect_skill_datas(profile=S("dev")), "profile", "str", "S"),
]


@pytest.mark.parametrize("call, param, expected, got", SUBCLASS_CASES)
def test_subclass_of_builtin_type_is_refused_with_note(call, param, expected, got):
    with pytest.raises(TypeError) as info:
        call()
    head = f"Argument '{param}' has incorrect type (expected {expected}, got {got}). "
    assert str(info.value).startswith(head)
    assert "subclass" in str(info.value).lower() and "ZAVRIK_ACCEPT_SUBCLASSES" in str(info.value)


def test_none_is_accepted_where_annotation_allows_it(tmp_path):
    (tmp_path / "manifest.json").write_text('{"skills": {}}')
    assert pk.skill_allowed("a", profile="dev", artifact="x", manifest=None) is True
    assert pk.selected_skill_names(profile=None, artifact="x", templates_dir=tmp_path) == []
    assert pk.prune_templates_dir(tmp_path / "no", profile=None, artifact="x") == []
    assert len(pk.collect_skill_datas(profile=None, templates_dir=tmp_path)) == 1
    assert pk.current_profile() == "dev"


@pytest.mark.parametrize("call, error, message", [
    (lambda: pk.load_release_manifest("root"), TypeError, "unsupported operand type(s) for /: 'str' and 'str'"),
    (lambda: pk.list_template_dirs("root"), AttributeError, "'str' object has no attribute 'exists'"),
    (lambda: pk._remove_tree(42), AttributeError, None),
])
def test_path_parameters_are_not_type_checked(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert message is None or str(info.value) == message


# --- result checks ---------------------------------------------------------

@pytest.mark.parametrize("key, got", [(3, "int"), (S("binary"), "S"), (b"binary", "bytes")])
def test_profile_key_result_must_be_exact_str(monkeypatch, key, got):
    monkeypatch.setattr(pk, "_PROFILE_KEYS", {"p": {"a": key}})
    with pytest.raises(TypeError, match=f"^Expected str, got {got}$"):
        pk._profile_key("p", "a")


def test_current_profile_result_must_be_exact_str(monkeypatch):
    monkeypatch.setattr(pk, "os", types.SimpleNamespace(environ={"ZAVRIK_SKILL_PROFILE": b" x "}))
    with pytest.raises(TypeError, match="^Expected str, got bytes$"):
        pk.current_profile()


def test_load_release_manifest_result_must_be_exact_dict(monkeypatch, tmp_path):
    (tmp_path / "manifest.json").write_text("{}")
    fake = types.SimpleNamespace(loads=lambda text: D(skills={}),
                                 JSONDecodeError=json.JSONDecodeError)
    monkeypatch.setattr(pk, "json", fake)
    with pytest.raises(TypeError, match="^Expected dict, got D$"):
        pk.load_release_manifest(tmp_path)


# --- name resolution at call time -----------------------------------------

@pytest.fixture
def root(tmp_path, mktree):
    return mktree(tmp_path / "root", {
        "manifest.json": {"skills": {"a": {"binary": True}}},
        "a/SKILL.md": "x",
        "a/__pycache__/m.pyc": "x",
        "a/junk.pyc": "x",
    })


NAME_CASES = [
    ("os", lambda r: pk.current_profile()),
    ("PROFILE_ENV", lambda r: pk.current_profile()),
    ("sys", lambda r: pk.get_central_skills_dir()),
    ("Path", lambda r: pk.get_builtin_templates_dir()),
    ("__file__", lambda r: pk.get_builtin_templates_dir()),
    ("json", lambda r: pk.load_release_manifest(r)),
    ("MANIFEST_FILENAME", lambda r: pk.load_release_manifest(r)),
    ("get_builtin_templates_dir", lambda r: pk.list_template_dirs()),
    ("_PROFILE_KEYS", lambda r: pk._profile_key("binary-full", "binary")),
    ("SkillReleaseManifestError", lambda r: pk._profile_key("nope", "binary")),
    ("load_release_manifest", lambda r: pk.skill_allowed("a", profile="binary-full", artifact="binary")),
    ("_profile_key", lambda r: pk.skill_allowed("a", profile="binary-full", artifact="binary", manifest={"skills": {}})),
    ("current_profile", lambda r: pk.selected_skill_names(artifact="x", templates_dir=r)),
    ("skill_allowed", lambda r: pk.selected_skill_names(profile="dev", artifact="x", templates_dir=r)),
    ("list_template_dirs", lambda r: pk.validate_release_manifest(r)),
    ("selected_skill_names", lambda r: pk.collect_skill_datas(templates_dir=r)),
    ("_is_packable_file", lambda r: pk.collect_skill_datas(profile="dev", templates_dir=r)),
    ("_remove_packaging_junk", lambda r: pk.prune_templates_dir(r, artifact="x")),
    ("_remove_tree", lambda r: pk._remove_packaging_junk(r)),
    ("_remove_tree", lambda r, remove_tree=pk._remove_tree: remove_tree(r / "a")),
]


@pytest.mark.parametrize("name, call", NAME_CASES, ids=[n for n, _ in NAME_CASES])
def test_deleted_module_name_raises_name_error(monkeypatch, root, path_cls, name, call):
    monkeypatch.setenv("ZAVRIK_CENTRAL_SKILLS_DIR", "")
    monkeypatch.delattr(pk, name)
    with pytest.raises(NameError) as info:
        call(path_cls(root))
    assert str(info.value) == f"name '{name}' is not defined"


def test_builtin_names_are_the_fallback(monkeypatch, tmp_path):
    monkeypatch.delattr(pk, "Path")
    monkeypatch.setattr(builtins, "Path", SubPath, raising=False)
    monkeypatch.setenv("ZAVRIK_CENTRAL_SKILLS_DIR", str(tmp_path))
    assert type(pk.get_central_skills_dir()) is SubPath


def test_rebound_names_take_effect_at_the_next_call(monkeypatch, tmp_path, mktree):
    mktree(tmp_path, {"b/": None, "other.json": {"skills": {"b": {"wheel": 1}}}})
    monkeypatch.setattr(pk, "get_builtin_templates_dir", lambda: tmp_path)
    assert pk.list_template_dirs() == [tmp_path / "b"]
    monkeypatch.setattr(pk, "MANIFEST_FILENAME", "other.json")
    assert pk.load_release_manifest() == {"skills": {"b": {"wheel": 1}}}
    monkeypatch.setattr(pk, "PROFILE_ENV", "OTHER_PROFILE_VARIABLE")
    monkeypatch.setenv("OTHER_PROFILE_VARIABLE", "internal")
    assert pk.current_profile() == "internal"
    monkeypatch.setattr(pk, "_profile_key", lambda profile, artifact: "wheel")
    assert pk.skill_allowed("b", profile="custom", artifact="x") is True


def test_rebinding_default_profile_does_not_change_the_default(monkeypatch):
    monkeypatch.setattr(pk, "DEFAULT_PROFILE", "binary-full")
    assert pk.current_profile() == "dev"
    assert pk.current_profile.__defaults__ == ("dev",)


@pytest.mark.slow
@needs_checkout
def test_subclass_setting_relaxes_the_exact_type_test(tmp_path):
    src = tmp_path / "src"
    shutil.copytree(CHECKOUT, src, ignore=shutil.ignore_patterns(
        ".*", "*.so", "__pycache__", "build", "*.egg-info", "tests", "benchmarks", "templates"))
    env = dict(os.environ, ZAVRIK_ACCEPT_SUBCLASSES="1")
    build = subprocess.run(
        [sys.executable, "setup.py", "build_ext", "-b", str(tmp_path / "lib"), "-t", str(tmp_path / "tmp")],
        cwd=src, env=env, capture_output=True, text=True, timeout=900)
    assert build.returncode == 0, build.stderr
    (so,) = (tmp_path / "lib").rglob("packaging*.so")
    check = subprocess.run([sys.executable, "-c", textwrap.dedent(f"""
        import collections, importlib.util
        spec = importlib.util.spec_from_file_location("zavrik.skills.packaging", {str(so)!r})
        m = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(m)
        class S(str): pass
        print(m._profile_key(S("binary-full"), S("binary")))
        print(m.skill_allowed("a", profile="binary-minimal", artifact="binary",
                              manifest=collections.OrderedDict(skills={{"a": {{"binary": 1}}}})))
        try:
            m.current_profile(None)
        except TypeError as e:
            print(e)
    """)], capture_output=True, text=True, timeout=120)
    assert check.stdout.splitlines() == [
        "binary_full", "True",
        "Argument 'default' has incorrect type (expected str, got NoneType)"], check.stderr
