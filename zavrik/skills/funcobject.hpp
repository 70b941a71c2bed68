// The layout of a function object, which the type (function.cpp) and the
// binder (binder.cpp) share.
#pragma once

#include <cstddef>
#include <type_traits>

#include "params.hpp"
#include "pyref.hpp"
#include "state.hpp"

namespace zavrik {

// The references a function object owns, as indices into `Function::owned`.
// Being `Ref`s, they are released by the destructor, emptied together by the
// collector's clear and visited together by its traverse: a field added here
// needs no code of its own to be released.
enum Field : int {
  kGlobals,     // the module's __dict__
  kStateOwner,  // the capsule that owns the module's state
  kName,
  kQualname,
  kModule,
  kDoc,
  kAnnotations,
  kDefaults,    // tuple of positional defaults, or None
  kKwdefaults,  // dict of keyword-only defaults, or None
  kCode,        // built on first use
  kParamNames,  // tuple of interned str, declaration order
  kDict,        // the instance dict, at __dictoffset__
  kOmitted,     // kMaxParams entries: the value of an omitted optional parameter
  kFieldCount = kOmitted + kMaxParams,
};

struct Owned {
  Ref at[kFieldCount];
};

struct Function {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FunctionDef* def;
  const State* state;
  PyObject* weakrefs;  // the interpreter's list of weak references, not owned
  Owned owned;

  Ref& field(Field i) { return owned.at[i]; }
  PyObject* get(Field i) const { return owned.at[i].get(); }
};

// The interpreter reads and writes the instance dict through a `PyObject**`
// at __dictoffset__: the `Ref` there must be exactly that pointer.
static_assert(sizeof(Ref) == sizeof(PyObject*) && std::is_standard_layout_v<Ref> &&
              std::is_standard_layout_v<Function>);
inline constexpr Py_ssize_t kDictOffset =
    offsetof(Function, owned) + kDict * static_cast<Py_ssize_t>(sizeof(Ref));

inline Function* as_function(PyObject* self) { return reinterpret_cast<Function*>(self); }

// The binder: the type's vectorcall entry point, and a body run with
// arguments already bound (binder.cpp).
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames);
PyObject* run_body(const Function* f, PyObject* const* bound);

}  // namespace zavrik
