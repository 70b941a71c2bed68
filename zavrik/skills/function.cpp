// Function objects of the module: a small heap type with vectorcall, the
// attributes that `inspect`, `help()` and pickling expect of a function, and
// the table-driven argument binder.
//
// Why a type of our own rather than PyCFunction: the callers and the tools
// they use read `__defaults__`, `__kwdefaults__`, `__annotations__` and the
// signature of every function, which builtin functions do not carry. The
// type exposes a real code object as `__code__` (names and counts only, no
// bytecode is ever run) so that `inspect.signature` builds the same signature
// as for the equivalent `def`.
#include "function.hpp"

#include <cstring>
#include <exception>
#include <new>
#include <type_traits>
#include <utility>

#ifndef ZAVRIK_ACCEPT_SUBCLASSES
#define ZAVRIK_ACCEPT_SUBCLASSES 0
#endif

namespace zavrik {
namespace {

constexpr const char kModuleName[] = "zavrik.skills.packaging";

// Appended to the type-check message when the value is an instance of a
// subclass of the expected built-in type.
constexpr const char kSubclassNote[] =
    "Subclasses of built-in types are refused by this exact type check, even "
    "where the annotation would admit them; to accept them, build the "
    "extension with the environment variable ZAVRIK_ACCEPT_SUBCLASSES=1";

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
constexpr Py_ssize_t kDictOffset =
    offsetof(Function, owned) + kDict * static_cast<Py_ssize_t>(sizeof(Ref));

Function* as_function(PyObject* self) { return reinterpret_cast<Function*>(self); }

// ---------------------------------------------------------------------------
// Argument binding

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

// ---------------------------------------------------------------------------
// The type

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  for (const Ref& r : as_function(self)->owned.at) Py_VISIT(r.get());
  return 0;
}

int function_clear(PyObject* self) {
  // Every field is emptied before any reference goes, as Py_CLEAR does, so
  // whatever the releases run never sees a half-cleared field.
  Owned released = std::move(as_function(self)->owned);
  return 0;
}

void function_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Function* f = as_function(self);
  if (f->weakrefs) PyObject_ClearWeakRefs(self);
  f->owned.~Owned();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
  PyObject* qualname = as_function(self)->get(kQualname);
  if (!qualname) return PyUnicode_FromFormat("<function at %p>", self);
  return PyUnicode_FromFormat("<function %U at %p>", qualname, self);
}

// Functions bind as methods when stored on a class, like Python functions.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

// Read-only views of fields that always hold a value (None when absent, and
// once the collector has cleared the object).
template <Field F>
PyObject* get_field(PyObject* self, void*) {
  PyObject* value = as_function(self)->get(F);
  return Py_NewRef(value ? value : Py_None);
}

// Pickled by reference: the module attribute named by __qualname__.
PyObject* function_reduce(PyObject* self, PyObject*) {
  return get_field<kQualname>(self, nullptr);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Writable str fields (__name__, __qualname__), as for Python functions.
template <Field F>
int set_str_field(PyObject* self, PyObject* value, void*) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "value must be set to a string object");
    return -1;
  }
  as_function(self)->field(F) = Ref::borrow(value);
  return 0;
}

// Writable fields of any value (__doc__, __module__); deleting sets None.
template <Field F>
int set_any_field(PyObject* self, PyObject* value, void*) {
  as_function(self)->field(F) = Ref::borrow(value ? value : Py_None);
  return 0;
}

int set_annotations(PyObject* self, PyObject* value, void*) {
  if (value == Py_None) value = nullptr;
  if (value != nullptr && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError,
                    "__annotations__ must be set to a dict object");
    return -1;
  }
  Ref fresh = value ? Ref::borrow(value) : Ref::steal(PyDict_New());
  if (!fresh) return -1;
  as_function(self)->field(kAnnotations) = std::move(fresh);
  return 0;
}

// co_filename: the module's __file__ when it is a str, whatever it holds (a
// path that UTF-8 cannot encode included: it is passed on as the str it is,
// never through a C string); else the module's dotted name.
Ref code_filename(const Function* f) {
  PyObject* file = PyDict_GetItemWithError(f->get(kGlobals), f->state->names.dunder_file);
  if (file && PyUnicode_Check(file)) return Ref::steal(PyUnicode_FromObject(file));
  if (PyErr_Occurred()) return {};
  return Ref::steal(PyUnicode_FromString(kModuleName));
}

// A code object that carries the parameter names and counts only, named
// after the definition (as a `def`'s code keeps its name when __name__ is
// reassigned).
Ref make_code(const Function* f) {
  const FunctionDef& d = *f->def;
  Ref filename = code_filename(f);
  if (!filename) return {};
  Ref name = Ref::steal(PyUnicode_InternFromString(d.name));
  if (!name) return {};
  Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty("", d.name, 1)));
  if (!empty) return {};
  Ref replace = Ref::steal(PyObject_GetAttrString(empty.get(), "replace"));
  if (!replace) return {};
  const int npositional = d.params.npositional();
  Ref kwargs = Ref::steal(Py_BuildValue(
      "{s:i,s:i,s:i,s:i,s:O,s:O,s:O,s:O,s:i}", "co_argcount", npositional,
      "co_posonlyargcount", 0, "co_kwonlyargcount", d.nparams() - npositional,
      "co_nlocals", d.nparams(), "co_varnames", f->get(kParamNames), "co_filename",
      filename.get(), "co_name", name.get(), "co_qualname", name.get(), "co_flags",
      CO_OPTIMIZED | CO_NEWLOCALS));
  if (!kwargs) return {};
  Ref noargs = Ref::steal(PyTuple_New(0));
  if (!noargs) return {};
  return Ref::steal(PyObject_Call(replace.get(), noargs.get(), kwargs.get()));
}

// Built on first use: only introspection asks for it, and making fourteen
// code objects would be most of the cost of importing the module.
PyObject* get_code(PyObject* self, void*) {
  Function* f = as_function(self);
  if (!f->get(kCode)) {
    if (!f->get(kGlobals) || !f->get(kParamNames)) Py_RETURN_NONE;  // cleared
    Ref code = make_code(f);
    if (!code) return nullptr;
    f->field(kCode) = std::move(code);
  }
  return Py_NewRef(f->get(kCode));
}

PyGetSetDef function_getset[] = {
    {"__name__", get_field<kName>, set_str_field<kName>, nullptr, nullptr},
    {"__qualname__", get_field<kQualname>, set_str_field<kQualname>, nullptr,
     nullptr},
    {"__module__", get_field<kModule>, set_any_field<kModule>, nullptr, nullptr},
    {"__doc__", get_field<kDoc>, set_any_field<kDoc>, nullptr, nullptr},
    {"__annotations__", get_field<kAnnotations>, set_annotations, nullptr, nullptr},
    {"__defaults__", get_field<kDefaults>, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_field<kKwdefaults>, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__globals__", get_field<kGlobals>, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", compat::kMemberPySsizeT, offsetof(Function, vectorcall),
     compat::kMemberReadonly, nullptr},
    {"__dictoffset__", compat::kMemberPySsizeT, kDictOffset, compat::kMemberReadonly, nullptr},
    {"__weaklistoffset__", compat::kMemberPySsizeT, offsetof(Function, weakrefs),
     compat::kMemberReadonly, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_methods, function_methods},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "zavrik.skills.packaging.function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

}  // namespace

PyObject* create_function_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &function_spec, nullptr);
}

bool is_function_of(PyObject* obj, const FunctionDef& def) {
  // Only this module creates objects of its function type, and the type is
  // not instantiable from Python, so a matching table entry identifies it.
  // Its deallocator is this unit's own, and it allows no subclasses.
  return Py_TYPE(obj)->tp_dealloc == function_dealloc && as_function(obj)->def == &def;
}

bool is_own_function(PyObject* obj, const FunctionDef& def, PyObject* globals) {
  return is_function_of(obj, def) && as_function(obj)->get(kGlobals) == globals;
}

bool own_function(const Env& env, PyObject* name, const FunctionDef& def) {
  // The namespace is a dict with str keys: the lookup cannot fail.
  PyObject* value = PyDict_GetItem(env.globals, name);
  return value && is_function_of(value, def);
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

Ref new_function(PyObject* type, const FunctionDef& d, PyObject* globals,
                 PyObject* state_owner, const State* state, PyObject* const* defaults) {
  auto* tp = reinterpret_cast<PyTypeObject*>(type);
  Ref self = Ref::steal(tp->tp_alloc(tp, 0));
  if (!self) return {};
  Function* f = as_function(self.get());
  // tp_alloc zero-fills and tracks the object: every field is a valid
  // "empty" for the collector until it is set below, and from here on the
  // destructor releases whatever was set when a step fails.
  new (&f->owned) Owned();
  f->vectorcall = function_vectorcall;
  f->def = &d;
  f->state = state;
  f->field(kGlobals) = Ref::borrow(globals);
  f->field(kStateOwner) = Ref::borrow(state_owner);

  Ref name = Ref::steal(PyUnicode_InternFromString(d.name));
  Ref module = Ref::steal(PyUnicode_FromString(kModuleName));
  Ref doc = d.doc ? Ref::steal(PyUnicode_FromString(d.doc)) : Ref::none();
  Ref param_names = Ref::steal(PyTuple_New(d.nparams()));
  Ref annotations = Ref::steal(PyDict_New());
  Ref positional_defaults = Ref::steal(PyList_New(0));
  Ref keyword_defaults = Ref::steal(PyDict_New());
  if (!name || !module || !doc || !param_names || !annotations ||
      !positional_defaults || !keyword_defaults)
    return {};
  f->field(kQualname) = Ref::borrow(name.get());
  f->field(kName) = std::move(name);
  f->field(kModule) = std::move(module);
  f->field(kDoc) = std::move(doc);

  for (int i = 0; i < d.nparams(); ++i) {
    const ParamDef& p = d.params[i];
    PyObject* pname = PyUnicode_InternFromString(p.name);
    if (!pname) return {};
    PyTuple_SET_ITEM(param_names.get(), i, pname);
    Ref annotation = Ref::steal(PyUnicode_FromString(p.annotation));
    if (!annotation || PyDict_SetItem(annotations.get(), pname, annotation.get()) < 0)
      return {};
    if (p.required) continue;
    f->field(Field(kOmitted + i)) = Ref::borrow(defaults[i]);
    const int rc = p.kind == ParamKind::PositionalOrKeyword
                       ? PyList_Append(positional_defaults.get(), defaults[i])
                       : PyDict_SetItem(keyword_defaults.get(), pname, defaults[i]);
    if (rc < 0) return {};
  }
  Ref ret = Ref::steal(PyUnicode_FromString(d.return_annotation));
  if (!ret || PyDict_SetItemString(annotations.get(), "return", ret.get()) < 0)
    return {};
  f->field(kParamNames) = std::move(param_names);
  f->field(kAnnotations) = std::move(annotations);

  Ref defaults_tuple = PyList_GET_SIZE(positional_defaults.get())
                           ? Ref::steal(PyList_AsTuple(positional_defaults.get()))
                           : Ref::none();
  if (!defaults_tuple) return {};
  f->field(kDefaults) = std::move(defaults_tuple);
  f->field(kKwdefaults) = PyDict_GET_SIZE(keyword_defaults.get())
                              ? std::move(keyword_defaults)
                              : Ref::none();
  return self;
}

// ---------------------------------------------------------------------------
// Name resolution at call time

Ref Env::builtin(PyObject* name) const {
  if (PyErr_Occurred()) return {};  // the namespace lookup failed
  PyObject* builtins = PyEval_GetBuiltins();
  PyObject* value = builtins ? PyDict_GetItemWithError(builtins, name) : nullptr;
  if (!value) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
  }
  return Ref::borrow(value);
}

Ref Env::call_global(PyObject* name, std::initializer_list<PyObject*> args,
                     PyObject* kwnames) const {
  Ref callable = global(name);
  if (!callable) return {};
  return call(callable.get(), args, kwnames);
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
