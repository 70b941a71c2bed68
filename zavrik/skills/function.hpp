// The module's function objects and the one argument binder they share.
//
// Every function of the module is described by a `FunctionDef`: its name,
// docstring, parameters (name, annotation, kind, whether required, the exact
// type test), the test applied to its result, and the C++ body. What the
// binder needs beyond that (counts, the wording of its positional-count
// message) is derived from the parameter list while compiling, and the list
// is checked against the rules of `def`. A single vectorcall entry point binds
// the arguments of any call against that table, so the order of the checks
// and their messages are written once, here, and never per function.
//
// A body receives an `Env`: the module namespace and the interned strings the
// bodies use. Module-level names are looked up through `Env::global` at the
// moment of use (namespace, then builtins), so rebinding a module attribute
// changes the next call.
#pragma once

#include "pyref.hpp"
#include "rules.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

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

// The extra objects the bodies and the native fast paths share, besides the
// interned strings. X(field).
#define ZAVRIK_SHARED_OBJECTS(X)                                  \
  /* Keyword-name tuples of the calls the bodies make. */         \
  X(kw_encoding)      /* ("encoding",) */                         \
  X(kw_skill_allowed) /* (profile, artifact, manifest, templates_dir) */ \
  X(kw_selected)      /* (profile, artifact, templates_dir) */    \
  /* What the native fast paths compare the live objects against: \
     pathlib and os as they were when the module was imported     \
     (nativefs.cpp). */                                           \
  X(path_class)       /* pathlib.Path */                          \
  X(concrete_path)    /* type(pathlib.Path()): PosixPath here */  \
  X(pathlib_dict)     /* pathlib.__dict__ */                      \
  X(os_module)        /* the os module pathlib calls */           \
  X(path_originals)   /* tuple of (name, attribute) pairs */      \
  X(os_originals)     /* tuple of (name, function) pairs */

// What skill_allowed read to find a restricted profile's key, and may use
// again without reading it while nothing it read has changed (profiles.cpp).
// Every pointer but the two strings is borrowed, kept alive by the dict it
// was read from for as long as that dict's version tag
// (compat::dict_version) is the one noted.
struct ProfileKeyMemo {
  std::uint64_t namespace_version = 0;  // 0: nothing remembered
  PyObject* function = nullptr;         // `_profile_key`, the module's own
  PyObject* table = nullptr;            // `_PROFILE_KEYS`
  // The last answer, where finding it ran no code; key null: none.
  std::uint64_t table_version = 0;
  std::uint64_t keys_version = 0;
  PyObject* keys = nullptr;  // table[profile]
  PyObject* key = nullptr;   // keys[artifact]
  Ref profile;
  Ref artifact;
};

// Every object field is one strong reference, released by the destructor;
// the two lists above are the only place fields are declared, so a field
// cannot be added without being released (see the static_assert below).
struct Names {
#define ZAVRIK_NAME_FIELD(field, ...) PyObject* field = nullptr;
  ZAVRIK_NAMES(ZAVRIK_NAME_FIELD)
  ZAVRIK_SHARED_OBJECTS(ZAVRIK_NAME_FIELD)
#undef ZAVRIK_NAME_FIELD
  Py_ssize_t slot_drv = -1;  // offsets of PurePath's slots
  Py_ssize_t slot_root = -1;
  Py_ssize_t slot_parts = -1;

  // What the manifest reader compares a path against before reading it
  // natively: pathlib's reading methods and the io functions they call, as
  // at import (manifest.cpp). A Ref: it releases itself.
  Ref read_originals;

  mutable ProfileKeyMemo profile_keys;

  Names() = default;
  Names(const Names&) = delete;
  Names& operator=(const Names&) = delete;
  ~Names();  // with the GIL held (the owning capsule's destructor)
};

namespace detail {
#define ZAVRIK_COUNT_FIELD(field, ...) +1
inline constexpr int kNamesObjectFields =
    0 ZAVRIK_NAMES(ZAVRIK_COUNT_FIELD) ZAVRIK_SHARED_OBJECTS(ZAVRIK_COUNT_FIELD);
#undef ZAVRIK_COUNT_FIELD
}  // namespace detail
static_assert(sizeof(Names) == detail::kNamesObjectFields * sizeof(PyObject*) +
                                   3 * sizeof(Py_ssize_t) + sizeof(Ref) +
                                   sizeof(ProfileKeyMemo),
              "declare object fields of Names in ZAVRIK_NAMES or "
              "ZAVRIK_SHARED_OBJECTS, which the destructor releases");

// What a body sees of the module: its namespace and the interned strings.
struct Env {
  PyObject* globals;  // the module's __dict__ (borrowed; outlives the call)
  const Names& s;

  // The module-level name `name`: namespace, then builtins, else NameError.
  Ref global(PyObject* name) const {
    PyObject* value = PyDict_GetItemWithError(globals, name);
    return value ? Ref::borrow(value) : builtin(name);
  }
  // The rest of `global` once the namespace has no `name`.
  Ref builtin(PyObject* name) const;
  // `name(*args)` for a module-level callable looked up now.
  Ref call_global(PyObject* name, std::initializer_list<PyObject*> args,
                  PyObject* kwnames = nullptr) const;
  // The same for a call that passes every parameter of `def`, in declaration
  // order (the trailing ones by the keywords `kwnames`): when the name is
  // still bound to the module's own function, its body runs directly (with
  // the same type and result checks), skipping the call machinery.
  Ref call_own(PyObject* name, const struct FunctionDef& def,
               std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) const {
    Ref callable = global(name);
    return callable ? call_as(callable.get(), def, args, kwnames) : Ref();
  }
  // The same once the name has been looked up: `callable` is its value.
  static Ref call_as(PyObject* callable, const struct FunctionDef& def,
                     std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr);
};

enum class ParamKind : unsigned char { PositionalOrKeyword, KeywordOnly };
inline constexpr ParamKind kKeywordOnly = ParamKind::KeywordOnly;
enum class TypeCheck : unsigned char { None, Str, StrOrNone, DictOrNone };
enum class ResultCheck : unsigned char { None, DictOrNone, StrOrNone };

// One parameter. Written with designated initialisers; what is left out is a
// positional-or-keyword parameter, optional, not type-checked:
//   {.name = "templates_dir", .annotation = "Path | None"}
struct ParamDef {
  const char* name;
  const char* annotation;
  ParamKind kind = ParamKind::PositionalOrKeyword;
  bool required = false;
  TypeCheck check = TypeCheck::None;
};

inline constexpr int kMaxParams = 5;

namespace detail {
// Called only where a parameter list breaks a rule of `def`: it is not
// constexpr, so the table that reaches it does not compile.
void parameter_list_breaks_the_rules_of_def();
}  // namespace detail

// A function's parameter list and what its binder derives from it, computed
// once, while compiling, from the table itself.
class ParamList {
 public:
  constexpr ParamList() = default;

  // From a table of parameters, checked as `def` would check it: names
  // distinct, positional-or-keyword parameters first, and among them the
  // required ones before those with a default.
  template <std::size_t N>
  consteval ParamList(const ParamDef (&params)[N])  // NOLINT: implicit by design
      : items_(params), size_(static_cast<int>(N)) {
    static_assert(N >= 1 && N <= static_cast<std::size_t>(kMaxParams),
                  "a function takes 1 to kMaxParams parameters (none: leave "
                  "`.params` out)");
    bool keyword_only = false, optional = false;
    for (int i = 0; i < size_; ++i) {
      const ParamDef& p = params[i];
      if (!p.name || !p.annotation) detail::parameter_list_breaks_the_rules_of_def();
      for (int j = 0; j < i; ++j) {
        if (std::string_view(params[j].name) == p.name)
          detail::parameter_list_breaks_the_rules_of_def();
      }
      if (p.kind == ParamKind::KeywordOnly) {
        keyword_only = true;
        continue;
      }
      if (keyword_only || (optional && p.required))
        detail::parameter_list_breaks_the_rules_of_def();
      optional = optional || !p.required;
      ++npositional_;
      if (p.required) ++nrequired_positional_;
    }
  }

  constexpr const ParamDef& operator[](int i) const { return items_[i]; }
  constexpr int size() const { return size_; }
  // The leading positional-or-keyword parameters; the rest are keyword-only.
  constexpr int npositional() const { return npositional_; }

  // The wording of "takes %s %zd positional argument%s (%zd given)": "exactly"
  // when every positional parameter is required, else "at most"; the count is
  // always the number of positional parameters.
  constexpr const char* count_word() const {
    return nrequired_positional_ == npositional_ ? "exactly" : "at most";
  }
  constexpr Py_ssize_t count() const { return npositional_; }
  constexpr const char* plural() const { return npositional_ == 1 ? "" : "s"; }

 private:
  const ParamDef* items_ = nullptr;
  int size_ = 0;
  int npositional_ = 0;
  int nrequired_positional_ = 0;
};

// A body gets the bound arguments in declaration order (borrowed) and
// returns a new reference, or nullptr with an exception set.
using Body = PyObject* (*)(const Env& env, PyObject* const* args);

// One function of the module, written with designated initialisers:
//   const FunctionDef kListTemplateDirs = {
//       .name = "list_template_dirs", .doc = kListDoc,
//       .return_annotation = "list[Path]", .params = kListParams,
//       .body = list_template_dirs};
// `.doc` left out: no docstring; `.params` left out: no parameters;
// `.result` left out: the result is not checked.
struct FunctionDef {
  const char* name;
  const char* doc = nullptr;
  const char* return_annotation;
  ParamList params = {};
  ResultCheck result = ResultCheck::None;
  Body body;

  constexpr int nparams() const { return params.size(); }
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

// The same, for a function that also reads the namespace `globals`: its
// body may then run in place of a call, with that namespace's `Env`.
bool is_own_function(PyObject* obj, const FunctionDef& def, PyObject* globals);

// `result` (a new reference or nullptr) as a call of `def` returns it: the
// test of its annotation applied. Consumes `result`.
PyObject* refuse_result(const FunctionDef& def, PyObject* result);  // its TypeError
inline Ref checked_result(const FunctionDef& def, PyObject* result) {
  const bool plain = !result || result == Py_None || def.result == ResultCheck::None ||
                     Py_IS_TYPE(result, def.result == ResultCheck::DictOrNone
                                            ? &PyDict_Type
                                            : &PyUnicode_Type);
  return Ref::steal(plain ? result : refuse_result(def, result));
}

}  // namespace zavrik
