#!/usr/bin/env python3
"""Fuzzes the function objects' own surface under hostile module attributes:
the module's `__file__`, `__name__`, `__spec__`, `__loader__` and `__doc__`
replaced by odd objects (a str UTF-8 cannot encode, a str subclass, bytes,
None, numbers, objects whose every method raises) or deleted, then a few of
`__code__`, `inspect.signature`, `__reduce__` and pickling, `__get__`,
`__globals__`, `repr`, `help()`, weak references, and the assignment or
deletion of `__doc__`, `__name__`, `__qualname__`, `__module__`,
`__annotations__`, `__defaults__`, `__kwdefaults__`, `__code__`,
`__globals__`, `__dict__` or an attribute of its own, to odd values.

    python3 fuzz/fuzz_function_objects.py -max_total_time=60 fuzz/corpus/function_objects

The oracle is Python itself: every step is done to the module's function and
to the same function written as a real `def` (fuzzlib.REFERENCE) in a module
given the same attributes, and both must end the same way (the same result
where it is comparable, else the same exception type). The differences the
module makes on purpose are stated where they are allowed: read-only
`ASSIGNABLE_ON_DEF_ONLY`, a `__reduce__` of its own (so pickling that fails
may fail with another exception), and `help()` meeting a raising object in
another order. Afterwards
the module's function still binds its arguments as before (fuzzlib's binder
oracle), with its attributes restored.
"""

import copy
import gc
import inspect
import io
import os
import pickle
import pydoc
import sys
import types
import weakref

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fuzzlib  # noqa: E402
import zavrik.skills.packaging as pk  # noqa: E402

FUNCTIONS = list(fuzzlib.SIGNATURES)

# A module holding the reference defs, as the module holds its functions.
REF = types.ModuleType("zavrik.skills.packaging_reference")
sys.modules[REF.__name__] = REF
for _name, _f in fuzzlib.REFERENCE.items():
    _f = types.FunctionType(_f.__code__, vars(REF), _name, _f.__defaults__)
    _f.__kwdefaults__ = fuzzlib.REFERENCE[_name].__kwdefaults__
    _f.__annotations__ = dict(fuzzlib.REFERENCE[_name].__annotations__)
    _f.__doc__ = getattr(pk, _name).__doc__
    setattr(REF, _name, _f)
REF.__file__ = pk.__file__

MODULE_ATTRIBUTES = ["__file__", "__name__", "__spec__", "__loader__", "__doc__"]
# Read-only on the module's functions (the binder keeps its own defaults and
# builds its code object from its table), writable on a def.
ASSIGNABLE_ON_DEF_ONLY = {"__defaults__", "__kwdefaults__", "__code__"}
FUNCTION_ATTRIBUTES = ["__doc__", "__name__", "__qualname__", "__module__", "__annotations__",
                       "__defaults__", "__kwdefaults__", "__code__", "__globals__", "__dict__",
                       "own", "__weakref__"]
SAVED = ["__doc__", "__name__", "__qualname__", "__module__", "__annotations__", "__dict__"]


class Boom(Exception):
    pass


class Hostile:
    """An object whose every operation the tools may try raises."""

    def _boom(self, *args, **kwargs):
        raise Boom()

    __str__ = __repr__ = __fspath__ = __eq__ = __hash__ = __len__ = __iter__ = _boom
    __getattr__ = __bool__ = __index__ = _boom


DELETE = object()


class OddStr(str):
    def __eq__(self, other):
        raise Boom()

    __hash__ = str.__hash__


NAMES = {pk: "zavrik.skills.packaging", REF: "zavrik.skills.packaging_reference"}


def odd_values():
    """Values for the module's side and for the reference's: the same objects,
    except those that name a module, which name each side's own or the other."""
    shared = ["/opt/\udcff\udc80/packaging.so", "", "\x00", "a\udcffb", OddStr("/opt/odd.so"),
              type("S", (str,), {})("/opt/sub.so"), b"/opt/bytes.so", None, 0, -1, 3.5,
              Hostile(), [], {}, (), object(), lambda: None, type("D", (dict,), {})(),
              {"x": 1}, ("a",), types.SimpleNamespace(name="x", origin="\udcff"), DELETE]
    own = lambda m: [m, NAMES[m], sys]  # noqa: E731
    other = {pk: REF, REF: pk}
    return {m: shared + own(m) + [NAMES[other[m]]] for m in (pk, REF)}


def outcome(action):
    """("ok", comparable result) or ("raised", exception type name)."""
    try:
        return ("ok", action())
    except Exception as e:  # noqa: BLE001 - the exception type is what is compared
        return ("raised", type(e).__name__)


def code_shape(code):
    return (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount, code.co_varnames,
            code.co_name, code.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS),
            type(code.co_filename) is str)


def render(f):
    with io.StringIO() as out:
        pydoc.Helper(output=out).help(f)
        return len(out.getvalue()) > 0


def steps(r, values):
    """The surface operations, each (label, action(f, module) -> comparable)."""
    def assign(attribute, index):
        def act(f, module):
            value = values[module][index]
            if value is DELETE:
                delattr(f, attribute)
            else:
                setattr(f, attribute, value)
            return None
        return f"set-{attribute}", attribute, act

    instance = values[pk][r.byte() % len(values[pk])]
    options = [
        ("code", None, lambda f, m: code_shape(f.__code__)),
        ("signature", None, lambda f, m: str(inspect.signature(f))),
        # A def has no __reduce__ of its own (pickle names it directly); the
        # module's names the function the same way.
        ("reduce", None, lambda f, m: f.__reduce__() is f.__qualname__ if m is pk else True),
        ("pickle", None, lambda f, m: pickle.loads(pickle.dumps(f)) is f),
        ("copy", None, lambda f, m: copy.copy(f) is f and copy.deepcopy(f) is f),
        ("get-none", None, lambda f, m: f.__get__(None, int) is f),
        ("get-obj", None, lambda f, m: f.__get__(instance).__func__ is f),
        ("get-noargs", None, lambda f, m: f.__get__()),
        ("globals", None, lambda f, m: f.__globals__ is vars(m)),
        ("repr", None, lambda f, m: repr(f).startswith(f"<function {f.__qualname__} at 0x")),
        ("help", None, lambda f, m: render(f)),
        ("weakref", None, lambda f, m: weakref.ref(f)() is f),
        ("attributes", None, lambda f, m: sorted(a for a in FUNCTION_ATTRIBUTES[:-2] if hasattr(f, a))),
        ("gc", None, lambda f, m: gc.collect() >= 0),
    ]
    label, attribute, act = r.pick(options + [None] * 6) or assign(
        r.pick(FUNCTION_ATTRIBUTES), r.byte() % len(values[pk]))
    return label, attribute, act


def mutate_module(module, attribute, value):
    if value is DELETE:
        module.__dict__.pop(attribute, None)
    else:
        module.__dict__[attribute] = value


def test_one_input(data):
    r = fuzzlib.Reader(data)
    name = r.pick(FUNCTIONS)
    f, g = getattr(pk, name), getattr(REF, name)
    values = odd_values()
    module_saved = {m: {a: vars(m).get(a, DELETE) for a in MODULE_ATTRIBUTES} for m in (pk, REF)}
    function_saved = {h: {a: getattr(h, a) for a in SAVED} for h in (f, g)}
    for h in (f, g):
        function_saved[h]["__dict__"] = dict(h.__dict__)
    where = [name]
    try:
        for attribute in MODULE_ATTRIBUTES:
            if r.byte() % 3 == 0:
                index = r.byte() % len(values[pk])
                if attribute == "__spec__" and any(values[pk][index] is m for m in (pk, REF)):
                    # Any module whose __spec__ is itself overflows the C stack
                    # on its next missing attribute (the interpreter's own
                    # module_getattro asks `__spec__` recursively), def or not.
                    continue
                for m in (pk, REF):
                    mutate_module(m, attribute, values[m][index])
                where.append((attribute, values[pk][index]))
        for _ in range(1 + r.byte() % 4):
            label, attribute, act = steps(r, values)
            got = outcome(lambda: act(f, pk))
            if attribute in ASSIGNABLE_ON_DEF_ONLY:
                # Read-only here, whatever the value (the def is left as it is).
                assert got == ("raised", "AttributeError"), (where, label, got)
                continue
            want = outcome(lambda: act(g, REF))
            where.append((label, got, want))
            if label == "help" and "Boom" in (got[1], want[1]):
                # pydoc reaches other members (__wrapped__, the module's
                # names) on the two kinds of function in another order.
                continue
            if label == "pickle" and got[0] == want[0] == "raised":
                # pickle names a def directly and the module's function
                # through __reduce__: two paths through its save_global,
                # which meet an odd __module__ or module at other steps.
                continue
            assert got == want, where
    finally:
        for m in (pk, REF):
            for attribute, value in module_saved[m].items():
                mutate_module(m, attribute, value)
        for h in (f, g):
            for attribute, value in function_saved[h].items():
                setattr(h, attribute, value)
    # The function itself is unharmed: a call that must not bind gets the
    # binder's message, with the module's attributes as they were.
    args = [r.pick(values[pk]) for _ in range(r.byte() % 3)]
    expected = fuzzlib.expected_binding_error(name, args, [("bogus", 1)])
    try:
        f(*args, bogus=1)
        raise AssertionError((where, "bound"))
    except TypeError as e:
        assert fuzzlib.without_note(str(e)) == expected, (where, str(e), expected)


def main():
    fuzzlib.fuzz(sys.modules[__name__], test_one_input)


if __name__ == "__main__":
    main()
