// Python's own statements and built-ins, spelled with the C API: `except`
// clauses, `raise`, `raise ... from ...`, `mapping.get(key, fallback)` and
// `os.fspath`. The module's bodies read as the Python they stand for by
// calling these, and every unit that needs one of them uses the same one.
//
// How a failure travels: a function that can fail returns an empty `Ref`
// (or a negative `int` where it answers a question) with exactly one Python
// exception set, and its caller returns at once; nothing is raised as a C++
// exception. `Maybe` (pyref.hpp) adds a third answer where a value may not
// apply.
#pragma once

#include <cstring>
#include <optional>

#include "function.hpp"

namespace zavrik {

// The `except <clause>:` test of `exc`: 1 when it matches, 0 when not, -1
// with TypeError set when the clause names something that is not an
// exception class (as the interpreter insists).
int except_matches(PyObject* exc, PyObject* clause);

// cls(message), checked to be an exception instance as `raise` requires;
// empty with TypeError (or the call's own error) set otherwise.
Ref new_exception(PyObject* cls, PyObject* message);

// `raise exc` for an exception instance: it is set as the current exception,
// chained to the one being handled, if any. Always returns nullptr.
PyObject* raise_instance(PyObject* exc);

// `raise cls(message)`. Always returns nullptr, with an exception set.
PyObject* raise_new(PyObject* cls, PyObject* message);

// `raise error from cause` written inside the `except` block that caught
// `cause`: `error.__cause__` and `error.__context__` are both `cause`.
// Always returns nullptr.
PyObject* raise_from(Ref error, Ref cause);

// The exception now set, taken out of the thread state (as `except ... as
// e` binds it); empty when none is set.
Ref take_exception();

// Sets `exc`, taken with take_exception, as the current exception again,
// unchanged (a bare `raise` in the `except` block).
void reraise(Ref exc);

// Chains `context` under the exception now set, as raising inside an
// `except` block that handles `context` would.
void chain_context(Ref context);

// mapping.get(key, fallback) as Python spells it; an exact dict is read
// directly, anything else through its own `get`. Empty with an exception
// set on failure.
inline Ref mapping_get(const Env& env, PyObject* mapping, PyObject* key, PyObject* fallback) {
  if (PyDict_CheckExact(mapping)) {
    PyObject* value = PyDict_GetItemWithError(mapping, key);
    if (value) return Ref::borrow(value);
    if (PyErr_Occurred()) return {};
    return Ref::borrow(fallback);
  }
  return call_method(mapping, env.s.get, {key, fallback});
}

// `a == b` of two exact str: the same object, or the same length, kind and
// code units.
inline bool same_str(PyObject* a, PyObject* b) {
  if (a == b) return true;
  const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
  if (n != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
  return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                     static_cast<size_t>(n) * PyUnicode_KIND(a)) == 0;
}

// Whether the truth value of `value` is found without running Python code.
inline bool plain_truth(PyObject* value) {
  return value == Py_None || PyBool_Check(value) || PyLong_CheckExact(value) ||
         PyFloat_CheckExact(value) || PyUnicode_CheckExact(value) ||
         PyList_CheckExact(value) || PyTuple_CheckExact(value) || PyDict_CheckExact(value);
}

// os.fspath(obj) for an object that is a file-system path: a str or bytes,
// or an object whose type defines `__fspath__` returning one. No value for
// anything else (no `__fspath__`, or one that returns neither), without an
// exception; an empty `Ref` when `__fspath__` itself raised, its exception
// set and untouched (KeyboardInterrupt, SystemExit and a TypeError of its
// own included).
Maybe fspath_of(PyObject* obj);

// getattr(obj, name) where a missing attribute is an answer: 1 with the
// value in `*out`, 0 when only AttributeError said it is missing, -1 with
// any other exception set.
inline int optional_attr(PyObject* obj, PyObject* name, Ref* out) {
  PyObject* value = nullptr;
  const int found = compat::get_optional_attr(obj, name, &value);
  *out = Ref::steal(value);
  return found;
}

// Both strings of `left` and `right`, as an f-string "{left}{right}" would
// join them: `format(value, "")` of each object.
Ref format_concat(PyObject* left, PyObject* right);

// os.fsencode(fspath) of a str or bytes, refused as the system calls refuse
// it: the bytes, or empty with UnicodeEncodeError (a name the file-system
// encoding cannot spell) or ValueError "embedded null byte" set, both
// ValueErrors.
Ref fsencode(PyObject* fspath);

// fsencode where the system's refusal is an answer: the bytes; nothing
// (its ValueError cleared) for a name the system cannot take, which the
// path methods refuse their own way; or empty with any other error set.
Maybe fsencode_or_refused(PyObject* fspath);

}  // namespace zavrik
