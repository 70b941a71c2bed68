// What a body sees of the module (`Env`), and the binder's own questions:
// whether an object is one of the module's functions, whether a call may
// run its body in place, and the test a result passes.
//
// A body receives an `Env`: the module namespace, the interned strings the
// bodies use and the path seam. Module-level names are looked up through
// `Env::global` at the moment of use (namespace, then builtins), so
// rebinding a module attribute changes the next call. The binder
// (binder.cpp) implements all of it.
#pragma once

#include "params.hpp"
#include "pyref.hpp"
#include "state.hpp"

namespace zavrik {

// What a body sees of the module: its namespace and the interned strings.
struct Env {
  PyObject* globals;  // the module's __dict__ (borrowed; outlives the call)
  const Names& s;
  const seam::PathSeam& seam;

  // The module-level name `name`: namespace, then builtins, else NameError.
  Ref global(PyObject* name) const {
    PyObject* value = PyDict_GetItemWithError(globals, name);
    return value ? Ref::borrow(value) : builtin(name);
  }
  // The rest of `global` once the namespace has no `name`.
  Ref builtin(PyObject* name) const;
  // `name(*args)` for a module-level callable looked up now.
  Ref call_global(PyObject* name, std::initializer_list<PyObject*> args,
                  PyObject* kwnames = nullptr) const;
  // The same for a call that passes every parameter of `def`, in declaration
  // order (the trailing ones by the keywords `kwnames`): when the name is
  // still bound to the module's own function, its body runs directly (with
  // the same type and result checks), skipping the call machinery.
  Ref call_own(PyObject* name, const FunctionDef& def,
               std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) const {
    Ref callable = global(name);
    return callable ? call_as(callable.get(), def, args, kwnames) : Ref();
  }
  // The same once the name has been looked up: `callable` is its value.
  static Ref call_as(PyObject* callable, const FunctionDef& def,
                     std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr);
};

// Whether `obj` is one of this module's function objects running `def`.
bool is_function_of(PyObject* obj, const FunctionDef& def);

// The same, for a function that also reads the namespace `globals`: its
// body may then run in place of a call, with that namespace's `Env`.
bool is_own_function(PyObject* obj, const FunctionDef& def, PyObject* globals);

// Whether the module attribute `name` is still the module's own function
// running `def`.
// 1, 0, or -1 with an exception set.
int own_function(const Env& env, PyObject* name, const FunctionDef& def);

// Whether a call of `callable` with `args` (every parameter of `def`, in
// declaration order) may run `def`'s body in place, with the namespace
// `globals`: it is the module's own function reading that namespace, and
// every argument passes its exact type test.
bool binds_in_place(PyObject* callable, const FunctionDef& def,
                    std::initializer_list<PyObject*> args, PyObject* globals);

// `result` (a new reference or nullptr) as a call of `def` returns it: the
// test of its annotation applied. Consumes `result`.
PyObject* refuse_result(const FunctionDef& def, PyObject* result);  // its TypeError
inline Ref checked_result(const FunctionDef& def, PyObject* result) {
  const bool plain = !result || result == Py_None || def.result == ResultCheck::None ||
                     Py_IS_TYPE(result, def.result == ResultCheck::DictOrNone
                                            ? &PyDict_Type
                                            : &PyUnicode_Type);
  return Ref::steal(plain ? result : refuse_result(def, result));
}

}  // namespace zavrik
