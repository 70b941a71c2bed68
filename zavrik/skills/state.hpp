// The module's state: the vocabulary its bodies use and what the native
// engine knows of pathlib, owned together by one capsule that every
// function object holds.
#pragma once

#include "pathseam.hpp"
#include "pyref.hpp"
#include "rules.hpp"

namespace zavrik {

// A string (or tuple of strings) of the module's vocabulary: owned as a
// Ref, handed to the C API as the borrowed pointer it takes.
class Interned {
 public:
  operator PyObject*() const noexcept { return ref_.get(); }  // NOLINT: implicit by design
  void reset(Ref ref) { ref_ = std::move(ref); }

 private:
  Ref ref_;
};

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
  X(environ_, "environ")                                          \
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
  X(bundle_top, rules::kBundleTop)                                \
  X(bundle_middle, rules::kBundleMiddle)                          \
  X(bundle_leaf, rules::kBundleLeaf)

struct Names {
#define ZAVRIK_NAME_FIELD(field, ...) Interned field;
  ZAVRIK_NAMES(ZAVRIK_NAME_FIELD)
#undef ZAVRIK_NAME_FIELD
  // The keyword names of the calls the bodies make.
  Interned kw_encoding;       // (encoding,)
  Interned kw_skill_allowed;  // (profile, artifact, manifest, templates_dir)
  Interned kw_selected;       // (profile, artifact, templates_dir)
};

struct State {
  Names names;
  seam::PathSeam seam;
};

// A new state, owned by the returned capsule (`*out` points into it): the
// names interned and the seam captured. Empty with an exception set.
Ref new_state(const State** out);

}  // namespace zavrik
