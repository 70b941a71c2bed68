// The module `zavrik.skills.packaging`: definition, creation and execution.
//
// The module is initialised in two phases. The create step hands out the
// process's one instance once it exists, so importing the module again after
// it was removed from `sys.modules`, or reloading it, yields the same object
// with its namespace as it is. The exec step binds the namespace in a fixed
// order that callers can observe (`dir()` of the module, `vars()` order).
//
// The module has no per-module state: everything it owns hangs off its
// namespace (the function objects hold their own type and the interned
// strings). The two statics below are the process-wide facts that the
// one-instance rule needs, and nothing else is kept between calls.
#include <atomic>

#include "directories.hpp"
#include "function.hpp"
#include "manifest.hpp"
#include "operations.hpp"
#include "profiles.hpp"
#include "pysemantics.hpp"

namespace zavrik {
namespace {

constexpr const char kModuleDoc[] =
    "Skill 模板发版准入与收集工具。\n"
    "\n"
    "该模块是 Skill 模板发布范围的单一判断入口，供 setup.py、二进制打包\n"
    "脚本和发版检查脚本复用。\n";

constexpr const char kInterpreterChanged[] =
    "Interpreter change detected - this module can only be loaded into one "
    "interpreter per process.";
constexpr const char kAlreadyImported[] =
    "Module 'packaging' has already been imported. Re-initialisation is not "
    "supported.";

// The process's one instance (a strong reference) and the interpreter that
// first created the module. Interpreters with a GIL of their own may run the
// create step at the same time, so the interpreter is claimed atomically;
// the instance is touched only by the interpreter that holds the claim.
PyObject* g_instance = nullptr;
std::atomic<int64_t> g_interpreter_id{-1};

// Copies spec.<attribute> into the namespace as `key`; a spec without the
// attribute is skipped, and so is None where `skip_none` says so.
int copy_spec_attr(PyObject* spec, PyObject* dict, const char* attribute,
                   const char* key, bool skip_none) {
  Ref name = Ref::steal(PyUnicode_FromString(attribute));
  if (!name) return -1;
  Ref value;
  const int found = optional_attr(spec, name.get(), &value);
  if (found <= 0) return found;
  if (skip_none && value.get() == Py_None) return 0;
  return PyDict_SetItemString(dict, key, value.get());
}

PyObject* packaging_create(PyObject* spec, PyModuleDef*) {
  // 1. One interpreter per process.
  const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1 && PyErr_Occurred()) return nullptr;
  int64_t first = -1;
  if (!g_interpreter_id.compare_exchange_strong(first, id) && first != id) {
    PyErr_SetString(PyExc_ImportError, kInterpreterChanged);
    return nullptr;
  }
  // 2. One instance per process.
  if (g_instance) return Py_NewRef(g_instance);
  // 3. A fresh module carrying what its ModuleSpec says about it.
  Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  PyObject* dict = PyModule_GetDict(module.get());
  if (!dict) return nullptr;
  if (copy_spec_attr(spec, dict, "loader", "__loader__", false) < 0 ||
      copy_spec_attr(spec, dict, "origin", "__file__", false) < 0 ||
      copy_spec_attr(spec, dict, "parent", "__package__", false) < 0 ||
      copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", true) < 0)
    return nullptr;
  return module.release();
}

// `from <module_name> import <attribute>`, binding it in `dict`.
int import_from(PyObject* dict, const char* module_name, const char* attribute) {
  Ref name = Ref::steal(PyUnicode_FromString(attribute));
  if (!name) return -1;
  Ref fromlist = Ref::steal(PyTuple_Pack(1, name.get()));
  if (!fromlist) return -1;
  Ref module = Ref::steal(
      PyImport_ImportModuleLevel(module_name, dict, nullptr, fromlist.get(), 0));
  if (!module) return -1;
  Ref value;
  const int found = optional_attr(module.get(), name.get(), &value);
  if (found < 0) return -1;
  if (!found) {
    // A submodule of that name counts, as for the import statement.
    Ref full = Ref::steal(PyUnicode_FromFormat("%s.%U", module_name, name.get()));
    if (!full) return -1;
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* sub = PyDict_GetItemWithError(modules, full.get());
    if (!sub) {
      if (!PyErr_Occurred())
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name.get());
      return -1;
    }
    value = Ref::borrow(sub);
  }
  return PyDict_SetItem(dict, name.get(), value.get());
}

int bind_string(PyObject* dict, const char* key, const char* value) {
  Ref text = Ref::steal(PyUnicode_FromString(value));
  return text ? PyDict_SetItemString(dict, key, text.get()) : -1;
}

// {"python-release": {"sdist": "source", "wheel": "wheel"}, ...}, of
// interned strings: an artifact a caller writes as a literal is then the
// very key of the table, which skill_allowed finds without comparing text.
Ref profile_keys() {
  const auto s = [](const char* text) { return PyUnicode_InternFromString(text); };
  // "N" takes over each new reference, and releases them all if one failed.
  return Ref::steal(Py_BuildValue(
      "{N:{N:N,N:N},N:{N:N},N:{N:N}}", s("python-release"), s("sdist"), s("source"),
      s("wheel"), s("wheel"), s("binary-minimal"), s("binary"), s("binary"), s("binary-full"),
      s("binary"), s("binary_full")));
}

// Everything a function object needs from the exec step.
struct Definer {
  PyObject* dict;
  PyObject* type;
  PyObject* state_owner;
  const State* state;

  int define(const FunctionDef& def, PyObject* first_default = Py_None) {
    PyObject* defaults[kMaxParams];
    for (PyObject*& d : defaults) d = Py_None;
    defaults[0] = first_default;
    Ref f = new_function(type, def, dict, state_owner, state, defaults);
    return f ? PyDict_SetItemString(dict, def.name, f.get()) : -1;
  }
};

// The default of `current_profile`: DEFAULT_PROFILE as it is now.
Ref captured_default_profile(const Env& env) {
  Ref value = env.global(env.s.DEFAULT_PROFILE);
  if (value && value.get() != Py_None && !PyUnicode_CheckExact(value.get())) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str",
                 Py_TYPE(value.get())->tp_name);
    return {};
  }
  return value;
}

int exec_body(PyObject* module) {
  PyObject* dict = PyModule_GetDict(module);
  if (!dict) return -1;

  // 3. A build for another interpreter version still imports, with a warning.
  const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
  const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
  if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
    const char* name = PyModule_GetName(module);
    if (!name) return -1;
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "compile time Python version %d.%d of module '%.100s' "
                         "%s runtime version %d.%d",
                         PY_MAJOR_VERSION, PY_MINOR_VERSION, name,
                         "does not match", major, minor) < 0)
      return -1;
  }

  // 4-5. Host modules and names.
  for (const char* host : {"json", "os", "sys"}) {
    Ref m = Ref::steal(PyImport_ImportModule(host));
    if (!m || PyDict_SetItemString(dict, host, m.get()) < 0) return -1;
  }
  if (import_from(dict, "pathlib", "Path") < 0) return -1;
  if (import_from(dict, "typing", "Any") < 0) return -1;

  // 6. Constants.
  if (bind_string(dict, "MANIFEST_FILENAME", "manifest.json") < 0 ||
      bind_string(dict, "PROFILE_ENV", "ZAVRIK_SKILL_PROFILE") < 0 ||
      bind_string(dict, "DEFAULT_PROFILE", "dev") < 0 ||
      bind_string(dict, "RELEASE_PROFILE", "python-release") < 0)
    return -1;

  // The function type and the state the bodies share.
  Ref type = Ref::steal(create_function_type(module));
  if (!type) return -1;
  const State* state = nullptr;
  Ref state_owner = new_state(&state);
  if (!state_owner) return -1;
  Definer definer{dict, type.get(), state_owner.get(), state};

  // 7.
  if (definer.define(kGetCentralSkillsDir) < 0) return -1;

  // 8.
  Ref table = profile_keys();
  if (!table || PyDict_SetItemString(dict, "_PROFILE_KEYS", table.get()) < 0)
    return -1;

  // 9.
  Ref error = Ref::steal(
      PyErr_NewExceptionWithDoc(kManifestErrorName, kManifestErrorDoc,
                                PyExc_ValueError, nullptr));
  if (!error || PyDict_SetItemString(dict, "SkillReleaseManifestError", error.get()) < 0)
    return -1;

  // 10. The remaining functions, in definition order.
  if (definer.define(kGetBuiltinTemplatesDir) < 0 ||
      definer.define(kLoadReleaseManifest) < 0 ||
      definer.define(kListTemplateDirs) < 0)
    return -1;
  Ref default_profile = captured_default_profile(Env{dict, state->names, state->seam});
  if (!default_profile || definer.define(kCurrentProfile, default_profile.get()) < 0)
    return -1;
  for (const FunctionDef* def :
       {&kProfileKey, &kSkillAllowed, &kSelectedSkillNames, &kPruneTemplatesDir,
        &kCollectSkillDatas, &kValidateReleaseManifest, &kRemoveTree,
        &kIsPackableFile, &kRemovePackagingJunk}) {
    if (definer.define(*def) < 0) return -1;
  }
  return 0;
}

int packaging_exec(PyObject* module) {
  // 1. Executing the instance again is a no-op; another module object is
  // refused.
  if (g_instance) {
    if (g_instance == module) return 0;
    PyErr_SetString(PyExc_RuntimeError, kAlreadyImported);
    return -1;
  }
  // 2. This is the instance from now on, unless the rest fails.
  g_instance = Py_NewRef(module);
  if (exec_body(module) < 0) {
    Py_CLEAR(g_instance);
    return -1;
  }
  return 0;
}

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot packaging_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(packaging_create)},
    {Py_mod_exec, reinterpret_cast<void*>(packaging_exec)},
#ifdef Py_mod_multiple_interpreters
    // From 3.12 the import system refuses, before the create step runs, a
    // module that does not declare this in a sub-interpreter with its own
    // GIL, with a message of its own. The create step admits one interpreter
    // per process and refuses every other with the module's message, so it
    // is safe under any GIL, and the refusal reads the same on every version.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef packaging_def = {
    PyModuleDef_HEAD_INIT,
    "packaging",
    kModuleDoc,
    0,
    no_methods,
    packaging_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace zavrik

PyMODINIT_FUNC PyInit_packaging(void) {
  return PyModuleDef_Init(&zavrik::packaging_def);
}
