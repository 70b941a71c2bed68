"""Shared fixtures: the module, a clean environment, path classes and trees.

Trees are written and read back in one format, a dict from the relative path
to its content: None for a directory, a str (or bytes) for a file's content,
a dict for a file holding that object as JSON, and "-> target" for a
symbolic link. `mktree` writes such a dict, `snapshot` reads any tree back
into one (without following links), so a test states a whole tree in a line.
"""

import importlib.util
import json
import os
import pathlib

import pytest

import zavrik.skills.packaging as packaging

PosixPath = type(pathlib.Path())

# The suite also runs from a copy of tests/ against an installed wheel, as
# the wheel workflow's test step runs it: what needs more than that says so.
CHECKOUT = pathlib.Path(__file__).resolve().parents[1]
needs_checkout = pytest.mark.skipif(
    not (CHECKOUT / "setup.py").is_file(), reason="needs the source checkout (setup.py, scripts/)"
)
needs_pyinstaller = pytest.mark.skipif(
    importlib.util.find_spec("PyInstaller") is None, reason="needs PyInstaller (pip install pyinstaller)"
)


class SubPath(PosixPath):
    """A subclass that changes nothing: the module must treat it like Path."""


ENV_VARS = (
    "ZAVRIK_SKILL_PROFILE",
    "ZAVRIK_BUILTIN_TEMPLATES_DIR",
    "ZAVRIK_CENTRAL_SKILLS_DIR",
    "LOCALAPPDATA",
)


@pytest.fixture
def pk():
    return packaging


@pytest.fixture(autouse=True)
def clean_env(monkeypatch):
    for name in ENV_VARS:
        monkeypatch.delenv(name, raising=False)


@pytest.fixture(params=[PosixPath, SubPath], ids=["plain", "subclass"])
def path_cls(request):
    """The plain platform path class and a trivial subclass of it."""
    return request.param


def _mktree(root, layout):
    root = pathlib.Path(root)
    root.mkdir(parents=True, exist_ok=True)
    for rel, content in layout.items():
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        if content is None:
            path.mkdir(exist_ok=True)
        elif isinstance(content, dict):
            path.write_text(json.dumps(content), encoding="utf-8")
        elif isinstance(content, bytes):
            path.write_bytes(content)
        elif content.startswith("-> "):
            path.symlink_to(content[3:])
        else:
            path.write_text(content, encoding="utf-8")
    return root


def _snapshot(root):
    found = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            path = os.path.join(dirpath, name)
            rel = os.path.relpath(path, root)
            if os.path.islink(path):
                found[rel] = "-> " + os.readlink(path)
            elif os.path.isdir(path):
                found[rel] = None
            else:
                with open(path, "rb") as f:
                    found[rel] = f.read().decode("utf-8", "replace")
    return found


@pytest.fixture
def mktree():
    return _mktree


@pytest.fixture
def snapshot():
    return _snapshot


@pytest.fixture
def builtin_root(tmp_path, monkeypatch):
    """Points the built-in templates root at tmp_path/builtin (not created)."""
    root = tmp_path / "builtin"
    monkeypatch.setenv("ZAVRIK_BUILTIN_TEMPLATES_DIR", str(root))
    return root
