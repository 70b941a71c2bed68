#!/usr/bin/env python3
"""Fuzzes the bytes of manifest.json as load_release_manifest,
validate_release_manifest, selected_skill_names, skill_allowed and
collect_skill_datas read them, with a plain path (native walks) and a
subclass (method calls), against the reference model in fuzzlib.

    python3 fuzz/fuzz_manifest.py -max_total_time=60 fuzz/corpus/manifest

Exceptions that may escape, each with the reason it can:
- SkillReleaseManifestError: the four loading errors, unknown profile,
  unsupported artifact (the module's own).
- UnicodeDecodeError: bytes that are not UTF-8 (read_text, passed through).
- RecursionError: nesting deeper than the decoder takes (json, passed through).
- ValueError: an integer literal longer than the interpreter converts
  (json, passed through; not a JSONDecodeError, so not converted).
- AttributeError: a "default" member that is not an object, under a
  restricted profile (its `get` is called).
Anything else, a difference from the reference model, or a difference
between the plain path and the subclass fails the input.
"""

import atexit
import os
import shutil
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fuzzlib  # noqa: E402
import zavrik.skills.packaging as pk  # noqa: E402

PosixPath = type(Path())


class SubPath(PosixPath):
    pass


ROOT = fuzzlib.make_templates(tempfile.mkdtemp(prefix="zavrik-fuzz-manifest-"), {
    "a/SKILL.md": "", "a/data/VERSION.json": "", "a/x.pyc": "", "b/notes.txt": "",
    "Zeta/SKILL.md": "", "_x/": None, "é/data/": None,
})
atexit.register(shutil.rmtree, ROOT, True)
NAMES = sorted(p.name for p in ROOT.iterdir() if p.is_dir())
WITH_FILES = {"a", "b", "Zeta"}  # the Skills holding packable files
MANIFEST = ROOT / "manifest.json"
COMBOS = [("dev", "x"), ("internal", ""), ("python-release", "sdist"), ("python-release", "wheel"),
          ("binary-minimal", "binary"), ("binary-full", "binary"), ("binary-full", "wheel"),
          ("nightly", "binary")]
ALLOWED = {
    "ok": None,
    "SkillReleaseManifestError": fuzzlib.MANIFEST_ERRORS + fuzzlib.PROFILE_ERRORS,
    "UnicodeDecodeError": ("'utf-8' codec can't decode",),
    "RecursionError": ("maximum recursion depth exceeded",),
    "ValueError": ("Exceeds the limit",),
    "AttributeError": ("'",),
}


def allowed(result):
    kind, text = result
    if kind not in ALLOWED:
        return False
    return ALLOWED[kind] is None or text.startswith(ALLOWED[kind])


def same(got, expected):
    """The outcomes agree. Where either side met the decoder's depth limit,
    the other may have met it a few frames earlier or later (a text nested
    just that deep decodes, or fails on its next error, on the other side),
    so only the kinds are checked, by `allowed`."""
    return "RecursionError" in (got[0], expected[0]) or got == expected


def reference():
    """The reference outcome of every call, on the file as it is."""
    load = fuzzlib.outcome(lambda: fuzzlib.ref_load(MANIFEST))
    manifest = lambda: fuzzlib.ref_load(MANIFEST)  # noqa: E731
    out = {"load": load,
           "validate": fuzzlib.outcome(lambda: fuzzlib.ref_validate(manifest(), ROOT, NAMES))}
    for profile, artifact in COMBOS:
        free = profile in fuzzlib.UNRESTRICTED
        out["selected", profile, artifact] = fuzzlib.outcome(lambda: fuzzlib.ref_selected(
            None if free else manifest(), NAMES, profile, artifact))
        out["allowed", profile, artifact] = fuzzlib.outcome(
            lambda: True if free else fuzzlib.ref_allowed(manifest(), "a", profile, artifact))
    for profile in ("binary-minimal", "binary-full"):
        out["collect", profile] = fuzzlib.outcome(lambda: [
            n for n in fuzzlib.ref_selected(manifest(), NAMES, profile, "binary") if n in WITH_FILES])
    return out


def collected_skills(datas):
    """The Skills in the bundler list, in order; the manifest must be last."""
    assert datas[-1] == (str(MANIFEST), "zavrik/skills/templates"), datas
    names = []
    for source, destination in datas[:-1]:
        name = os.path.relpath(source, ROOT).split(os.sep)[0]
        assert destination.startswith(f"zavrik/skills/templates/{name}"), (source, destination)
        if name not in names:
            names.append(name)
    return names


def module(cls):
    root = cls(ROOT)
    out = {"load": fuzzlib.outcome(lambda: pk.load_release_manifest(root)),
           "validate": fuzzlib.outcome(lambda: pk.validate_release_manifest(root))}
    for profile, artifact in COMBOS:
        out["selected", profile, artifact] = fuzzlib.outcome(lambda: pk.selected_skill_names(
            profile=profile, artifact=artifact, templates_dir=root))
        out["allowed", profile, artifact] = fuzzlib.outcome(lambda: pk.skill_allowed(
            "a", profile=profile, artifact=artifact, templates_dir=root))
    for profile in ("binary-minimal", "binary-full"):
        out["collect", profile] = fuzzlib.outcome(lambda: collected_skills(
            pk.collect_skill_datas(profile=profile, templates_dir=root)))
    return out


def test_one_input(data):
    MANIFEST.write_bytes(data)
    expected = reference()
    plain, faithful = module(PosixPath), module(SubPath)
    for key, want in expected.items():
        got = plain[key]
        assert allowed(got), (key, got)
        assert same(got, want), (key, got, want)
    for key in plain:
        assert same(plain[key], faithful[key]), (key, plain[key], faithful[key])


def main():
    fuzzlib.fuzz(sys.modules[__name__], test_one_input)


if __name__ == "__main__":
    main()
