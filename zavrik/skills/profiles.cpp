// Profiles and admission.
//
// The unrestricted profiles are recognised by name before anything else is
// read; a restricted profile and an artifact select one admission column of
// the manifest through `_PROFILE_KEYS`, which is looked up at every call so
// that a rebound table takes effect.
#include "profiles.hpp"

#include "directories.hpp"
#include "manifest.hpp"
#include "nativefs.hpp"
#include "pathseam.hpp"
#include "pysemantics.hpp"

namespace zavrik {
namespace {

constexpr const char kCurrentProfileDoc[] = "读取当前 Skill 构建 profile。";
constexpr const char kSkillAllowedDoc[] =
    "判断指定 Skill 是否允许进入目标 profile/artifact。";
constexpr const char kSelectedDoc[] = "返回目标 profile/artifact 下应包含的 Skill 名称。";

constexpr const char kUnknownProfile[] = "未知 Skill 构建 profile: ";
constexpr const char kUnsupportedArtifactHead[] = "profile ";
constexpr const char kUnsupportedArtifactMid[] = " 不支持产物类型 ";

PyObject* current_profile(const Env& env, PyObject* const* args) {
  PyObject* fallback = args[0];
  // 1-3. os.environ.get(PROFILE_ENV, "").strip()
  Ref value = environ_stripped(env, nullptr);
  if (!value) return nullptr;
  // 4. The value when it is not empty, else the default as given.
  int set = truth(value.get());
  if (set < 0) return nullptr;
  return set ? value.release() : Py_NewRef(fallback);
}

// "profile 'p' 不支持产物类型 'a'"
Ref unsupported_artifact_message(PyObject* profile, PyObject* artifact) {
  Ref p = Ref::steal(PyObject_Repr(profile));
  if (!p) return {};
  Ref a = Ref::steal(PyObject_Repr(artifact));
  if (!a) return {};
  return Ref::steal(PyUnicode_FromFormat("%s%U%s%U", kUnsupportedArtifactHead,
                                         p.get(), kUnsupportedArtifactMid, a.get()));
}

// `profile in ("dev", "internal")`: answered inline for the exact str it
// mostly is, which runs no code.
inline int unrestricted(const Env& env, PyObject* profile) {
  if (PyUnicode_CheckExact(profile))
    return same_str(profile, env.s.dev) || same_str(profile, env.s.internal);
  int dev = PyObject_RichCompareBool(profile, env.s.dev, Py_EQ);
  if (dev != 0) return dev;
  return PyObject_RichCompareBool(profile, env.s.internal, Py_EQ);
}

// `not value`, answered inline for the exact dict it mostly is.
inline int dict_truth(PyObject* value) {
  return PyDict_CheckExact(value) ? PyDict_GET_SIZE(value) != 0 : truth(value);
}

// What a step reads is held while any later lookup runs, and a container
// while it is searched, as a Python frame holds them: a lookup runs Python
// code when the dict has a key of a class with its own `__eq__` (and the
// hash looked for), and that code may rebind the module's names or empty
// the manifest, freeing what was read before.
//
// The holds are dropped with drop_now in the normal flow of a body. A body
// runs holding the GIL, so the test the destructor makes for a thread being
// unwound at exit (a call into the interpreter per reference) is not needed
// there; on the path of one skill_allowed call those tests cost as much as
// one of its lookups. Error paths leave their references to the destructor.
template <class... Held>
inline void drop_now(Held&... held) {
  (Py_XDECREF(held.release()), ...);
}

// `mapping.get(key, {})` into `*out`: the value, held, or nothing for the
// new empty dict, which is left out where the mapping is an exact dict (its
// `get` has no other effect). False with an exception set.
inline bool get_or_empty(const Env& env, PyObject* mapping, PyObject* key, Ref* out) {
  if (PyDict_CheckExact(mapping)) {
    PyObject* value = PyDict_GetItemWithError(mapping, key);
    *out = Ref::borrow(value);
    return value || !PyErr_Occurred();
  }
  Ref fresh = Ref::steal(PyDict_New());
  if (fresh) *out = call_method(mapping, env.s.get, {key, fresh.get()});
  return static_cast<bool>(*out);
}

// Whether looking an exact str up in `d` runs no Python code: `d` is an
// exact dict whose keys are all exact str, so no key's own `__eq__` is
// ever asked.
bool plain_dict(PyObject* d) {
  if (!PyDict_CheckExact(d)) return false;
  Py_ssize_t pos = 0;
  PyObject* key;
  while (PyDict_Next(d, &pos, &key, nullptr)) {
    if (!PyUnicode_CheckExact(key)) return false;
  }
  return true;
}

// _profile_key's steps 2-6, for a profile that is not unrestricted: the
// one place the profile key is looked up.
inline Ref restricted_key(const Env& env, PyObject* profile, PyObject* artifact) {
  // 2-3. The profile's artifacts.
  Ref table = env.global(env.s.PROFILE_KEYS);
  if (!table) return {};
  Ref keys = mapping_get(env, table.get(), profile, Py_None);
  drop_now(table);
  if (!keys) return {};
  const int known = dict_truth(keys.get());
  if (known < 0) return {};
  if (!known) return Ref::steal(raise_manifest_error(env, kUnknownProfile, profile));
  // 4-5. The artifact's key.
  Ref key = mapping_get(env, keys.get(), artifact, Py_None);
  drop_now(keys);
  if (!key || key.get() != Py_None) return key;
  return Ref::steal(raise_manifest_error(env, unsupported_artifact_message(profile, artifact)));
}

PyObject* profile_key(const Env& env, PyObject* const* args) {
  PyObject* profile = args[0];
  PyObject* artifact = args[1];
  // 1. Unrestricted profiles have no key.
  const int everything = unrestricted(env, profile);
  if (everything < 0) return nullptr;
  if (everything) Py_RETURN_NONE;
  // 2-6.
  return restricted_key(env, profile, artifact).release();
}

// Whether the module attribute `_profile_key` is the module's own function
// reading this namespace, whose body may run in place of a call.
inline bool own_profile_key(const Env& env, PyObject* function) {
  return function && is_own_function(function, kProfileKey, env.globals);
}

// `_profile_key(profile, artifact)` looked up now, for a profile that is
// not unrestricted. While it is the module's own function and the
// arguments are exact str, its body runs here without the call, with the
// same result test; the unrestricted test it begins with is the caller's,
// just made.
inline Ref key_for(const Env& env, PyObject* profile, PyObject* artifact) {
  PyObject* function = PyDict_GetItemWithError(env.globals, env.s.profile_key);
  if (!function && PyErr_Occurred()) return {};
  if (own_profile_key(env, function) && PyUnicode_CheckExact(profile) &&
      PyUnicode_CheckExact(artifact))
    return checked_result(kProfileKey, restricted_key(env, profile, artifact).release());
  // Held while it runs: the call may rebind the name.
  Ref callable = function ? Ref::borrow(function) : env.builtin(env.s.profile_key);
  if (!callable) return {};
  return Env::call_as(callable.get(), kProfileKey, {profile, artifact});
}

// The admission decision: skill_allowed's steps, written once. They fall in
// two parts, the question (steps 1-6: the profile, the manifest, the
// profile key, the "default" and "skills" members) and its answer for one
// Skill (steps 7-11). skill_allowed asks and answers once.
// selected_skill_names asks for every Skill, as it calls skill_allowed for
// every Skill; but where nothing in the question runs Python code and
// nothing runs between two Skills, asking again cannot find anything else,
// and the question asked for one Skill stands for the next.
class Admission {
 public:
  // Steps 1-6 for `profile`, `artifact`, the manifest `given` (a dict or
  // None, as skill_allowed's binder leaves it) and `templates_dir`. False
  // with an exception set.
  bool ask(const Env& env, PyObject* profile, PyObject* artifact, PyObject* given,
           PyObject* templates_dir) {
    // 1. Unrestricted profiles admit everything, reading nothing.
    const int everything = unrestricted(env, profile);
    if (everything < 0) return false;
    everything_ = everything;
    if (everything_) return true;
    // 2. The manifest given, or the one on disk.
    const int present = dict_truth(given);
    if (present < 0) return false;
    if (!present) {
      loaded_ = call_load_release_manifest(env, templates_dir);
      if (!loaded_) return false;
    }
    PyObject* manifest = present ? given : loaded_.get();
    // 3-4. The profile key; a replacement _profile_key may answer None.
    key_ = key_for(env, profile, artifact);
    if (!key_) return false;
    everything_ = key_.get() == Py_None;
    // 5-6. "default" and "skills"; nothing held stands for an empty dict.
    return everything_ || (get_or_empty(env, manifest, env.s.default_, &defaults_) &&
                           get_or_empty(env, manifest, env.s.skills, &skills_));
  }

  // Whether calling skill_allowed again for `profile` and the same `given`
  // manifest, with no code run since, would run no Python code and so find
  // the same question: the namespace it is found in is a plain dict, and
  // either the profile is unrestricted, or the manifest was given, the
  // module's own _profile_key ran in place, and what the steps searched
  // (the manifest, `_PROFILE_KEYS` and the profile's entry, "default" and
  // "skills") are plain dicts. Searches in plain dicts cannot fail.
  // 1, 0, or -1 with an exception set: a search of a plain dict fails only
  // where one of its keys compares with the name by raising, or memory runs
  // out.
  int stands(const Env& env, PyObject* profile, PyObject* given) const {
    if (!plain_dict(env.globals)) return 0;
    if (everything_) return !key_;  // a key of None came from a replacement
    if (loaded_ || !plain_dict(given)) return 0;
    PyObject* function = PyDict_GetItemWithError(env.globals, env.s.profile_key);
    if (!function && PyErr_Occurred()) return -1;
    if (!own_profile_key(env, function)) return 0;
    PyObject* table = PyDict_GetItemWithError(env.globals, env.s.PROFILE_KEYS);
    if (!table || !plain_dict(table)) return table || !PyErr_Occurred() ? 0 : -1;
    PyObject* keys = PyDict_GetItemWithError(table, profile);
    if (!keys) return PyErr_Occurred() ? -1 : 0;
    return plain_dict(keys) && (!defaults_ || plain_dict(defaults_.get())) &&
           (!skills_ || plain_dict(skills_.get()));
  }

  // Steps 7-11 for the Skill `name`: 1 admitted, 0 not, -1 with an
  // exception set. With `plain`, whether they ran no Python code where the
  // question stands: the entry is a plain dict or none, the value's truth
  // is plain.
  int admits(const Env& env, PyObject* name, bool* plain = nullptr) const {
    if (everything_) {
      if (plain) *plain = true;
      return 1;
    }
    // 7-8. The Skill's entry; one that is not an object counts as empty.
    Ref entry;
    if (skills_ && !get_or_empty(env, skills_.get(), name, &entry)) return -1;
    PyObject* members = entry && PyDict_Check(entry.get()) ? entry.get() : nullptr;
    // 9-10. The entry decides; "default" only when the entry has no member.
    Ref fallback = defaults_ ? mapping_get(env, defaults_.get(), key_.get(), Py_False)
                             : Ref::borrow(Py_False);
    if (!fallback) return -1;
    Ref value = members ? mapping_get(env, members, key_.get(), fallback.get())
                        : Ref::borrow(fallback.get());
    if (!value) return -1;
    // 11.
    if (plain) *plain = plain_truth(value.get()) && (!members || plain_dict(members));
    const int admitted = truth(value.get());
    drop_now(value, fallback, entry);
    return admitted;
  }

  // Lets go of what the question holds, in the normal flow.
  void done() { drop_now(loaded_, key_, defaults_, skills_); }

 private:
  bool everything_ = false;  // admitted whatever the Skill
  Ref loaded_;               // the manifest read from disk, when none was given
  Ref key_, defaults_, skills_;
};

PyObject* skill_allowed(const Env& env, PyObject* const* args) {
  Admission question;
  if (!question.ask(env, args[1], args[2], args[3], args[4])) return nullptr;
  const int admitted = question.admits(env, args[0]);
  question.done();
  if (admitted < 0) return nullptr;
  return Py_NewRef(admitted ? Py_True : Py_False);
}

PyObject* selected_skill_names(const Env& env, PyObject* const* args) {
  PyObject* profile_arg = args[0];
  PyObject* artifact = args[1];
  PyObject* templates_dir = args[2];

  // 1-2. Root and profile.
  Ref root = resolve_templates_root(env, templates_dir);
  if (!root) return nullptr;
  Ref profile = resolve_profile(env, profile_arg);
  if (!profile) return nullptr;

  // 3. The manifest, read once, only for a restricted profile.
  const int everything = unrestricted(env, profile.get());
  if (everything < 0) return nullptr;
  Ref manifest = everything ? Ref::none() : call_load_release_manifest(env, root.get());
  if (!manifest) return nullptr;

  // 4. Each Skill directory that skill_allowed admits, in listing order.
  // The module's own listing of an eligible root gives the names without a
  // path object per directory; other paths' names are read from their
  // parts where the class is pathlib's own.
  Ref dirs;
  fast::Native listed;
  const int own_listing = own_function(env, env.s.list_template_dirs, kListTemplateDirs);
  if (own_listing < 0) return nullptr;
  if (own_listing) {
    const int native = fast::ready(env, root.get());
    if (native < 0) return nullptr;
    if (native) listed = fast::template_dir_names(env, root.get());
  }
  const bool names_only = listed.has_value();
  if (names_only) {
    if (!*listed) return nullptr;
    dirs = std::move(*listed);
  } else {
    dirs = call_list_template_dirs(env, root.get());
    if (!dirs) return nullptr;
  }
  PyObject* module_path = PyDict_GetItemWithError(env.globals, env.s.Path);
  if (!module_path && PyErr_Occurred()) return nullptr;
  const int intact = seam::intact(env.seam, module_path);
  if (intact < 0) return nullptr;
  auto* plain = reinterpret_cast<PyTypeObject*>(env.seam.concrete.get());

  Ref it = Ref::steal(PyObject_GetIter(dirs.get()));
  if (!it) return nullptr;
  Ref names = Ref::steal(PyList_New(0));
  if (!names) return nullptr;
  // The question asked for the last Skill, and whether it stands for this
  // one: only names from the module's own listing come without any code
  // run between two Skills.
  Admission question;
  bool stands = false;
  while (Ref dir = Ref::steal(PyIter_Next(it.get()))) {
    Ref name = names_only                                ? Ref::borrow(dir.get())
               : intact && Py_TYPE(dir.get()) == plain ? seam::name_of(env.seam, dir.get())
                                                       : attr(dir.get(), env.s.name);
    if (!name) return nullptr;
    std::initializer_list<PyObject*> call = {name.get(), profile.get(), artifact,
                                             manifest.get(), root.get()};
    int keep;
    bool ran_no_code = false;
    if (stands) {
      keep = question.admits(env, name.get(), &ran_no_code);
    } else if (Ref allowed = env.global(env.s.skill_allowed);
               !allowed || !binds_in_place(allowed.get(), kSkillAllowed, call, env.globals)) {
      // A replacement skill_allowed, or arguments its binder refuses: the call.
      if (!allowed) return nullptr;
      Ref answer = Env::call_as(allowed.get(), kSkillAllowed, call, env.s.kw_skill_allowed);
      keep = answer ? truth(answer.get()) : -1;
    } else {
      question = Admission();
      if (!question.ask(env, profile.get(), artifact, manifest.get(), root.get())) return nullptr;
      keep = question.admits(env, name.get(), &ran_no_code);
      const int still = names_only ? question.stands(env, profile.get(), manifest.get()) : 0;
      if (still < 0) return nullptr;
      stands = still;
    }
    stands = stands && ran_no_code;
    if (keep < 0) return nullptr;
    if (keep && PyList_Append(names.get(), name.get()) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  return names.release();
}

constexpr ParamDef kCurrentProfileParams[] = {
    {.name = "default", .annotation = "str", .check = TypeCheck::Str},
};
constexpr ParamDef kProfileKeyParams[] = {
    {.name = "profile", .annotation = "str", .required = true, .check = TypeCheck::Str},
    {.name = "artifact", .annotation = "str", .required = true, .check = TypeCheck::Str},
};
constexpr ParamDef kSkillAllowedParams[] = {
    {.name = "skill_name", .annotation = "str", .required = true, .check = TypeCheck::Str},
    {.name = "profile", .annotation = "str", .kind = kKeywordOnly, .required = true,
     .check = TypeCheck::Str},
    {.name = "artifact", .annotation = "str", .kind = kKeywordOnly, .required = true,
     .check = TypeCheck::Str},
    {.name = "manifest", .annotation = "dict[str, Any] | None", .kind = kKeywordOnly,
     .check = TypeCheck::DictOrNone},
    {.name = "templates_dir", .annotation = "Path | None", .kind = kKeywordOnly},
};
constexpr ParamDef kSelectedParams[] = {
    {.name = "profile", .annotation = "str | None", .kind = kKeywordOnly,
     .check = TypeCheck::StrOrNone},
    {.name = "artifact", .annotation = "str", .kind = kKeywordOnly, .required = true,
     .check = TypeCheck::Str},
    {.name = "templates_dir", .annotation = "Path | None", .kind = kKeywordOnly},
};

}  // namespace


int is_unrestricted(const Env& env, PyObject* profile) { return unrestricted(env, profile); }

Ref resolve_profile(const Env& env, PyObject* value) {
  int given = truth(value);
  if (given < 0) return {};
  if (given) return Ref::borrow(value);
  return env.call_global(env.s.current_profile, {});
}

Ref call_selected_skill_names(const Env& env, PyObject* profile, PyObject* artifact,
                              PyObject* root) {
  return env.call_global(env.s.selected_skill_names, {profile, artifact, root},
                         env.s.kw_selected);
}

const FunctionDef kCurrentProfile = {
    .name = "current_profile",
    .doc = kCurrentProfileDoc,
    .return_annotation = "str",
    .params = kCurrentProfileParams,
    .result = ResultCheck::StrOrNone,
    .body = current_profile,
};

const FunctionDef kProfileKey = {
    .name = "_profile_key",
    .return_annotation = "str | None",
    .params = kProfileKeyParams,
    .result = ResultCheck::StrOrNone,
    .body = profile_key,
};

const FunctionDef kSkillAllowed = {
    .name = "skill_allowed",
    .doc = kSkillAllowedDoc,
    .return_annotation = "bool",
    .params = kSkillAllowedParams,
    .body = skill_allowed,
};

const FunctionDef kSelectedSkillNames = {
    .name = "selected_skill_names",
    .doc = kSelectedDoc,
    .return_annotation = "list[str]",
    .params = kSelectedParams,
    .body = selected_skill_names,
};

}  // namespace zavrik
