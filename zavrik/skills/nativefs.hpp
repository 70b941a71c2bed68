// Native fast paths for plain platform paths.
#pragma once

#include "function.hpp"

namespace zavrik::fast {

// Whether the native implementation may stand in for the method calls on
// `path`: it must be exactly the platform's pathlib class, and the module's
// `Path` and the pathlib methods involved must still be the originals.
bool plain_path(const Env& env, PyObject* path);

// Records the pathlib class and methods as they are at import, beside the
// interned strings (owned by `names_owner`).
int capture_originals(PyObject* names_owner);

PyObject* list_template_dirs(const Env& env, PyObject* root);
PyObject* remove_tree(const Env& env, PyObject* path);
PyObject* remove_packaging_junk(const Env& env, PyObject* root);
PyObject* collect_skill_datas(const Env& env, PyObject* root, PyObject* names);

}  // namespace zavrik::fast
