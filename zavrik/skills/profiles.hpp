// Build profiles, profile keys and the admission decision.
#pragma once

#include "function.hpp"

namespace zavrik {

extern const FunctionDef kCurrentProfile;
extern const FunctionDef kProfileKey;
extern const FunctionDef kSkillAllowed;
extern const FunctionDef kSelectedSkillNames;

// 1 when `profile` is "dev" or "internal" (compared in that order), 0 when
// not, -1 on error.
int is_unrestricted(const Env& env, PyObject* profile);

// `value or current_profile()`.
Ref resolve_profile(const Env& env, PyObject* value);

// selected_skill_names(profile=..., artifact=..., templates_dir=...) through
// the module namespace.
Ref call_selected_skill_names(const Env& env, PyObject* profile, PyObject* artifact,
                              PyObject* root);

}  // namespace zavrik
