// The one argument binder of the module's functions: every call of every
// function is bound here against its table (params.hpp), so the order of the
// checks and their messages are written once.
#include "env.hpp"
#include "funcobject.hpp"

#include <exception>
#include <new>

#ifndef ZAVRIK_ACCEPT_SUBCLASSES
#define ZAVRIK_ACCEPT_SUBCLASSES 0
#endif

namespace zavrik {
namespace {

// Appended to the type-check message when the value is an instance of a
// subclass of the expected built-in type.
constexpr const char kSubclassNote[] =
    "Subclasses of built-in types are refused by this exact type check, even "
    "where the annotation would admit them; to accept them, build the "
    "extension with the environment variable ZAVRIK_ACCEPT_SUBCLASSES=1";

void raise_positional_count(const FunctionDef& d, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError,
               "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               d.name, d.params.count_word(), d.params.count(), d.params.plural(),
               given);
}

void raise_needs_keyword(const FunctionDef& d, PyObject* param_name) {
  PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %U", d.name,
               param_name);
}

// Index of the parameter called `key`, or -1. Callers mostly pass keywords
// in declaration order, so the search by identity starts at `expected`.
int find_param(const Function* f, PyObject* key, int expected) {
  const int nparams = f->def->nparams();
  PyObject* names = f->get(kParamNames);
  for (int n = 0, i = expected < nparams ? expected : 0; n < nparams; ++n) {
    if (PyTuple_GET_ITEM(names, i) == key) return i;
    if (++i == nparams) i = 0;
  }
  for (int i = 0; i < nparams; ++i) {
    PyObject* name = PyTuple_GET_ITEM(names, i);
    if (PyUnicode_GET_LENGTH(name) == PyUnicode_GET_LENGTH(key) &&
        PyUnicode_Compare(name, key) == 0) {
      return i;
    }
  }
  return -1;
}

// The TypeError of a value that failed its parameter's exact-type test, or
// true where the build accepts the subclass it is.
bool refuse_type(const ParamDef& p, PyObject* value) {
  PyTypeObject* expected = p.check == TypeCheck::DictOrNone ? &PyDict_Type : &PyUnicode_Type;
  const bool subclass = PyObject_TypeCheck(value, expected);
  if (ZAVRIK_ACCEPT_SUBCLASSES && subclass) return true;
  Ref note = Ref::steal(PyUnicode_FromString(subclass ? kSubclassNote : ""));
  if (!note) return false;
  PyErr_Format(PyExc_TypeError,
               "Argument '%.200s' has incorrect type (expected %.200s, got "
               "%.200s)%s%U",
               p.name, expected == &PyUnicode_Type ? "str" : "dict",
               Py_TYPE(value)->tp_name, subclass ? ". " : "", note.get());
  return false;
}

// Whether `value` passes the exact-type test of its parameter. Every call
// runs it for every parameter, so it stays inline.
inline bool passes_type(const ParamDef& p, PyObject* value) {
  switch (p.check) {
    case TypeCheck::None:
      return true;
    case TypeCheck::Str:
      return PyUnicode_CheckExact(value);
    case TypeCheck::StrOrNone:
      return PyUnicode_CheckExact(value) || value == Py_None;
    case TypeCheck::DictOrNone:
      return PyDict_CheckExact(value) || value == Py_None;
  }
  return false;
}

// The exact-type test of one parameter; false with TypeError set.
inline bool check_type(const ParamDef& p, PyObject* value) {
  return passes_type(p, value) || refuse_type(p, value);
}

}  // namespace

PyObject* run_body(const Function* f, PyObject* const* bound) {
  const Env env{f->get(kGlobals), f->state->names, f->state->seam};
  try {
    return checked_result(*f->def, f->def->body(env, bound)).release();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception&) {
    // Deliberately no catch-all: the interpreter ends a thread at exit by
    // unwinding it, and that unwinding must pass through untouched.
    PyErr_Format(PyExc_SystemError, "%s(): unexpected internal error",
                 f->def->name);
    return nullptr;
  }
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args,
                              size_t nargsf, PyObject* kwnames) {
  const Function* f = as_function(self);
  const FunctionDef& d = *f->def;
  const ParamList& params = d.params;
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

  if (!f->get(kGlobals) || !f->get(kParamNames)) {
    // Only code run while the collector breaks a cycle can still reach a
    // function it has cleared.
    PyErr_Format(PyExc_ReferenceError, "%s() was cleared by the garbage collector",
                 d.name);
    return nullptr;
  }

  if (params.size() == 0) {
    if (nkw > 0) {
      PyErr_Format(PyExc_TypeError, "%.200s() %s", d.name,
                   "takes no keyword arguments");
      return nullptr;
    }
    if (nargs > 0) {
      PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", d.name,
                   "takes no arguments", nargs);
      return nullptr;
    }
    return run_body(f, nullptr);
  }

  const int npositional = params.npositional();
  PyObject* names = f->get(kParamNames);

  // Most calls bind without a search: the leading parameters by position,
  // the next ones by keyword in declaration order, each keyword the interned
  // parameter name itself. The arguments then stand in declaration order
  // already, and only the defaults and the type tests remain. A call of any
  // other shape, or one that fails a step, is bound by the rules below,
  // which also word its error.
  if (nargs <= npositional && nargs + nkw <= params.size()) {
    const int given = static_cast<int>(nargs + nkw);
    int i = static_cast<int>(nargs);
    while (i < given && PyTuple_GET_ITEM(kwnames, i - nargs) == PyTuple_GET_ITEM(names, i)) ++i;
    if (i == given) {
      PyObject* in_order[kMaxParams];
      for (i = 0; i < params.size(); ++i) {
        PyObject* value = i < given ? args[i] : f->get(Field(kOmitted + i));
        if (!value || !passes_type(params[i], value)) break;
        in_order[i] = value;
      }
      if (i == params.size()) return run_body(f, in_order);
    }
  }

  PyObject* bound[kMaxParams] = {};

  // Too many positional arguments.
  if (nargs > npositional) {
    raise_positional_count(d, nargs);
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];

  // A call without keywords that cannot be complete fails before anything
  // else is looked at.
  if (nkw == 0) {
    if (nargs == npositional) {
      for (int i = npositional; i < params.size(); ++i) {
        if (params[i].required) {
          raise_needs_keyword(d, PyTuple_GET_ITEM(names, i));
          return nullptr;
        }
      }
    } else {
      for (int i = static_cast<int>(nargs); i < npositional; ++i) {
        if (params[i].required) {
          raise_positional_count(d, nargs);
          return nullptr;
        }
      }
    }
  }

  // Keywords, in the order the caller passed them.
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", d.name);
      return nullptr;
    }
    const int i = find_param(f, key, static_cast<int>(nargs + k));
    if (i < 0) {
      PyErr_Format(PyExc_TypeError,
                   "%s() got an unexpected keyword argument '%U'", d.name, key);
      return nullptr;
    }
    if (bound[i]) {
      PyErr_Format(PyExc_TypeError,
                   "%s() got multiple values for keyword argument '%U'", d.name,
                   key);
      return nullptr;
    }
    bound[i] = args[nargs + k];
  }

  // Defaults of omitted optional parameters and the exact type tests, in one
  // pass; a missing required parameter is reported before any type.
  bool missing = false;
  int mistyped = -1;
  for (int i = 0; i < params.size(); ++i) {
    if (!bound[i]) {
      if (params[i].required) {
        missing = true;
        break;
      }
      bound[i] = f->get(Field(kOmitted + i));
    }
    if (mistyped < 0 && !passes_type(params[i], bound[i])) mistyped = i;
  }
  if (missing) {
    // Required positional-or-keyword parameters first, in order: the count
    // given is the number of leading parameters supplied.
    for (int i = 0; i < npositional; ++i) {
      if (!bound[i]) {
        raise_positional_count(d, i);
        return nullptr;
      }
    }
    // Then the keyword-only ones, in declaration order.
    for (int i = npositional; i < params.size(); ++i) {
      if (!bound[i] && params[i].required) {
        raise_needs_keyword(d, PyTuple_GET_ITEM(names, i));
        return nullptr;
      }
    }
  }
  // The first failing type test, in declaration order (with subclasses
  // accepted it may pass after all).
  for (int i = mistyped; i >= 0 && i < params.size(); ++i) {
    if (!check_type(params[i], bound[i])) return nullptr;
  }

  return run_body(f, bound);
}

bool is_function_of(PyObject* obj, const FunctionDef& def) {
  // Only this module's function objects are called through this binder's
  // entry point, so the vectorcall an object offers tells it is one (and
  // asking it is safe for any object).
  return PyVectorcall_Function(obj) == function_vectorcall && as_function(obj)->def == &def;
}

bool is_own_function(PyObject* obj, const FunctionDef& def, PyObject* globals) {
  return is_function_of(obj, def) && as_function(obj)->get(kGlobals) == globals;
}

int own_function(const Env& env, PyObject* name, const FunctionDef& def) {
  // The lookup may fail: a key of the namespace that compares with the name
  // may raise, or memory run out.
  PyObject* value = PyDict_GetItemWithError(env.globals, name);
  if (!value) return PyErr_Occurred() ? -1 : 0;
  return is_function_of(value, def) ? 1 : 0;
}

bool binds_in_place(PyObject* callable, const FunctionDef& def,
                    std::initializer_list<PyObject*> args, PyObject* globals) {
  if (!is_own_function(callable, def, globals) || static_cast<int>(args.size()) != def.nparams())
    return false;
  int i = 0;
  for (PyObject* arg : args) {
    if (!passes_type(def.params[i++], arg)) return false;
  }
  return true;
}

PyObject* refuse_result(const FunctionDef& def, PyObject* result) {
  const char* expected = def.result == ResultCheck::DictOrNone ? "dict" : "str";
  PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(result)->tp_name);
  Py_DECREF(result);
  return nullptr;
}

Ref Env::call_as(PyObject* callable, const FunctionDef& def,
                 std::initializer_list<PyObject*> args, PyObject* kwnames) {
  if (!is_function_of(callable, def) || static_cast<int>(args.size()) != def.nparams() ||
      !as_function(callable)->get(kGlobals)) {
    return call(callable, args, kwnames);
  }
  const Function* f = as_function(callable);
  PyObject* bound[kMaxParams] = {};
  int i = 0;
  for (PyObject* arg : args) {
    if (!check_type(def.params[i], arg)) return {};
    bound[i++] = arg;
  }
  return Ref::steal(run_body(f, bound));
}


}  // namespace zavrik
