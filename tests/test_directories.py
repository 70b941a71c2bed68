"""Where Skills live: the central store, the built-in root, Skill directories."""

import pathlib
import sys
import types

import pytest

import zavrik.skills.packaging as pk

BESIDE_MODULE = pathlib.Path(pk.__file__).resolve().parent / "templates"


@pytest.fixture
def home(tmp_path, monkeypatch):
    home = tmp_path / "home"
    monkeypatch.setenv("HOME", str(home))
    return home


@pytest.mark.parametrize("value, expected", [
    ("  ~/store \n", "{home}/store"),
    ("rel/store", "rel/store"),
    ("/abs/store", "/abs/store"),
    (" \t ", "{home}/.zavrik/skills"),
    ("", "{home}/.zavrik/skills"),
])
def test_central_store_override(monkeypatch, home, value, expected):
    monkeypatch.setenv("ZAVRIK_CENTRAL_SKILLS_DIR", value)
    assert pk.get_central_skills_dir() == pathlib.Path(expected.format(home=home))


def test_central_store_ignores_localappdata_off_windows(monkeypatch, home):
    monkeypatch.setenv("LOCALAPPDATA", "/appdata")
    assert pk.get_central_skills_dir() == home / ".zavrik" / "skills"


@pytest.mark.parametrize("localappdata, expected", [
    (" ~/appdata ", "~/appdata/zavrik/skills"),
    ("/appdata", "/appdata/zavrik/skills"),
    ("   ", "{home}/zavrik/skills"),
    (None, "{home}/zavrik/skills"),
])
def test_central_store_on_windows(monkeypatch, home, localappdata, expected):
    monkeypatch.setattr(pk, "sys", types.SimpleNamespace(platform="win32"))
    if localappdata is not None:
        monkeypatch.setenv("LOCALAPPDATA", localappdata)
    assert pk.get_central_skills_dir() == pathlib.Path(expected.format(home=home))


@pytest.mark.parametrize("value, expected", [
    (" ~/tpl ", "{home}/tpl"),
    ("does/not/exist", "does/not/exist"),
])
def test_builtin_root_override_is_neither_checked_nor_made_absolute(monkeypatch, home, value, expected):
    monkeypatch.setenv("ZAVRIK_BUILTIN_TEMPLATES_DIR", value)
    assert pk.get_builtin_templates_dir() == pathlib.Path(expected.format(home=home))
    assert pk.list_template_dirs() == []


def test_builtin_root_defaults_beside_the_module_file(monkeypatch):
    monkeypatch.setenv("ZAVRIK_BUILTIN_TEMPLATES_DIR", "   ")
    assert pk.get_builtin_templates_dir() == BESIDE_MODULE


@pytest.mark.parametrize("meipass, unpacked, frozen", [
    ("{tmp}", True, True), ("{tmp}", False, False), ("", True, False)])
def test_builtin_root_of_a_frozen_build(monkeypatch, tmp_path, meipass, unpacked, frozen):
    bundled = tmp_path / "zavrik" / "skills" / "templates"
    if unpacked:
        bundled.mkdir(parents=True)
    monkeypatch.setattr(sys, "_MEIPASS", meipass.format(tmp=tmp_path), raising=False)
    assert pk.get_builtin_templates_dir() == (bundled if frozen else BESIDE_MODULE)


def test_module_file_none_fails_in_path(monkeypatch):
    monkeypatch.setattr(pk, "__file__", None)
    with pytest.raises(TypeError):
        pk.get_builtin_templates_dir()


def test_list_template_dirs_lists_every_directory_sorted(mktree, tmp_path, path_cls):
    mktree(tmp_path, {
        "manifest.json": {"skills": {}}, "b/x": "", "a/": None, "B/": None,
        "__pycache__/": None, ".hidden/": None, "file.txt": "", "elsewhere/": None,
        "linked": "-> elsewhere", "dangling": "-> nowhere",
    })
    root = path_cls(tmp_path)
    dirs = pk.list_template_dirs(root)
    assert type(dirs) is list and all(type(d) is path_cls for d in dirs)
    assert dirs == [root / n for n in
                    [".hidden", "B", "__pycache__", "a", "b", "elsewhere", "linked"]]


def test_list_template_dirs_of_missing_and_empty_roots(tmp_path, path_cls):
    assert pk.list_template_dirs(path_cls(tmp_path / "missing")) == []
    assert pk.list_template_dirs(path_cls(tmp_path)) == []


def test_list_template_dirs_of_a_file_passes_the_host_error(tmp_path, path_cls):
    (tmp_path / "f").write_text("")
    with pytest.raises(NotADirectoryError):
        pk.list_template_dirs(path_cls(tmp_path / "f"))


@pytest.mark.parametrize("falsy", [None, ""])
def test_list_template_dirs_falls_back_to_the_builtin_root(builtin_root, falsy):
    (builtin_root / "s").mkdir(parents=True)
    assert pk.list_template_dirs(falsy) == [builtin_root / "s"]
    (builtin_root / "t").mkdir()
    assert pk.list_template_dirs() == [builtin_root / "s", builtin_root / "t"]
