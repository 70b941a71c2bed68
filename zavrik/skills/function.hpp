// The module's function objects and the one argument binder they share.
//
// Every function of the module is described by a `FunctionDef`: its name,
// docstring, parameters (name, annotation, kind, whether required, the exact
// type test), the wording of its positional-count message, the test applied to
// its result, and the C++ body. A single vectorcall entry point binds the
// arguments of any call against that table, so the order of the checks and
// their messages are written once, here, and never per function.
//
// A body receives an `Env`: the module namespace and the interned strings the
// bodies use. Module-level names are looked up through `Env::global` at the
// moment of use (namespace, then builtins), so rebinding a module attribute
// changes the next call.
#pragma once

#include "pyref.hpp"
#include "rules.hpp"

namespace zavrik {

// Interned strings used by the bodies: module-level names, attribute and
// method names, and literal values. X(field, text).
#define ZAVRIK_NAMES(X)                                           \
  X(os, "os")                                                     \
  X(sys, "sys")                                                   \
  X(json, "json")                                                 \
  X(Path, "Path")                                                 \
  X(MANIFEST_FILENAME, "MANIFEST_FILENAME")                       \
  X(PROFILE_ENV, "PROFILE_ENV")                                   \
  X(DEFAULT_PROFILE, "DEFAULT_PROFILE")                           \
  X(PROFILE_KEYS, "_PROFILE_KEYS")                                \
  X(SkillReleaseManifestError, "SkillReleaseManifestError")       \
  X(get_builtin_templates_dir, "get_builtin_templates_dir")       \
  X(load_release_manifest, "load_release_manifest")               \
  X(list_template_dirs, "list_template_dirs")                     \
  X(current_profile, "current_profile")                           \
  X(profile_key, "_profile_key")                                  \
  X(skill_allowed, "skill_allowed")                               \
  X(selected_skill_names, "selected_skill_names")                 \
  X(remove_tree, "_remove_tree")                                  \
  X(is_packable_file, "_is_packable_file")                        \
  X(remove_packaging_junk, "_remove_packaging_junk")              \
  X(dunder_file, "__file__")                                      \
  X(dunder_fspath, "__fspath__")                                  \
  X(environ, "environ")                                           \
  X(get, "get")                                                   \
  X(strip, "strip")                                               \
  X(expanduser, "expanduser")                                     \
  X(platform, "platform")                                         \
  X(home, "home")                                                 \
  X(meipass, "_MEIPASS")                                          \
  X(exists, "exists")                                             \
  X(resolve, "resolve")                                           \
  X(parent, "parent")                                             \
  X(iterdir, "iterdir")                                           \
  X(is_dir, "is_dir")                                             \
  X(is_file, "is_file")                                           \
  X(is_symlink, "is_symlink")                                     \
  X(name, "name")                                                 \
  X(suffix, "suffix")                                             \
  X(parts, "parts")                                               \
  X(rglob, "rglob")                                               \
  X(unlink, "unlink")                                             \
  X(rmdir, "rmdir")                                               \
  X(read_text, "read_text")                                       \
  X(relative_to, "relative_to")                                   \
  X(loads, "loads")                                               \
  X(JSONDecodeError, "JSONDecodeError")                           \
  X(encoding, "encoding")                                         \
  X(profile, "profile")                                           \
  X(artifact, "artifact")                                         \
  X(manifest, "manifest")                                         \
  X(templates_dir, "templates_dir")                               \
  X(empty, "")                                                    \
  X(win32, "win32")                                               \
  X(central_env, "ZAVRIK_CENTRAL_SKILLS_DIR")                     \
  X(localappdata, "LOCALAPPDATA")                                 \
  X(builtin_env, "ZAVRIK_BUILTIN_TEMPLATES_DIR")                  \
  X(zavrik, "zavrik")                                             \
  X(skills, "skills")                                             \
  X(dot_zavrik, ".zavrik")                                        \
  X(templates, "templates")                                       \
  X(utf8, "utf-8")                                                \
  X(default_, "default")                                          \
  X(dev, "dev")                                                   \
  X(internal, "internal")                                         \
  X(binary_minimal, "binary-minimal")                             \
  X(binary, "binary")                                             \
  X(pycache, rules::kPycache)                                     \
  X(star, "*")                                                    \
  X(ds_store, rules::kDsStore)                                    \
  X(pyc, rules::kPyc)                                             \
  X(pyo, rules::kPyo)                                             \
  X(reason, "reason")                                             \
  X(tier, "tier")                                                 \
  X(source, "source")                                             \
  X(wheel, "wheel")                                               \
  X(binary_full, "binary_full")                                   \
  X(skill_md, "SKILL.md")                                         \
  X(data, "data")                                                 \
  X(version_json, "VERSION.json")                                 \
  X(bundle_top, rules::kBundleTop)                                \
  X(bundle_middle, rules::kBundleMiddle)                          \
  X(bundle_leaf, rules::kBundleLeaf)

struct Names {
#define ZAVRIK_NAME_FIELD(field, text) PyObject* field = nullptr;
  ZAVRIK_NAMES(ZAVRIK_NAME_FIELD)
#undef ZAVRIK_NAME_FIELD
  // Keyword-name tuples of the calls the bodies make.
  PyObject* kw_encoding = nullptr;        // ("encoding",)
  PyObject* kw_skill_allowed = nullptr;   // (profile, artifact, manifest, templates_dir)
  PyObject* kw_selected = nullptr;        // (profile, artifact, templates_dir)

  // What the native fast paths compare the live objects against: pathlib
  // and os as they were when the module was imported (nativefs.cpp).
  PyObject* path_class = nullptr;      // pathlib.Path
  PyObject* concrete_path = nullptr;   // type(pathlib.Path()): PosixPath here
  PyObject* pathlib_dict = nullptr;    // pathlib.__dict__
  PyObject* os_module = nullptr;       // the os module pathlib calls
  PyObject* path_originals = nullptr;  // tuple of (name, attribute) pairs
  PyObject* os_originals = nullptr;    // tuple of (name, function) pairs
  Py_ssize_t slot_drv = -1;            // offsets of PurePath's slots
  Py_ssize_t slot_root = -1;
  Py_ssize_t slot_parts = -1;

  // What the manifest reader compares a path against before reading it
  // natively: pathlib's reading methods and the io functions they call, as
  // at import (manifest.cpp). Owned here, released with the rest.
  Ref read_originals;
};

// What a body sees of the module: its namespace and the interned strings.
struct Env {
  PyObject* globals;  // the module's __dict__ (borrowed; outlives the call)
  const Names& s;

  // The module-level name `name`: namespace, then builtins, else NameError.
  Ref global(PyObject* name) const;
  // `name(*args)` for a module-level callable looked up now.
  Ref call_global(PyObject* name, std::initializer_list<PyObject*> args,
                  PyObject* kwnames = nullptr) const;
  // The same for a call that passes every parameter of `def`, in declaration
  // order (the trailing ones by the keywords `kwnames`): when the name is
  // still bound to the module's own function, its body runs directly (with
  // the same type and result checks), skipping the call machinery.
  Ref call_own(PyObject* name, const struct FunctionDef& def,
               std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) const;
};

enum class ParamKind : unsigned char { PositionalOrKeyword, KeywordOnly };
enum class TypeCheck : unsigned char { None, Str, StrOrNone, DictOrNone };
enum class ResultCheck : unsigned char { None, DictOrNone, StrOrNone };

struct ParamDef {
  const char* name;
  const char* annotation;
  ParamKind kind;
  bool required;
  TypeCheck check;
};

// A body gets the bound arguments in declaration order (borrowed) and
// returns a new reference, or nullptr with an exception set.
using Body = PyObject* (*)(const Env& env, PyObject* const* args);

inline constexpr int kMaxParams = 5;

struct FunctionDef {
  const char* name;
  const char* doc;                // nullptr: no docstring
  const char* return_annotation;
  const ParamDef* params;
  int nparams;
  // Wording of "takes %s %zd positional argument%s (%zd given)".
  const char* count_word;
  Py_ssize_t count;
  const char* plural;
  ResultCheck result;
  Body body;
};

// Creates the heap type of the function objects (a new reference).
PyObject* create_function_type(PyObject* module);

// A new function object for `def`. `defaults[i]` is the value taken when
// optional parameter i is omitted (ignored for required parameters).
Ref new_function(PyObject* type, const FunctionDef& def, PyObject* globals,
                 PyObject* names_owner, const Names* names,
                 PyObject* const* defaults);

// The interned strings, owned by the returned capsule.
Ref new_names(const Names** out);

// Whether `obj` is one of this module's function objects running `def`.
bool is_function_of(PyObject* obj, const FunctionDef& def);

}  // namespace zavrik
