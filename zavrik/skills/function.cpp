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

#include <structmember.h>

#include <cstring>
#include <new>

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

struct Function {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FunctionDef* def;
  const Names* s;
  PyObject* globals;
  PyObject* names_owner;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* annotations;
  PyObject* defaults_tuple;
  PyObject* kwdefaults;
  PyObject* code;
  PyObject* param_names;  // tuple of interned str, declaration order
  PyObject* dict;
  PyObject* weakrefs;
  PyObject* omitted[kMaxParams];  // value of an omitted optional parameter
};

Function* as_function(PyObject* self) { return reinterpret_cast<Function*>(self); }

// ---------------------------------------------------------------------------
// Argument binding

void raise_positional_count(const FunctionDef& d, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError,
               "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               d.name, d.count_word, d.count, d.plural, given);
}

void raise_needs_keyword(const FunctionDef& d, PyObject* param_name) {
  PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %U", d.name,
               param_name);
}

// Index of the parameter called `key`, or -1.
int find_param(const Function* f, PyObject* key) {
  const FunctionDef& d = *f->def;
  for (int i = 0; i < d.nparams; ++i) {
    if (PyTuple_GET_ITEM(f->param_names, i) == key) return i;
  }
  for (int i = 0; i < d.nparams; ++i) {
    PyObject* name = PyTuple_GET_ITEM(f->param_names, i);
    if (PyUnicode_GET_LENGTH(name) == PyUnicode_GET_LENGTH(key) &&
        PyUnicode_Compare(name, key) == 0) {
      return i;
    }
  }
  return -1;
}

// The exact-type test of one parameter; false with TypeError set.
bool check_type(const ParamDef& p, PyObject* value) {
  PyTypeObject* expected = nullptr;
  bool none_ok = false;
  switch (p.check) {
    case TypeCheck::None:
      return true;
    case TypeCheck::Str:
      expected = &PyUnicode_Type;
      break;
    case TypeCheck::StrOrNone:
      expected = &PyUnicode_Type;
      none_ok = true;
      break;
    case TypeCheck::DictOrNone:
      expected = &PyDict_Type;
      none_ok = true;
      break;
  }
  if (Py_IS_TYPE(value, expected) || (none_ok && value == Py_None)) return true;
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

// The test of a result against its annotation; consumes `result`.
PyObject* check_result(ResultCheck check, PyObject* result) {
  if (!result || check == ResultCheck::None || result == Py_None) return result;
  const bool dict = check == ResultCheck::DictOrNone;
  if (Py_IS_TYPE(result, dict ? &PyDict_Type : &PyUnicode_Type)) return result;
  PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", dict ? "dict" : "str",
               Py_TYPE(result)->tp_name);
  Py_DECREF(result);
  return nullptr;
}

PyObject* run_body(const Function* f, PyObject* const* bound) {
  const Env env{f->globals, *f->s};
  try {
    return check_result(f->def->result, f->def->body(env, bound));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (...) {
    PyErr_Format(PyExc_SystemError, "%s(): unexpected internal error",
                 f->def->name);
    return nullptr;
  }
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args,
                              size_t nargsf, PyObject* kwnames) {
  const Function* f = as_function(self);
  const FunctionDef& d = *f->def;
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

  if (d.nparams == 0) {
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

  int npositional = 0;
  while (npositional < d.nparams &&
         d.params[npositional].kind == ParamKind::PositionalOrKeyword) {
    ++npositional;
  }
  PyObject* bound[kMaxParams] = {};

  // 1. Too many positional arguments.
  if (nargs > npositional) {
    raise_positional_count(d, nargs);
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];

  // 2. A call without keywords that cannot be complete.
  if (nkw == 0) {
    if (nargs == npositional) {
      for (int i = npositional; i < d.nparams; ++i) {
        if (d.params[i].required) {
          raise_needs_keyword(d, PyTuple_GET_ITEM(f->param_names, i));
          return nullptr;
        }
      }
    } else {
      for (int i = static_cast<int>(nargs); i < npositional; ++i) {
        if (d.params[i].required) {
          raise_positional_count(d, nargs);
          return nullptr;
        }
      }
    }
  }

  // 3. Keywords, in the order the caller passed them.
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", d.name);
      return nullptr;
    }
    const int i = find_param(f, key);
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

  // 4. Defaults of omitted optional parameters.
  for (int i = 0; i < d.nparams; ++i) {
    if (!bound[i] && !d.params[i].required) bound[i] = f->omitted[i];
  }

  // 5. Required positional-or-keyword parameters, in order.
  for (int i = 0; i < npositional; ++i) {
    if (!bound[i]) {
      raise_positional_count(d, i);
      return nullptr;
    }
  }

  // 6. Required keyword-only parameters, in order.
  for (int i = npositional; i < d.nparams; ++i) {
    if (!bound[i]) {
      raise_needs_keyword(d, PyTuple_GET_ITEM(f->param_names, i));
      return nullptr;
    }
  }

  // 7. Exact type tests, in declaration order.
  for (int i = 0; i < d.nparams; ++i) {
    if (!check_type(d.params[i], bound[i])) return nullptr;
  }

  return run_body(f, bound);
}

// ---------------------------------------------------------------------------
// The type

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  Function* f = as_function(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(f->globals);
  Py_VISIT(f->names_owner);
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->annotations);
  Py_VISIT(f->defaults_tuple);
  Py_VISIT(f->kwdefaults);
  Py_VISIT(f->code);
  Py_VISIT(f->param_names);
  Py_VISIT(f->dict);
  for (PyObject* v : f->omitted) Py_VISIT(v);
  return 0;
}

int function_clear(PyObject* self) {
  Function* f = as_function(self);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->names_owner);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->defaults_tuple);
  Py_CLEAR(f->kwdefaults);
  Py_CLEAR(f->code);
  Py_CLEAR(f->param_names);
  Py_CLEAR(f->dict);
  for (PyObject*& v : f->omitted) Py_CLEAR(v);
  return 0;
}

void function_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  if (as_function(self)->weakrefs) PyObject_ClearWeakRefs(self);
  function_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname,
                              self);
}

// Functions bind as methods when stored on a class, like Python functions.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

// Pickled by reference: the module attribute of the same name.
PyObject* function_reduce(PyObject* self, PyObject*) {
  return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Read-only views of fields that always hold a value (None when absent).
template <PyObject* Function::*Field>
PyObject* get_field(PyObject* self, void*) {
  return Py_NewRef(as_function(self)->*Field);
}

// Writable str fields (__name__, __qualname__), as for Python functions.
template <PyObject* Function::*Field>
int set_str_field(PyObject* self, PyObject* value, void*) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "value must be set to a string object");
    return -1;
  }
  Py_SETREF(as_function(self)->*Field, Py_NewRef(value));
  return 0;
}

// Writable fields of any value (__doc__, __module__); deleting sets None.
template <PyObject* Function::*Field>
int set_any_field(PyObject* self, PyObject* value, void*) {
  Py_SETREF(as_function(self)->*Field, Py_NewRef(value ? value : Py_None));
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
  Py_SETREF(as_function(self)->annotations, fresh.release());
  return 0;
}

// A code object that carries the parameter names and counts only.
Ref make_code(const FunctionDef& d, PyObject* globals, PyObject* name,
              PyObject* param_names, int npositional) {
  PyObject* file = PyDict_GetItemString(globals, "__file__");  // borrowed
  Ref filename = (file && PyUnicode_Check(file))
                     ? Ref::borrow(file)
                     : Ref::steal(PyUnicode_FromString(kModuleName));
  if (!filename) return {};
  Ref empty = Ref::steal(reinterpret_cast<PyObject*>(
      PyCode_NewEmpty(PyUnicode_AsUTF8(filename.get()), d.name, 1)));
  if (!empty) return {};
  Ref replace = Ref::steal(PyObject_GetAttrString(empty.get(), "replace"));
  if (!replace) return {};
  Ref kwargs = Ref::steal(Py_BuildValue(
      "{s:i,s:i,s:i,s:i,s:O,s:O,s:O,s:i}", "co_argcount", npositional,
      "co_posonlyargcount", 0, "co_kwonlyargcount", d.nparams - npositional,
      "co_nlocals", d.nparams, "co_varnames", param_names, "co_name", name,
      "co_qualname", name, "co_flags", CO_OPTIMIZED | CO_NEWLOCALS));
  if (!kwargs) return {};
  Ref noargs = Ref::steal(PyTuple_New(0));
  if (!noargs) return {};
  return Ref::steal(PyObject_Call(replace.get(), noargs.get(), kwargs.get()));
}

// Built on first use: only introspection asks for it, and making fourteen
// code objects would be most of the cost of importing the module.
PyObject* get_code(PyObject* self, void*) {
  Function* f = as_function(self);
  if (!f->code) {
    int npositional = 0;
    while (npositional < f->def->nparams &&
           f->def->params[npositional].kind == ParamKind::PositionalOrKeyword)
      ++npositional;
    Ref code = make_code(*f->def, f->globals, f->name, f->param_names, npositional);
    if (!code) return nullptr;
    f->code = code.release();
  }
  return Py_NewRef(f->code);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_field<&Function::name>, set_str_field<&Function::name>,
     nullptr, nullptr},
    {"__qualname__", get_field<&Function::qualname>,
     set_str_field<&Function::qualname>, nullptr, nullptr},
    {"__module__", get_field<&Function::module>, set_any_field<&Function::module>,
     nullptr, nullptr},
    {"__doc__", get_field<&Function::doc>, set_any_field<&Function::doc>, nullptr,
     nullptr},
    {"__annotations__", get_field<&Function::annotations>, set_annotations,
     nullptr, nullptr},
    {"__defaults__", get_field<&Function::defaults_tuple>, nullptr, nullptr,
     nullptr},
    {"__kwdefaults__", get_field<&Function::kwdefaults>, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__globals__", get_field<&Function::globals>, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY,
     nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(Function, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Function, weakrefs), READONLY,
     nullptr},
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
  PyTypeObject* t = Py_TYPE(obj);
  return t->tp_vectorcall_offset == offsetof(Function, vectorcall) &&
         t->tp_call == PyVectorcall_Call &&
         std::strcmp(t->tp_name, function_spec.name) == 0 &&
         as_function(obj)->def == &def;
}

Ref new_function(PyObject* type, const FunctionDef& d, PyObject* globals,
                 PyObject* names_owner, const Names* names,
                 PyObject* const* defaults) {
  auto* tp = reinterpret_cast<PyTypeObject*>(type);
  Ref self = Ref::steal(tp->tp_alloc(tp, 0));
  if (!self) return {};
  Function* f = as_function(self.get());
  // tp_alloc zero-fills and tracks the object: every field is a valid
  // "empty" for the collector until it is set below.
  f->vectorcall = function_vectorcall;
  f->def = &d;
  f->s = names;
  f->globals = Py_NewRef(globals);
  f->names_owner = Py_NewRef(names_owner);

  if (!(f->name = PyUnicode_InternFromString(d.name))) return {};
  f->qualname = Py_NewRef(f->name);
  if (!(f->module = PyUnicode_FromString(kModuleName))) return {};
  f->doc = d.doc ? PyUnicode_FromString(d.doc) : Py_NewRef(Py_None);
  if (!f->doc) return {};

  if (!(f->param_names = PyTuple_New(d.nparams))) return {};
  if (!(f->annotations = PyDict_New())) return {};
  Ref positional_defaults = Ref::steal(PyList_New(0));
  Ref keyword_defaults = Ref::steal(PyDict_New());
  if (!positional_defaults || !keyword_defaults) return {};
  for (int i = 0; i < d.nparams; ++i) {
    const ParamDef& p = d.params[i];
    PyObject* pname = PyUnicode_InternFromString(p.name);
    if (!pname) return {};
    PyTuple_SET_ITEM(f->param_names, i, pname);
    Ref annotation = Ref::steal(PyUnicode_FromString(p.annotation));
    if (!annotation || PyDict_SetItem(f->annotations, pname, annotation.get()) < 0)
      return {};
    if (p.required) continue;
    f->omitted[i] = Py_NewRef(defaults[i]);
    const int rc = p.kind == ParamKind::PositionalOrKeyword
                       ? PyList_Append(positional_defaults.get(), defaults[i])
                       : PyDict_SetItem(keyword_defaults.get(), pname, defaults[i]);
    if (rc < 0) return {};
  }
  Ref ret = Ref::steal(PyUnicode_FromString(d.return_annotation));
  if (!ret || PyDict_SetItemString(f->annotations, "return", ret.get()) < 0)
    return {};
  f->defaults_tuple = PyList_GET_SIZE(positional_defaults.get())
                          ? PyList_AsTuple(positional_defaults.get())
                          : Py_NewRef(Py_None);
  if (!f->defaults_tuple) return {};
  f->kwdefaults = PyDict_GET_SIZE(keyword_defaults.get())
                      ? keyword_defaults.release()
                      : Py_NewRef(Py_None);
  return self;
}

namespace {
void free_names(PyObject* capsule) {
  auto* names = static_cast<Names*>(PyCapsule_GetPointer(capsule, "zavrik.names"));
  if (!names) {
    PyErr_Clear();
    return;
  }
#define ZAVRIK_NAME_CLEAR(field, text) Py_XDECREF(names->field);
  ZAVRIK_NAMES(ZAVRIK_NAME_CLEAR)
#undef ZAVRIK_NAME_CLEAR
  Py_XDECREF(names->kw_encoding);
  Py_XDECREF(names->kw_skill_allowed);
  Py_XDECREF(names->kw_selected);
  Py_XDECREF(names->path_class);
  Py_XDECREF(names->concrete_path);
  Py_XDECREF(names->pathlib_dict);
  Py_XDECREF(names->os_module);
  Py_XDECREF(names->path_originals);
  Py_XDECREF(names->os_originals);
  delete names;
}
}  // namespace

Ref new_names(const Names** out) {
  auto* names = new (std::nothrow) Names();
  if (!names) {
    PyErr_NoMemory();
    return {};
  }
  Ref capsule = Ref::steal(PyCapsule_New(names, "zavrik.names", free_names));
  if (!capsule) {
    delete names;
    return {};
  }
#define ZAVRIK_NAME_INIT(field, text) \
  if (!(names->field = PyUnicode_InternFromString(text))) return {};
  ZAVRIK_NAMES(ZAVRIK_NAME_INIT)
#undef ZAVRIK_NAME_INIT
  names->kw_encoding = PyTuple_Pack(1, names->encoding);
  names->kw_skill_allowed = PyTuple_Pack(4, names->profile, names->artifact,
                                         names->manifest, names->templates_dir);
  names->kw_selected =
      PyTuple_Pack(3, names->profile, names->artifact, names->templates_dir);
  if (!names->kw_encoding || !names->kw_skill_allowed || !names->kw_selected)
    return {};
  *out = names;
  return capsule;
}

// ---------------------------------------------------------------------------
// Name resolution at call time

Ref Env::global(PyObject* name) const {
  PyObject* value = PyDict_GetItemWithError(globals, name);
  if (!value) {
    if (PyErr_Occurred()) return {};
    PyObject* builtins = PyEval_GetBuiltins();
    value = builtins ? PyDict_GetItemWithError(builtins, name) : nullptr;
    if (!value) {
      if (!PyErr_Occurred())
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
      return {};
    }
  }
  return Ref::borrow(value);
}

Ref Env::call_global(PyObject* name, std::initializer_list<PyObject*> args,
                     PyObject* kwnames) const {
  Ref callable = global(name);
  if (!callable) return {};
  return call(callable.get(), args, kwnames);
}

Ref Env::call_own(PyObject* name, const FunctionDef& def,
                  std::initializer_list<PyObject*> args, PyObject* kwnames) const {
  Ref callable = global(name);
  if (!callable) return {};
  if (!is_function_of(callable.get(), def) ||
      static_cast<int>(args.size()) != def.nparams) {
    return call(callable.get(), args, kwnames);
  }
  const Function* f = as_function(callable.get());
  PyObject* bound[kMaxParams] = {};
  int i = 0;
  for (PyObject* arg : args) {
    if (!check_type(def.params[i], arg)) return {};
    bound[i++] = arg;
  }
  return Ref::steal(run_body(f, bound));
}

Ref format_concat(PyObject* left, PyObject* right) {
  if (!left || !right) return {};  // a failed argument: its error is set
  Ref empty = Ref::steal(PyUnicode_FromStringAndSize(nullptr, 0));
  if (!empty) return {};
  Ref a = Ref::steal(PyObject_Format(left, empty.get()));
  if (!a) return {};
  Ref b = Ref::steal(PyObject_Format(right, empty.get()));
  if (!b) return {};
  return Ref::steal(PyUnicode_Concat(a.get(), b.get()));
}

}  // namespace zavrik
