// Where Skills live on disk: the central store, the built-in templates root
// and the Skill directories of a templates root.
#pragma once

#include "function.hpp"

namespace zavrik {

extern const FunctionDef kGetCentralSkillsDir;
extern const FunctionDef kGetBuiltinTemplatesDir;
extern const FunctionDef kListTemplateDirs;

// os.environ.get(variable, "").strip() through the module's `os`: the one
// reader of the environment. With a null `variable`, the name is the
// module's PROFILE_ENV, looked up at the moment Python would look it up.
Ref environ_stripped(const Env& env, PyObject* variable);

// `templates_dir or get_builtin_templates_dir()`: the root a call works on.
Ref resolve_templates_root(const Env& env, PyObject* templates_dir);

// `list_template_dirs(root)` through the module namespace.
Ref call_list_template_dirs(const Env& env, PyObject* root);

}  // namespace zavrik
