"""What the fuzz harnesses, the corpus replay and the leak tests share.

- `REFERENCE`, `SIGNATURES` and `expected_binding_error`: the fourteen
  functions as real `def`s built from the module's stub, and the message the
  binder must give for a call, computed from Python's own binding of those
  defs and the rules of the module's binder, not from the binder's tables.
- `binding_error_calls`: one call per binding error a function can give.
- A reference model of loading, validation and admission, written from the
  rules of the manifest, to compare the module's answers against.
- `Reader`: turns fuzz input bytes into choices, deterministically and
  without atheris, so the corpus replays anywhere.
"""

import ast
import builtins
import ctypes
import inspect
import json
import sys
from pathlib import Path

import zavrik.skills

# --- the oracle of the binder ------------------------------------------------------------
#
# The fourteen signatures are read from the module's stub (checked against the
# built module by stubtest) and compiled into real `def`s. Whether a call
# binds, and which binding error it meets first, is what Python's own binding
# of those defs says; the module's messages are then worded from the rules
# of its binder, each computed from the signature:
# - a function without parameters refuses any keyword first, then any
#   positional argument, as a builtin without arguments does;
# - too many positional arguments are refused before any keyword is read
#   (Python's def reads the keywords first);
# - "takes exactly N" when every positional parameter is required, else
#   "takes at most N", N being the number of positional parameters;
# - a missing positional parameter reports the number of leading parameters
#   supplied; a missing keyword-only one, its name;
# - a parameter annotated with a plain built-in type (generic arguments
#   aside), alone or `| None`, must be exactly of that type.

STUB = Path(zavrik.skills.__file__).with_name("packaging.pyi")


def reference_functions():
    """name -> a real `def` with the stub's signature that returns its bound
    arguments (declaration order)."""
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    defs = [node for node in tree.body if isinstance(node, ast.FunctionDef)]
    for node in defs:
        node.body = ast.parse("return dict(locals())").body
    future = ast.ImportFrom(module="__future__", names=[ast.alias(name="annotations")], level=0)
    code = compile(ast.fix_missing_locations(ast.Module(body=[future, *defs], type_ignores=[])),
                   str(STUB), "exec")
    namespace = {}
    exec(code, namespace)
    return {node.name: namespace[node.name] for node in defs}


REFERENCE = reference_functions()


def exact_type_test(annotation):
    """(type, None accepted?) that the annotation asks the binder to test
    exactly, or None for an annotation it does not test (`Path`)."""
    parts = [part.strip() for part in annotation.split("|")]
    others = [part for part in parts if part != "None"]
    if len(others) != 1:
        return None
    expected = getattr(builtins, others[0].split("[", 1)[0], None)
    if not isinstance(expected, type):
        return None
    return expected, "None" in parts


def _signature_rows(function):
    rows = []
    for p in inspect.signature(function).parameters.values():
        test = exact_type_test(p.annotation)
        check = None if test is None else test[0].__name__ + ("?" if test[1] else "")
        rows.append((p.name, p.kind is p.POSITIONAL_OR_KEYWORD, p.default is p.empty, check))
    return rows


# name -> [(parameter, positional?, required?, check)], check one of None,
# "str", "str?" (str or None), "dict?" (dict or None): derived from the defs.
SIGNATURES = {name: _signature_rows(f) for name, f in REFERENCE.items()}

_vectorcall = ctypes.pythonapi.PyObject_Vectorcall
_vectorcall.restype = ctypes.py_object
_vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                        ctypes.py_object]


def call_with(function, args, kwargs):
    """function(*args, **kwargs) with `kwargs` as (key, value) pairs passed
    through the C call protocol as they are (keys that are not strings,
    repeated keys)."""
    if not kwargs:
        return function(*args)
    values = [*args, *(v for _, v in kwargs)]
    return _vectorcall(function, (ctypes.py_object * len(values))(*values), len(args),
                       tuple(k for k, _ in kwargs))


def expected_binding_error(name, args, kwargs):
    """The binder's TypeError message for name(*args, **kwargs), None when
    the call binds. `kwargs` is a list of (key, value) pairs, in call order."""
    reference = REFERENCE[name]
    params = list(inspect.signature(reference).parameters.values())
    if not params:
        if kwargs:
            return f"{name}() takes no keyword arguments"
        if args:
            return f"{name}() takes no arguments ({len(args)} given)"
        return None
    positional = [p for p in params if p.kind is p.POSITIONAL_OR_KEYWORD]
    word = "exactly" if all(p.default is p.empty for p in positional) else "at most"
    plural = "" if len(positional) == 1 else "s"
    too_many = f"{name}() takes {word} {len(positional)} positional argument{plural} ({{}} given)"
    if len(args) > len(positional):
        return too_many.format(len(args))
    try:
        bound = call_with(reference, args, kwargs)
    except TypeError as e:
        message = str(e)
        named = message.partition(" argument '")[2][:-1]  # "... argument 'key'"
        first = message.partition(": '")[2].partition("'")[0]  # "missing ...: 'a', 'b'"
        if message.endswith("keywords must be strings"):
            return f"{name}() keywords must be strings"
        if "got an unexpected keyword argument" in message:
            return f"{name}() got an unexpected keyword argument '{named}'"
        if "got multiple values for argument" in message:
            return f"{name}() got multiple values for keyword argument '{named}'"
        if "required positional argument" in message:
            return too_many.format([p.name for p in params].index(first))
        if "required keyword-only argument" in message:
            return f"{name}() needs keyword-only argument {first}"
        raise AssertionError(f"a binding error the oracle does not know: {message}") from e
    for p in params:
        test = exact_type_test(p.annotation)
        if test is None:
            continue
        (expected, none_ok), value = test, bound[p.name]
        if type(value) is expected or (none_ok and value is None):
            continue
        note = SUBCLASS_NOTE_START if isinstance(value, expected) else ""
        return (f"Argument '{p.name}' has incorrect type (expected {expected.__name__}, "
                f"got {type_name(value)}){note}")
    return None


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
