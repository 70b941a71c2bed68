// Profiles and admission.
//
// The unrestricted profiles are recognised by name before anything else is
// read; a restricted profile and an artifact select one admission column of
// the manifest through `_PROFILE_KEYS`, which is looked up at every call so
// that a rebound table takes effect.
#include "profiles.hpp"

#include <cstring>
#include <optional>

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
  Ref os = env.global(env.s.os);
  if (!os) return nullptr;
  Ref environ = attr(os.get(), env.s.environ);
  if (!environ) return nullptr;
  Ref getter = attr(environ.get(), env.s.get);
  if (!getter) return nullptr;
  Ref variable = env.global(env.s.PROFILE_ENV);
  if (!variable) return nullptr;
  Ref raw = call(getter.get(), {variable.get(), env.s.empty});
  if (!raw) return nullptr;
  Ref value = call_method(raw.get(), env.s.strip);
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

// The body of `_profile_key` once the profile is known to be restricted,
// `table` being the `_PROFILE_KEYS` it read.
PyObject* restricted_key(const Env& env, PyObject* table, PyObject* profile,
                         PyObject* artifact) {
  // 2-3. The profile's artifacts.
  Ref keys = mapping_get(env, table, profile, Py_None);
  if (!keys) return nullptr;
  int known = truth(keys.get());
  if (known < 0) return nullptr;
  if (!known) return raise_manifest_error(env, kUnknownProfile, profile);
  // 4-5. The artifact's key.
  Ref key = mapping_get(env, keys.get(), artifact, Py_None);
  if (!key) return nullptr;
  if (key.get() == Py_None)
    return raise_manifest_error(env, unsupported_artifact_message(profile, artifact));
  // 6.
  return key.release();
}

PyObject* profile_key(const Env& env, PyObject* const* args) {
  PyObject* profile = args[0];
  PyObject* artifact = args[1];
  // 1. Unrestricted profiles have no key.
  int unrestricted = is_unrestricted(env, profile);
  if (unrestricted < 0) return nullptr;
  if (unrestricted) Py_RETURN_NONE;
  Ref table = env.global(env.s.PROFILE_KEYS);
  if (!table) return nullptr;
  return restricted_key(env, table.get(), profile, artifact);
}

// `_profile_key(profile, artifact)` as skill_allowed calls it, for a
// restricted profile. While `_profile_key` is the module's own function
// reading this namespace, its body runs here without the call (with the
// same result test); the unrestricted test it would begin with has just
// been made by the caller, for an exact str.
Ref key_for(const Env& env, PyObject* profile, PyObject* artifact) {
  Ref function = env.global(env.s.profile_key);
  if (!function) return {};
  if (!PyUnicode_CheckExact(profile) || !PyUnicode_CheckExact(artifact) ||
      !is_own_function(function.get(), kProfileKey, env.globals))
    return Env::call_as(function.get(), kProfileKey, {profile, artifact});
  Ref table = env.global(env.s.PROFILE_KEYS);
  if (!table) return {};
  return checked_result(kProfileKey, restricted_key(env, table.get(), profile, artifact));
}

// `mapping.get(key, {})`, with the new empty dict left out where the mapping
// is an exact dict (its `get` has no other effect): `*empty` then tells that
// the result is that empty dict, and the returned reference is None.
inline Ref get_or_empty(const Env& env, PyObject* mapping, PyObject* key, bool* empty) {
  *empty = false;
  if (PyDict_CheckExact(mapping)) {
    PyObject* value = PyDict_GetItemWithError(mapping, key);
    if (value) return Ref::borrow(value);
    if (PyErr_Occurred()) return {};
    *empty = true;
    return Ref::none();
  }
  Ref fresh = Ref::steal(PyDict_New());
  return fresh ? call_method(mapping, env.s.get, {key, fresh.get()}) : Ref();
}

// `value.get(key, fallback)`, where `empty` says value is an empty dict.
inline Ref get_from(const Env& env, PyObject* value, bool empty, PyObject* key,
                    PyObject* fallback) {
  return empty ? Ref::borrow(fallback) : mapping_get(env, value, key, fallback);
}

PyObject* skill_allowed(const Env& env, PyObject* const* args) {
  PyObject* skill_name = args[0];
  PyObject* profile = args[1];
  PyObject* artifact = args[2];
  PyObject* given_manifest = args[3];
  PyObject* templates_dir = args[4];

  // 1. Unrestricted profiles admit everything, reading nothing.
  int unrestricted = is_unrestricted(env, profile);
  if (unrestricted < 0) return nullptr;
  if (unrestricted) Py_RETURN_TRUE;

  // 2. The manifest given, or the one on disk.
  int given = PyDict_CheckExact(given_manifest) ? PyDict_GET_SIZE(given_manifest) != 0
                                                : truth(given_manifest);
  if (given < 0) return nullptr;
  Ref loaded;  // the caller holds the manifest it gave
  if (!given) {
    loaded = call_load_release_manifest(env, templates_dir);
    if (!loaded) return nullptr;
  }
  PyObject* manifest = given ? given_manifest : loaded.get();

  // 3-4. The profile key.
  Ref key = key_for(env, profile, artifact);
  if (!key) return nullptr;
  if (key.get() == Py_None) Py_RETURN_TRUE;

  // 5-8. "default", "skills" and the Skill's entry; an entry that is not an
  // object counts as an empty one.
  bool no_defaults, no_skills, no_entry;
  Ref defaults = get_or_empty(env, manifest, env.s.default_, &no_defaults);
  if (!defaults) return nullptr;
  Ref skills = get_or_empty(env, manifest, env.s.skills, &no_skills);
  if (!skills) return nullptr;
  Ref entry = no_skills ? Ref::none() : get_or_empty(env, skills.get(), skill_name, &no_entry);
  if (!entry) return nullptr;
  if (no_skills || !PyDict_Check(entry.get())) no_entry = true;

  // 9-11. The entry decides; "default" only when the entry has no member.
  Ref fallback = get_from(env, defaults.get(), no_defaults, key.get(), Py_False);
  if (!fallback) return nullptr;
  Ref value = get_from(env, entry.get(), no_entry, key.get(), fallback.get());
  if (!value) return nullptr;
  int admitted = truth(value.get());
  if (admitted < 0) return nullptr;
  return Py_NewRef(admitted ? Py_True : Py_False);
}

// selected_skill_names asks skill_allowed the same question for every Skill
// but the name. While skill_allowed and _profile_key are the module's own,
// and the arguments, `_PROFILE_KEYS` and the manifest are made of exact
// dicts and strings, nothing in that question runs Python code, so nothing
// can change between two Skills: the profile key and the default are read
// once, and each Skill costs its entry's lookups. Whatever does not fit asks
// skill_allowed itself.
class Admission {
 public:
  // Prepares for `profile`, `artifact` and `manifest`: 1 ready, 0 when
  // skill_allowed must be asked, -1 with the exception the first call of
  // skill_allowed would raise.
  int prepare(const Env& env, PyObject* profile, PyObject* artifact, PyObject* manifest) {
    if (!own_function(env, env.s.skill_allowed, kSkillAllowed) ||
        !own_function(env, env.s.profile_key, kProfileKey) ||
        !PyUnicode_CheckExact(profile) || !PyUnicode_CheckExact(artifact))
      return 0;
    if (is_unrestricted(env, profile)) {
      everything_ = true;
      return 1;
    }
    if (!PyDict_CheckExact(manifest) || PyDict_GET_SIZE(manifest) == 0) return 0;
    // The table _profile_key reads, as it reads it.
    PyObject* table = PyDict_GetItem(env.globals, env.s.PROFILE_KEYS);
    if (!table || !PyDict_CheckExact(table)) return 0;
    PyObject* keys = PyDict_GetItemWithError(table, profile);
    if (!keys && PyErr_Occurred()) return -1;
    if (keys && !PyDict_CheckExact(keys)) return 0;
    Ref key = env.call_own(env.s.profile_key, kProfileKey, {profile, artifact});
    if (!key) return -1;
    if (key.get() == Py_None) {
      everything_ = true;
      return 1;
    }
    if (!PyUnicode_CheckExact(key.get())) return 0;
    PyObject* defaults = PyDict_GetItemWithError(manifest, env.s.default_);
    PyObject* skills = defaults || !PyErr_Occurred()
                           ? PyDict_GetItemWithError(manifest, env.s.skills)
                           : nullptr;
    if (PyErr_Occurred()) return -1;
    if ((defaults && !PyDict_CheckExact(defaults)) || (skills && !PyDict_CheckExact(skills)))
      return 0;
    PyObject* fallback = defaults ? PyDict_GetItemWithError(defaults, key.get()) : nullptr;
    if (!fallback && PyErr_Occurred()) return -1;
    fallback_ = Ref::borrow(fallback ? fallback : Py_False);
    skills_ = Ref::borrow(skills);
    key_ = std::move(key);
    return 1;
  }

  // Whether the Skill `name` (an exact str) is admitted: 1, 0, -1 with an
  // exception set, or no value when skill_allowed must be asked.
  std::optional<int> admits(PyObject* name) const {
    if (everything_) return 1;
    PyObject* value = fallback_.get();
    if (skills_) {
      PyObject* entry = PyDict_GetItemWithError(skills_.get(), name);
      if (!entry && PyErr_Occurred()) return -1;
      if (entry && PyDict_Check(entry)) {
        if (!PyDict_CheckExact(entry)) return std::nullopt;
        PyObject* own = PyDict_GetItemWithError(entry, key_.get());
        if (!own && PyErr_Occurred()) return -1;
        if (own) value = own;
      }
    }
    if (!plain_truth(value)) return std::nullopt;
    return truth(value);
  }

 private:
  bool everything_ = false;
  Ref key_, fallback_, skills_;
};

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
  int unrestricted = is_unrestricted(env, profile.get());
  if (unrestricted < 0) return nullptr;
  Ref manifest = unrestricted ? Ref::none() : call_load_release_manifest(env, root.get());
  if (!manifest) return nullptr;

  // 4. Each Skill directory that skill_allowed admits, in listing order.
  // The module's own listing of an eligible root gives the names without a
  // path object per directory; other paths' names are read from their
  // parts where the class is pathlib's own, and the module's own
  // skill_allowed runs without the call machinery.
  Ref dirs;
  fast::Native listed;
  if (own_function(env, env.s.list_template_dirs, kListTemplateDirs)) {
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
  const bool intact = seam::intact(env.seam, PyDict_GetItem(env.globals, env.s.Path));
  auto* plain = reinterpret_cast<PyTypeObject*>(env.seam.concrete.get());

  Ref it = Ref::steal(PyObject_GetIter(dirs.get()));
  if (!it) return nullptr;
  Ref names = Ref::steal(PyList_New(0));
  if (!names) return nullptr;
  // With names from the module's own listing no Python code runs between
  // two Skills either, so the question may be prepared once.
  Admission admission;
  int prepared = names_only ? 2 : 0;  // 2: not yet, at the first Skill
  while (Ref dir = Ref::steal(PyIter_Next(it.get()))) {
    Ref name = names_only                                ? Ref::borrow(dir.get())
               : intact && Py_TYPE(dir.get()) == plain ? seam::name_of(env.seam, dir.get())
                                                       : attr(dir.get(), env.s.name);
    if (!name) return nullptr;
    if (prepared == 2) {
      prepared = admission.prepare(env, profile.get(), artifact, manifest.get());
      if (prepared < 0) return nullptr;
    }
    std::optional<int> keep;
    if (prepared == 1) keep = admission.admits(name.get());
    if (!keep) {
      Ref allowed = env.call_own(
          env.s.skill_allowed, kSkillAllowed,
          {name.get(), profile.get(), artifact, manifest.get(), root.get()},
          env.s.kw_skill_allowed);
      if (!allowed) return nullptr;
      keep = truth(allowed.get());
      // skill_allowed ran Python code: nothing prepared holds any more.
      prepared = 0;
    }
    if (*keep < 0) return nullptr;
    if (*keep && PyList_Append(names.get(), name.get()) < 0) return nullptr;
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


int is_unrestricted(const Env& env, PyObject* profile) {
  if (PyUnicode_CheckExact(profile))
    return same_str(profile, env.s.dev) || same_str(profile, env.s.internal);
  int dev = PyObject_RichCompareBool(profile, env.s.dev, Py_EQ);
  if (dev != 0) return dev;
  return PyObject_RichCompareBool(profile, env.s.internal, Py_EQ);
}

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
