#!/usr/bin/env python3
"""Fuzzes caller-supplied manifest objects of any shape: given to
skill_allowed directly, and returned by a replacement of
load_release_manifest on the module to selected_skill_names and
validate_release_manifest. The shapes include dict subclasses, objects whose
`get`, truth value, hash or comparison raise or lie, and objects that
mutate the manifest or rebind module attributes while they are consulted.

    python3 fuzz/fuzz_skill_allowed.py -max_total_time=60 fuzz/corpus/skill_allowed

skill_allowed is compared with the reference model exactly (result, or
exception type and message), except where an object mutated something
during the call. Exceptions that may escape, each with the reason it can:
- TypeError: the binder (a manifest that is not exactly a dict), a truth
  value that is not a bool, an unhashable or unorderable key.
- AttributeError: a "default", "skills" or entry member without `get`.
- SkillReleaseManifestError: unknown profile, unsupported artifact.
- KeyError: validation subscripts "skills", which a replaced loader may omit.
- Boom: raised by the objects themselves, passed through unchanged.
- NameError: a module attribute deleted by an object while it runs.
Anything else (SystemError above all) fails the input.
"""

import atexit
import os
import shutil
import sys
import tempfile
from collections import OrderedDict

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fuzzlib  # noqa: E402
import zavrik.skills.packaging as pk  # noqa: E402

ROOT = fuzzlib.make_templates(tempfile.mkdtemp(prefix="zavrik-fuzz-allowed-"), {
    "manifest.json": '{"skills": {"a": {"binary": true}}, "default": {"wheel": true}}',
    "a/SKILL.md": "", "a/data/VERSION.json": "", "b/": None, "Zeta/": None,
})
atexit.register(shutil.rmtree, ROOT, True)
NAMES = ["Zeta", "a", "b"]
KEYS = ["skills", "default", "source", "wheel", "binary", "binary_full", "reason", "tier",
        "a", "b", "Zeta", "missing", ""]
COMBOS = [("dev", "x"), ("python-release", "sdist"), ("python-release", "wheel"),
          ("binary-minimal", "binary"), ("binary-full", "binary"), ("binary-full", "wheel"), ("x", "y")]
ALLOWED = ("ok", "TypeError", "AttributeError", "SkillReleaseManifestError", "KeyError", "Boom",
           "NameError")


class Boom(Exception):
    pass


class RaisingGet(dict):
    def get(self, *args):
        raise Boom("get")


class LyingGet(dict):
    """Answers every `get` with the same value."""

    def __init__(self, answer):
        super().__init__()
        self.answer = answer

    def get(self, *args):
        return self.answer


class Truth:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        if self.value is None:
            raise Boom("bool")
        return self.value


class Key:
    """Hashes like a str key, so lookups must compare with it; raises from
    its comparisons only while a call runs (`armed`), not while the
    manifest is built."""

    armed = False

    def __init__(self, text, fail):
        self.text, self.fail = text, fail

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        if self.fail and Key.armed:
            raise Boom("eq")
        return self is other

    def __lt__(self, other):
        if Key.armed:
            raise Boom("lt")
        return False

    def __format__(self, spec):
        return self.text


class Mutating(dict):
    """Its `get` empties the outermost manifest and rebinds module
    attributes, then answers; the module must hold on to what it uses."""

    victims = []

    def get(self, *args):
        for victim in Mutating.victims:
            victim.clear()
        pk._profile_key = lambda p, a: "binary"
        pk.SkillReleaseManifestError = None
        vars(pk).pop("list_template_dirs", None)
        Mutating.fired = True
        return dict.get(self, *args)


def build(r, depth=0):
    """A value of any shape, drawn from the reader."""
    kind = r.byte() % (16 if depth < 4 else 7)
    if kind == 0:
        return None
    if kind == 1:
        return r.byte() % 2 == 0
    if kind == 2:
        return r.pick([0, 1, -1, 0.0, float("nan"), 2 ** 70])
    if kind in (3, 4):
        return r.text(KEYS + ["no", " ", "\t"])
    if kind == 5:
        return Truth(r.pick([True, False, None, 2]))
    if kind == 6:
        return r.pick([(), b"", b"x", frozenset()])
    if kind == 7:
        return [build(r, depth + 1) for _ in range(r.byte() % 4)]
    if kind in (8, 9, 10, 11):
        container = r.pick([dict, dict, OrderedDict, RaisingGet, Mutating])()
        if isinstance(container, Mutating):
            Mutating.victims.append(container)
        for _ in range(r.byte() % 5):
            key = r.pick([lambda: r.text(KEYS), lambda: r.text(KEYS), lambda: r.number(),
                          lambda: Key(r.text(KEYS), r.byte() % 2 == 0), lambda: None])()
            dict.__setitem__(container, key, build(r, depth + 1))
        return container
    if kind == 12:
        return LyingGet(build(r, depth + 1))
    if kind == 13:
        return {"skills": build(r, depth + 1), "default": build(r, depth + 1)}
    return {"skills": {r.text(KEYS): build(r, depth + 1) for _ in range(r.byte() % 4)},
            "default": {r.text(KEYS): build(r, depth + 1) for _ in range(r.byte() % 3)}}


def manifest_from(data):
    """The manifest drawn from `data`, and whether it can mutate."""
    Mutating.victims, Mutating.fired = [], False
    r = fuzzlib.Reader(data)
    top = r.byte() % 8
    value = build(r) if top == 0 else ({} if top == 1 else build(r, 3) if top == 2 else {
        "skills": build(r, 1), "default": build(r, 1)} if top < 6 else build(r, 0))
    if isinstance(value, dict) and type(value) is dict:
        Mutating.victims.insert(0, value)
    return value, any(isinstance(v, Mutating) for v in Mutating.victims)


def reference(manifest, name, profile, artifact):
    kwargs = [("profile", profile), ("artifact", artifact), ("manifest", manifest),
              ("templates_dir", ROOT)]
    message = fuzzlib.expected_binding_error("skill_allowed", [name], kwargs)
    if message:
        return ("TypeError", message)
    if profile in fuzzlib.UNRESTRICTED:
        return ("ok", "True")
    return armed(lambda: fuzzlib.ref_allowed(
        manifest or fuzzlib.ref_load(ROOT / "manifest.json"), name, profile, artifact))


def armed(call):
    """The outcome of call() with the hostile keys armed."""
    Key.armed = True
    try:
        return fuzzlib.outcome(call)
    finally:
        Key.armed = False


def check(kind_and_text, where):
    kind, text = kind_and_text
    assert kind in ALLOWED, (where, kind, text)


def test_one_input(data):
    saved = dict(vars(pk))
    try:
        for profile, artifact in COMBOS:
            for name in ("a", "missing"):
                manifest, mutates = manifest_from(data)
                got = armed(lambda: pk.skill_allowed(
                    name, profile=profile, artifact=artifact, manifest=manifest, templates_dir=ROOT))
                check(got, ("skill_allowed", profile, artifact, name))
                got = (got[0], fuzzlib.without_note(got[1]))
                if not mutates:
                    want = reference(manifest_from(data)[0], name, profile, artifact)
                    assert got == want, (profile, artifact, name, got, want)
                vars(pk).clear()
                vars(pk).update(saved)

            manifest, mutates = manifest_from(data)
            pk.load_release_manifest = lambda templates_dir=None: manifest
            for call in (lambda: pk.selected_skill_names(profile=profile, artifact=artifact,
                                                         templates_dir=ROOT),
                         lambda: pk.validate_release_manifest(ROOT)):
                check(armed(call), (profile, artifact))
            if not mutates and type(manifest) is dict:  # others fail skill_allowed's binding
                got = armed(lambda: pk.selected_skill_names(
                    profile=profile, artifact=artifact, templates_dir=ROOT))
                fresh = manifest_from(data)[0]
                want = armed(lambda: fuzzlib.ref_selected(fresh, NAMES, profile, artifact))
                assert got == want, (profile, artifact, got, want)
            vars(pk).clear()
            vars(pk).update(saved)
    finally:
        vars(pk).clear()
        vars(pk).update(saved)


def main():
    fuzzlib.fuzz(sys.modules[__name__], test_one_input)


if __name__ == "__main__":
    main()
