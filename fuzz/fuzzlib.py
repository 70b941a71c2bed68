"""What the fuzz harnesses, the corpus replay and the leak tests share.

- `SIGNATURES` and `expected_binding_error`: the fourteen signatures and the
  message the binder must give for a call, computed independently of it.
- `binding_error_calls`: one call per binding error a function can give.
- A reference model of loading, validation and admission, written from the
  rules of the manifest, to compare the module's answers against.
- `Reader`: turns fuzz input bytes into choices, deterministically and
  without atheris, so the corpus replays anywhere.
"""

import json
import sys
from pathlib import Path

# name -> [(parameter, positional?, required?, check)], check one of
# None, "str", "str?" (str or None), "dict?" (dict or None).
SIGNATURES = {
    "get_central_skills_dir": [],
    "get_builtin_templates_dir": [],
    "load_release_manifest": [("templates_dir", True, False, None)],
    "list_template_dirs": [("templates_dir", True, False, None)],
    "current_profile": [("default", True, False, "str")],
    "_profile_key": [("profile", True, True, "str"), ("artifact", True, True, "str")],
    "skill_allowed": [("skill_name", True, True, "str"), ("profile", False, True, "str"),
                      ("artifact", False, True, "str"), ("manifest", False, False, "dict?"),
                      ("templates_dir", False, False, None)],
    "selected_skill_names": [("profile", False, False, "str?"), ("artifact", False, True, "str"),
                             ("templates_dir", False, False, None)],
    "prune_templates_dir": [("target_templates_dir", True, True, None),
                            ("profile", False, False, "str?"), ("artifact", False, True, "str"),
                            ("manifest_templates_dir", False, False, None)],
    "collect_skill_datas": [("profile", False, False, "str?"), ("templates_dir", False, False, None)],
    "validate_release_manifest": [("templates_dir", True, False, None)],
    "_remove_tree": [("path", True, True, None)],
    "_is_packable_file": [("path", True, True, None)],
    "_remove_packaging_junk": [("root", True, True, None)],
}
COUNT_WORDS = {  # wording of "takes %s %d positional argument%s"
    "load_release_manifest": ("at most", 1, ""), "list_template_dirs": ("at most", 1, ""),
    "current_profile": ("at most", 1, ""), "validate_release_manifest": ("at most", 1, ""),
    "_profile_key": ("exactly", 2, "s"), "skill_allowed": ("exactly", 1, ""),
    "prune_templates_dir": ("exactly", 1, ""), "_remove_tree": ("exactly", 1, ""),
    "_is_packable_file": ("exactly", 1, ""), "_remove_packaging_junk": ("exactly", 1, ""),
    "selected_skill_names": ("exactly", 0, "s"), "collect_skill_datas": ("exactly", 0, "s"),
}
SUBCLASS_NOTE_START = ". Subclasses of built-in types"


def without_note(message):
    """A type-check message cut after the start of the subclass note, as
    `expected_binding_error` gives it (the note's wording is free)."""
    at = message.find(SUBCLASS_NOTE_START)
    return message if at < 0 else message[:at + len(SUBCLASS_NOTE_START)]


def type_name(value):
    """The C-level name of the value's type, as the interpreter's messages print it."""
    t = type(value)
    if t.__flags__ & (1 << 9) or t.__module__ == "builtins":  # heap type, or a builtin
        return t.__name__
    return f"{t.__module__}.{t.__name__}"


def expected_binding_error(name, args, kwargs):
    """The binder's TypeError message for name(*args, **kwargs), None when
    the call binds. `kwargs` is a list of (key, value) pairs, in call order."""
    params = SIGNATURES[name]
    if not params:
        if kwargs:
            return f"{name}() takes no keyword arguments"
        if args:
            return f"{name}() takes no arguments ({len(args)} given)"
        return None
    word, count, plural = COUNT_WORDS[name]
    positional = [p for p in params if p[1]]
    too_many = f"{name}() takes {word} {count} positional argument{plural} ({{}} given)"
    if len(args) > len(positional):
        return too_many.format(len(args))
    bound = {p[0]: v for p, v in zip(positional, args)}
    if not kwargs:
        if len(args) == len(positional):
            for p in params[len(positional):]:
                if p[2]:
                    return f"{name}() needs keyword-only argument {p[0]}"
        elif any(p[2] for p in positional[len(args):]):
            return too_many.format(len(args))
    names = [p[0] for p in params]
    for key, value in kwargs:
        if not isinstance(key, str):
            return f"{name}() keywords must be strings"
        if key not in names:
            return f"{name}() got an unexpected keyword argument '{key}'"
        if key in bound:
            return f"{name}() got multiple values for keyword argument '{key}'"
        bound[key] = value
    for i, p in enumerate(positional):
        if p[2] and p[0] not in bound:
            return too_many.format(i)
    for p in params[len(positional):]:
        if p[2] and p[0] not in bound:
            return f"{name}() needs keyword-only argument {p[0]}"
    for p in params:
        if p[3] is None or p[0] not in bound:
            continue
        value, expected = bound[p[0]], dict if p[3] == "dict?" else str
        if type(value) is expected or (p[3].endswith("?") and value is None):
            continue
        note = SUBCLASS_NOTE_START if isinstance(value, expected) else ""
        return (f"Argument '{p[0]}' has incorrect type (expected {expected.__name__}, "
                f"got {type_name(value)}){note}")
    return None


class StrSub(str):
    pass


class DictSub(dict):
    pass


def valid_call(name, root):
    """Arguments that bind for `name`, with `root` for every path."""
    values = {"templates_dir": root, "target_templates_dir": root, "manifest_templates_dir": root,
              "path": root, "root": root, "profile": "dev", "artifact": "binary",
              "skill_name": "a", "default": "dev", "manifest": None}
    params = SIGNATURES[name]
    args = [values[p[0]] for p in params if p[1] and p[2]]
    kwargs = [(p[0], values[p[0]]) for p in params if not p[1] and p[2]]
    return args, kwargs


def binding_error_calls(name, root):
    """(label, args, kwargs) for each binding error `name` can give."""
    params = SIGNATURES[name]
    args, kwargs = valid_call(name, root)
    positional = [p for p in params if p[1]]
    cases = [("too many positional", [root] * (len(positional) + 1), kwargs),
             ("unexpected keyword", args, kwargs + [("bogus", 1)])]
    if not params:
        return [("keyword", [], [("x", 1)]), ("positional", [None], [])]
    if positional:
        cases.append(("multiple values", args or [root], kwargs + [(positional[0][0], root)]))
    if any(p[1] and p[2] for p in params):
        cases.append(("missing positional", [], kwargs))
    if any(not p[1] and p[2] for p in params):
        cases.append(("needs keyword", args, []))
        optional = [p for p in params if not p[1] and not p[2]]
        cases.append(("missing keyword-only", args, [(optional[0][0], None)]))
    for p in params:
        if p[3]:
            for bad in (5, StrSub("dev") if p[3] != "dict?" else DictSub(), None):
                if bad is None and p[3].endswith("?"):
                    continue
                call_args = list(args)
                call_kwargs = [(k, v) for k, v in kwargs if k != p[0]]
                if p[1] and params.index(p) < len(call_args):
                    call_args[params.index(p)] = bad
                else:
                    call_kwargs.append((p[0], bad))
                cases.append((f"{p[0]}={type(bad).__name__}", call_args, call_kwargs))
    return [c for c in cases if expected_binding_error(name, c[1], c[2])]


# --- reference model -------------------------------------------------------------------

UNRESTRICTED = ("dev", "internal")
PROFILE_KEYS = {"python-release": {"sdist": "source", "wheel": "wheel"},
                "binary-minimal": {"binary": "binary"}, "binary-full": {"binary": "binary_full"}}
MANIFEST_ERRORS = ("未找到 Skill 发版清单: ", "Skill 发版清单 JSON 无效: ",
                   "Skill 发版清单根节点必须是对象", "Skill 发版清单必须包含 skills 对象")
PROFILE_ERRORS = ("未知 Skill 构建 profile: ", "profile ")


class RefError(Exception):
    """The reference's SkillReleaseManifestError."""


def ref_load(path):
    """Loading of the manifest file at `path` (a Path)."""
    if not path.exists():
        raise RefError("未找到 Skill 发版清单: " + str(path))
    try:
        data = json.loads(path.read_text(encoding="utf-8"))
    except json.JSONDecodeError as e:
        raise RefError("Skill 发版清单 JSON 无效: " + str(path)) from e
    if not isinstance(data, dict):
        raise RefError("Skill 发版清单根节点必须是对象")
    if not isinstance(data.get("skills"), dict):
        raise RefError("Skill 发版清单必须包含 skills 对象")
    return data


def ref_profile_key(profile, artifact):
    if profile in UNRESTRICTED:
        return None
    keys = PROFILE_KEYS.get(profile)
    if not keys:
        raise RefError("未知 Skill 构建 profile: " + profile)
    key = keys.get(artifact)
    if key is None:
        raise RefError(f"profile {profile!r} 不支持产物类型 {artifact!r}")
    return key


def ref_allowed(manifest, name, profile, artifact):
    """skill_allowed with the manifest given (its truth value true)."""
    if profile in UNRESTRICTED:
        return True
    key = ref_profile_key(profile, artifact)
    if key is None:
        return True
    default = manifest.get("default", {})
    entry = manifest.get("skills", {}).get(name, {})
    if not isinstance(entry, dict):
        entry = {}
    fallback = default.get(key, False)
    return bool(entry.get(key, fallback))


def ref_selected(manifest, names, profile, artifact):
    return [n for n in names if profile in UNRESTRICTED or ref_allowed(manifest, n, profile, artifact)]


def ref_validate(manifest, root, names):
    skills = manifest["skills"]
    present, declared = set(names), set(skills)
    problems = [f"模板目录未在 manifest 声明: {n}" for n in sorted(present - declared)]
    problems += [f"manifest 声明了不存在的模板目录: {n}" for n in sorted(declared - present)]
    for n in sorted(present & declared):
        entry = skills.get(n)
        if not isinstance(entry, dict):
            problems.append(f"{n}: manifest 条目必须是对象")
            continue
        for member in ("reason", "tier"):
            if not str(entry.get(member, "")).strip():
                problems.append(f"{n}: {member} 不能为空")
        if any(entry.get(k, False) for k in ("source", "wheel", "binary", "binary_full")):
            if not (root / n / "SKILL.md").exists():
                problems.append(f"{n}: 发版准入 Skill 必须包含 SKILL.md")
            if not (root / n / "data" / "VERSION.json").exists():
                problems.append(f"{n}: 发版准入 Skill 必须包含 data/VERSION.json")
    return problems


def outcome(call):
    """('ok', repr(result)) or (exception type name, message) of call();
    the module's exception type and the reference's compare equal."""
    try:
        return ("ok", repr(call()))
    except RefError as e:
        return ("SkillReleaseManifestError", str(e))
    except Exception as e:  # noqa: BLE001 - the outcome is what is compared
        kind = type(e).__name__
        return (kind, str(e))


# --- input decoding ----------------------------------------------------------------------

class Reader:
    """Choices drawn from fuzz input bytes; past the end every draw is 0."""

    def __init__(self, data):
        self.data, self.pos = data, 0

    def byte(self):
        b = self.data[self.pos] if self.pos < len(self.data) else 0
        self.pos += 1
        return b

    def pick(self, options):
        return options[self.byte() % len(options)]

    def number(self):
        return int.from_bytes(bytes(self.byte() for _ in range(2)), "little") - 32768

    def text(self, vocabulary=()):
        n = self.byte()
        if vocabulary and n < 200:
            return vocabulary[n % len(vocabulary)]
        raw = bytes(self.byte() for _ in range(n % 12))
        return raw.decode("utf-8", "surrogateescape")

    def rest(self):
        return self.data[self.pos:]


def make_templates(root, layout):
    """Writes a small tree: {relative path: None for a directory, str for a file}."""
    root = Path(root)
    root.mkdir(parents=True, exist_ok=True)
    for rel, content in layout.items():
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        if content is None:
            path.mkdir(exist_ok=True)
        else:
            path.write_text(content, encoding="utf-8")
    return root



def instrument(*modules):
    """Coverage instrumentation of the Python functions defined in `modules`
    (their classes' methods and properties included), which is all the
    feedback the fuzzer gets: the extension itself is not instrumented.
    Cheaper at start-up than atheris.instrument_all()."""
    import inspect

    import atheris

    for module in modules:
        for value in list(vars(module).values()):
            members = [value]
            if inspect.isclass(value) and value.__module__ == module.__name__:
                members += list(vars(value).values())
            for member in members:
                for function in (getattr(member, "__func__", member), getattr(member, "fget", None)):
                    if inspect.isfunction(function) and function.__module__ == module.__name__:
                        atheris.instrument_func(function)


def fuzz(harness, test_one_input):
    """Runs atheris on `test_one_input`, with coverage of this library, the
    harness module and pathlib (the extension itself is not instrumented)."""
    import pathlib

    import atheris

    instrument(sys.modules[__name__], harness, pathlib)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
