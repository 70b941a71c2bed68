// The module's function objects: a small heap type with vectorcall and the
// attributes that `inspect`, `help()` and pickling expect of a function.
//
// Every function of the module is described by a `FunctionDef` (params.hpp)
// and its arguments are bound by the one binder (binder.cpp, env.hpp), so
// the order of the checks and their messages are written once, never per
// function.
#pragma once

#include "env.hpp"

namespace zavrik {

// Creates the heap type of the function objects (a new reference).
PyObject* create_function_type(PyObject* module);

// A new function object for `def`. `defaults[i]` is the value taken when
// optional parameter i is omitted (ignored for required parameters). The
// function holds `state_owner`, the capsule that owns `state`.
Ref new_function(PyObject* type, const FunctionDef& def, PyObject* globals,
                 PyObject* state_owner, const State* state, PyObject* const* defaults);

}  // namespace zavrik
