// Native fast paths for plain platform paths.
//
// The module's operations are written against the methods of the path
// objects they are given. When those objects are plain `pathlib` paths of
// the platform's own class, and neither the class, its methods, the `os`
// functions pathlib calls, nor the module attributes the operation would
// call have been replaced, the same operation is carried out here with
// directory reads and *at() system calls, without the GIL, and the Python
// results are built directly. Results, exceptions and effects on disk are
// the same as the method-by-method path gives.
//
// Every entry point sets `*declined` and returns nullptr when the inputs
// need the method-by-method path after all (for example a path that cannot
// be encoded for the file system); the caller then runs that path, which has
// had no effect yet.
#pragma once

#include <string>

#include "function.hpp"

namespace zavrik::fast {

// Records the pathlib class and methods and the os functions as they are at
// import, beside the interned strings (owned by `names_owner`).
int capture_originals(PyObject* names_owner);

// Whether the native implementation may stand in for the method calls on
// `path`: exactly the platform's pathlib class, with the module's `Path`
// and every pathlib method and os function involved still the originals.
bool plain_path(const Env& env, PyObject* path);

// Whether pathlib and the os functions it calls are as they were at import
// (the class and module checks of plain_path without a path).
bool pathlib_intact(const Env& env);

// `path.name` of a path for which plain_path() holds, or of the concrete
// class while pathlib_intact() holds, read from its parts.
Ref path_name(const Env& env, PyObject* path);

// Whether the module attribute `name` is still the module's own function
// running `def`.
bool own_function(const Env& env, PyObject* name, const FunctionDef& def);

PyObject* list_template_dirs(const Env& env, PyObject* root, bool* declined);
PyObject* remove_tree(const Env& env, PyObject* path, bool* declined);
PyObject* remove_packaging_junk(const Env& env, PyObject* root, bool* declined);
PyObject* collect_skill_datas(const Env& env, PyObject* root, PyObject* names,
                              bool* declined);

// The file-system bytes of a plain path; false with an exception set, or
// with `*declined` when the path cannot be encoded (or holds NUL).
bool fs_bytes(PyObject* path, std::string* out, bool* declined);

// exists() of root / name / a [/ b], with `root_bytes` from fs_bytes(root):
// 1, 0, -1 with an exception set, or 2 when declined. A single stat: the
// GIL stays held.
int exists_below(const Env& env, PyObject* root, const std::string& root_bytes,
                 PyObject* name, const char* a, const char* b);

}  // namespace zavrik::fast
