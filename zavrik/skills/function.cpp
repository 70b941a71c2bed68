// Function objects of the module: a small heap type with vectorcall and the
// attributes that `inspect`, `help()` and pickling expect of a function (its
// arguments are bound in binder.cpp).
//
// Why a type of our own rather than PyCFunction: the callers and the tools
// they use read `__defaults__`, `__kwdefaults__`, `__annotations__` and the
// signature of every function, which builtin functions do not carry. The
// type exposes a real code object as `__code__` (names and counts only, no
// bytecode is ever run) so that `inspect.signature` builds the same signature
// as for the equivalent `def`.
#include "function.hpp"

#include <cstring>
#include <new>
#include <utility>

#include "funcobject.hpp"

namespace zavrik {
namespace {

constexpr const char kModuleName[] = "zavrik.skills.packaging";

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



}  // namespace zavrik
