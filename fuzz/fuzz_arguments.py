#!/usr/bin/env python3
"""Fuzzes the calls themselves: any of the fourteen functions with random
positional and keyword arguments drawn from a pool of values (strings,
profiles, str and dict subclasses, numbers, containers, plain and subclass
paths into a sandbox, strings and pure paths where paths belong, objects
whose path methods raise).

    python3 fuzz/fuzz_arguments.py -max_total_time=60 fuzz/corpus/arguments

A call that must not bind raises exactly the binder's TypeError, computed
independently by fuzzlib. A call that binds returns a value of its declared
kind, or raises one of these, each with the reason it can:
- AttributeError: a value without the path operations the body uses.
- TypeError: `/` between values that do not support it, a value that is
  not iterable, a `_PROFILE_KEYS` lookup with an unhashable profile.
- SkillReleaseManifestError: missing or invalid manifest, unknown profile,
  unsupported artifact.
- OSError: the file system's answer (a file given as a directory, ...).
- UnicodeDecodeError: never from the sandbox, listed for completeness.
- Boom: raised by the hostile path objects, passed through.
The sandbox is rebuilt after every call that may delete; a canary beside
it must never be touched. No SystemError, no binder message from a call
that binds.
"""

import atexit
import os
import shutil
import sys
import tempfile
from collections import OrderedDict
from pathlib import Path, PurePosixPath

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fuzzlib  # noqa: E402
import zavrik.skills.packaging as pk  # noqa: E402

PosixPath = type(Path())


class SubPath(PosixPath):
    pass


class Boom(Exception):
    pass


class Raising(SubPath):
    """A path whose every operation the module may use raises."""

    def _boom(self, *args, **kwargs):
        raise Boom()

    exists = iterdir = is_dir = is_file = is_symlink = unlink = rmdir = rglob = read_text = _boom


BASE = Path(tempfile.mkdtemp(prefix="zavrik-fuzz-arguments-"))
SANDBOX, CANARY = BASE / "sandbox", BASE / "canary"
TREE = {
    "templates/manifest.json": '{"default": {"binary": true}, "skills": {"a": {"wheel": true, '
                               '"reason": "r", "tier": "t"}, "b": {"binary": false}}}',
    "templates/a/SKILL.md": "", "templates/a/data/VERSION.json": "", "templates/a/x.pyc": "",
    "templates/a/__pycache__/c.pyc": "", "templates/b/f.txt": "", "templates/c/": None,
    "target/a/SKILL.md": "", "target/b/y.pyo": "", "target/z/.DS_Store": "",
    "target/manifest.json": "{}", "file.txt": "",
    "target/out": str(CANARY),  # a link out of the tree (never passed as a root itself:
}                                # a root that is a link is walked where it points)
DESTRUCTIVE = {"_remove_tree", "_remove_packaging_junk", "prune_templates_dir"}
RESULT_KINDS = {  # what a call that returns gives
    "get_central_skills_dir": lambda v: isinstance(v, PosixPath),
    "get_builtin_templates_dir": lambda v: isinstance(v, PosixPath),
    "load_release_manifest": lambda v: type(v) is dict and type(v["skills"]) is dict,
    "list_template_dirs": lambda v: type(v) is list,
    "current_profile": lambda v: type(v) is str,
    "_profile_key": lambda v: v is None or type(v) is str,
    "skill_allowed": lambda v: type(v) is bool,
    "selected_skill_names": lambda v: type(v) is list and all(type(x) is str for x in v),
    "prune_templates_dir": lambda v: type(v) is list and all(type(x) is str for x in v),
    "collect_skill_datas": lambda v: type(v) is list and all(
        type(p) is tuple and len(p) == 2 and all(type(x) is str for x in p) for p in v),
    "validate_release_manifest": lambda v: type(v) is list and all(type(x) is str for x in v),
    "_remove_tree": lambda v: v is None,
    "_is_packable_file": lambda v: type(v) is bool,
    "_remove_packaging_junk": lambda v: v is None,
}
BODY_ERRORS = ("AttributeError", "TypeError", "SkillReleaseManifestError", "UnicodeDecodeError",
               "Boom", "FileNotFoundError", "NotADirectoryError", "IsADirectoryError",
               "OSError", "PermissionError", "FileExistsError")


def build_sandbox():
    shutil.rmtree(SANDBOX, ignore_errors=True)
    for rel, content in TREE.items():
        path = SANDBOX / rel.rstrip("/")
        path.parent.mkdir(parents=True, exist_ok=True)
        if content is None:
            path.mkdir()
        elif rel.endswith("/out"):
            path.symlink_to(content)
        else:
            path.write_text(content)


def pool():
    t, g = SANDBOX / "target", SANDBOX / "templates"
    return [
        None, "", "dev", "internal", "binary-full", "binary-minimal", "python-release", "binary",
        "wheel", "sdist", "nightly", " dev ", fuzzlib.StrSub("dev"), 0, 1, True, 3.5, b"bytes",
        [], {}, fuzzlib.DictSub(), OrderedDict(), {"skills": {"a": {"binary": True}}},
        {"skills": [], "default": None}, (), object(),
        PosixPath(g), SubPath(g), PosixPath(g / "a"), PosixPath(g / "a" / "SKILL.md"),
        PosixPath(g / "a" / "x.pyc"), PosixPath(t), SubPath(t), PosixPath(t / "b"),
        SubPath(t / "a"), PosixPath(SANDBOX / "missing"),
        PosixPath(SANDBOX / "file.txt"), str(g), PurePosixPath(g), Raising(g), Raising(t),
    ]


PARAMETER_NAMES = sorted({p[0] for params in fuzzlib.SIGNATURES.values() for p in params}) + ["bogus"]
FUNCTIONS = list(fuzzlib.SIGNATURES)


def canary_intact():
    return sorted(os.listdir(CANARY)) == ["keep.pyc", "keep.txt"]


def test_one_input(data):
    r = fuzzlib.Reader(data)
    name = r.pick(FUNCTIONS)
    values = pool()
    args = [r.pick(values) for _ in range(r.byte() % 4)]
    kwargs = {}
    for _ in range(r.byte() % 5):
        kwargs[r.pick(PARAMETER_NAMES)] = r.pick(values)
    os.environ["ZAVRIK_SKILL_PROFILE"] = r.pick(["", "dev", "binary-full", " nightly ", "python-release"])
    os.environ["ZAVRIK_BUILTIN_TEMPLATES_DIR"] = str(SANDBOX / "templates")
    os.environ["ZAVRIK_CENTRAL_SKILLS_DIR"] = str(SANDBOX / "central")

    expected = fuzzlib.expected_binding_error(name, args, list(kwargs.items()))
    try:
        result, error = getattr(pk, name)(*args, **kwargs), None
    except Exception as e:  # noqa: BLE001 - the exception is what is checked
        result, error = None, e
    if name in DESTRUCTIVE:
        build_sandbox()
    where = (name, args, kwargs, result, error)
    assert canary_intact(), where
    if expected is not None:
        assert type(error) is TypeError and fuzzlib.without_note(str(error)) == expected, (where, expected)
    elif error is None:
        assert RESULT_KINDS[name](result), where
    else:
        assert type(error).__name__ in BODY_ERRORS, where
        assert not str(error).startswith((f"{name}() ", "Argument '")), where


def setup():
    build_sandbox()
    CANARY.mkdir(exist_ok=True)
    (CANARY / "keep.txt").write_text("")
    (CANARY / "keep.pyc").write_text("")
    atexit.register(shutil.rmtree, BASE, True)


setup()


def main():
    fuzzlib.fuzz(sys.modules[__name__], test_one_input)


if __name__ == "__main__":
    main()
