// The release manifest: its exception type, loading, and the release check
// of manifest against templates tree.
#pragma once

#include "function.hpp"

namespace zavrik {

extern const FunctionDef kLoadReleaseManifest;
extern const FunctionDef kValidateReleaseManifest;

inline constexpr const char kManifestErrorName[] =
    "zavrik.skills.packaging.SkillReleaseManifestError";
inline constexpr const char kManifestErrorDoc[] = "Skill 发版清单错误。";

// raise SkillReleaseManifestError(message): the class is looked up in the
// module namespace now; `message` is stolen. Always returns nullptr.
PyObject* raise_manifest_error(const Env& env, Ref message);
// The same with a message made from a UTF-8 prefix and `format(value, "")`.
PyObject* raise_manifest_error(const Env& env, const char* prefix, PyObject* value);

// `load_release_manifest(root)` through the module namespace.
Ref call_load_release_manifest(const Env& env, PyObject* root);

}  // namespace zavrik
