/* The floor of skill_allowed: the same dictionary lookups in plain C.
 *
 * One function with the module's signature,
 *
 *   skill_allowed(skill_name, *, profile, artifact, manifest=None, templates_dir=None)
 *
 * called through the same vectorcall convention (METH_FASTCALL |
 * METH_KEYWORDS) with the same keyword arguments, and doing only what the
 * answer needs: the argument types checked inline, the unrestricted profiles
 * recognised by string equality (identity, then length and bytes), the
 * profile's key taken from a dict of dicts, then manifest["default"],
 * manifest["skills"][skill_name] and entry.get(key, default.get(key, False))
 * as a truth value. As the module must, it reads `_PROFILE_KEYS` and
 * `_profile_key` from its own namespace at every call, so that rebinding
 * either takes effect at the next call: the table is then searched, and the
 * function is only compared with the one bound at import (the floor calls
 * no replacement). No function objects are called.
 *
 * The benchmark builds it on first use against the running interpreter's
 * headers. Reading the manifest from disk is not part of the floor: a call
 * without a manifest raises NotImplementedError.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string.h>

static PyObject *s_skill_name, *s_profile, *s_artifact, *s_manifest, *s_templates_dir;
static PyObject *s_dev, *s_internal, *s_default, *s_skills, *s_PROFILE_KEYS, *s_profile_key;
static PyObject *namespace;    /* the module's __dict__ */
static PyObject *own_key_fn;   /* what `_profile_key` is bound to at import */

/* a == b for two exact str objects: identity, then length, kind and bytes. */
static inline int str_eq(PyObject *a, PyObject *b) {
  if (a == b) return 1;
  Py_ssize_t n = PyUnicode_GET_LENGTH(a);
  if (n != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return 0;
  return memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), (size_t)n * PyUnicode_KIND(a)) == 0;
}

/* The keyword's parameter index, or -1: identity first (the caller's names
 * are interned), then equality. */
static inline int keyword_index(PyObject *name) {
  static PyObject **const names[] = {&s_skill_name, &s_profile, &s_artifact, &s_manifest,
                                     &s_templates_dir};
  for (int i = 0; i < 5; ++i)
    if (name == *names[i]) return i;
  if (!PyUnicode_Check(name)) return -1;
  for (int i = 0; i < 5; ++i)
    if (str_eq(name, *names[i])) return i;
  return -1;
}

static PyObject *type_error(const char *what) {
  PyErr_Format(PyExc_TypeError, "skill_allowed() %s", what);
  return NULL;
}

/* dict[key] or NULL without an exception when absent. */
static inline PyObject *lookup(PyObject *dict, PyObject *key, int *failed) {
  PyObject *value = PyDict_GetItemWithError(dict, key);
  *failed = value == NULL && PyErr_Occurred() != NULL;
  return value;
}

static PyObject *skill_allowed(PyObject *self, PyObject *const *args, size_t nargsf,
                               PyObject *kwnames) {
  (void)self;
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  PyObject *a[5] = {NULL, NULL, NULL, NULL, NULL};
  if (nargs > 1) return type_error("takes 1 positional argument");
  if (nargs == 1) a[0] = args[0];
  if (kwnames) {
    Py_ssize_t nk = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nk; ++i) {
      int at = keyword_index(PyTuple_GET_ITEM(kwnames, i));
      if (at < 0) return type_error("got an unexpected keyword argument");
      if (a[at]) return type_error("got multiple values for an argument");
      a[at] = args[nargs + i];
    }
  }
  if (!a[0] || !a[1] || !a[2]) return type_error("missing a required argument");
  if (!PyUnicode_Check(a[0]) || !PyUnicode_Check(a[1]) || !PyUnicode_Check(a[2]))
    return type_error("takes str for skill_name, profile and artifact");
  PyObject *manifest = a[3] ? a[3] : Py_None;
  if (manifest != Py_None && !PyDict_Check(manifest))
    return type_error("takes a dict or None for manifest");

  PyObject *profile = a[1];
  if (str_eq(profile, s_dev) || str_eq(profile, s_internal)) Py_RETURN_TRUE;
  if (manifest == Py_None || PyDict_GET_SIZE(manifest) == 0) {
    PyErr_SetString(PyExc_NotImplementedError, "the floor reads no manifest from disk");
    return NULL;
  }

  int failed;
  PyObject *key_fn = lookup(namespace, s_profile_key, &failed);
  if (failed) return NULL;
  if (key_fn != own_key_fn) {
    PyErr_SetString(PyExc_NotImplementedError, "the floor calls no replacement _profile_key");
    return NULL;
  }
  PyObject *profile_keys = lookup(namespace, s_PROFILE_KEYS, &failed);
  if (failed) return NULL;
  if (!profile_keys || !PyDict_Check(profile_keys)) return type_error("needs a dict for _PROFILE_KEYS");
  PyObject *keys = lookup(profile_keys, profile, &failed);
  if (failed) return NULL;
  if (!keys) {
    PyErr_SetString(PyExc_ValueError, "unknown profile");
    return NULL;
  }
  if (!PyDict_Check(keys)) return type_error("needs a dict for the profile's artifacts");
  PyObject *key = lookup(keys, a[2], &failed);
  if (failed) return NULL;
  if (!key) {
    PyErr_SetString(PyExc_ValueError, "unsupported artifact");
    return NULL;
  }

  PyObject *defaults = lookup(manifest, s_default, &failed);
  if (failed) return NULL;
  PyObject *skills = lookup(manifest, s_skills, &failed);
  if (failed) return NULL;
  PyObject *entry = NULL;
  if (skills) {
    if (!PyDict_Check(skills)) return type_error("needs a dict for manifest[\"skills\"]");
    entry = lookup(skills, a[0], &failed);
    if (failed) return NULL;
  }
  PyObject *value = NULL;
  if (entry && PyDict_Check(entry)) {
    value = lookup(entry, key, &failed);
    if (failed) return NULL;
  }
  if (!value && defaults) {
    if (!PyDict_Check(defaults)) return type_error("needs a dict for manifest[\"default\"]");
    value = lookup(defaults, key, &failed);
    if (failed) return NULL;
  }
  if (!value) Py_RETURN_FALSE;
  if (value == Py_True) Py_RETURN_TRUE;
  if (value == Py_False) Py_RETURN_FALSE;
  int truth = PyObject_IsTrue(value);
  if (truth < 0) return NULL;
  return PyBool_FromLong(truth);
}

static PyObject *profile_key(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
  (void)self, (void)args, (void)nargs;
  PyErr_SetString(PyExc_NotImplementedError, "the floor's _profile_key is only compared");
  return NULL;
}

static PyMethodDef methods[] = {
    {"skill_allowed", (PyCFunction)(void (*)(void))skill_allowed, METH_FASTCALL | METH_KEYWORDS,
     "skill_allowed($module, skill_name, *, profile, artifact, manifest=None,"
     " templates_dir=None)\n--\n\nThe floor of skill_allowed."},
    {"_profile_key", (PyCFunction)(void (*)(void))profile_key, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_allowed_floor", NULL, -1,
                                        methods, NULL, NULL, NULL, NULL};

static int intern(PyObject **slot, const char *text) {
  *slot = PyUnicode_InternFromString(text);
  return *slot ? 0 : -1;
}

static int add_keys(PyObject *table, const char *profile, const char *artifact1,
                    const char *key1, const char *artifact2, const char *key2) {
  PyObject *keys = artifact2 ? Py_BuildValue("{ssss}", artifact1, key1, artifact2, key2)
                             : Py_BuildValue("{ss}", artifact1, key1);
  if (!keys) return -1;
  int rc = PyDict_SetItemString(table, profile, keys);
  Py_DECREF(keys);
  return rc;
}

PyMODINIT_FUNC PyInit__allowed_floor(void) {
  if (intern(&s_skill_name, "skill_name") || intern(&s_profile, "profile") ||
      intern(&s_artifact, "artifact") || intern(&s_manifest, "manifest") ||
      intern(&s_templates_dir, "templates_dir") || intern(&s_dev, "dev") ||
      intern(&s_internal, "internal") || intern(&s_default, "default") ||
      intern(&s_skills, "skills") || intern(&s_PROFILE_KEYS, "_PROFILE_KEYS") ||
      intern(&s_profile_key, "_profile_key"))
    return NULL;
  PyObject *module = PyModule_Create(&module_def);
  if (!module) return NULL;
  /* {"python-release": {"sdist": "source", "wheel": "wheel"}, ...} */
  PyObject *table = PyDict_New();
  if (!table || add_keys(table, "python-release", "sdist", "source", "wheel", "wheel") ||
      add_keys(table, "binary-minimal", "binary", "binary", NULL, NULL) ||
      add_keys(table, "binary-full", "binary", "binary_full", NULL, NULL) ||
      PyModule_AddObjectRef(module, "_PROFILE_KEYS", table) < 0) {
    Py_XDECREF(table);
    Py_DECREF(module);
    return NULL;
  }
  Py_DECREF(table);
  namespace = PyModule_GetDict(module); /* borrowed: the module lives as long as the process */
  own_key_fn = PyDict_GetItemWithError(namespace, s_profile_key);
  if (!own_key_fn) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "no _profile_key");
    Py_DECREF(module);
    return NULL;
  }
  return module;
}
