// Skill directory resolution.
//
// Each function reads the environment and the file system afresh; nothing is
// cached. The environment is reached only through the module's `os.environ`
// and paths are built only with the module's `Path`, so a test (or a caller)
// that rebinds either sees its replacement used.
#include "directories.hpp"

#include "nativefs.hpp"
#include "pysemantics.hpp"

namespace zavrik {
namespace {

constexpr const char kCentralDoc[] =
    "返回跨平台中央 Skills 存储目录。\n"
    "\n"
    "    macOS / Linux : ~/.zavrik/skills/\n"
    "    Windows       : %LOCALAPPDATA%\\zavrik\\skills\\\n"
    "    环境变量 ZAVRIK_CENTRAL_SKILLS_DIR 可覆盖（测试隔离用）。\n"
    "    ";

constexpr const char kBuiltinDoc[] =
    "返回当前运行环境中的内置 Skill 模板目录。\n"
    "\n"
    "    普通 Python 包、PyInstaller onefile 和测试覆盖都通过这个函数解析路径，\n"
    "    避免业务代码直接依赖固定的 __file__ 相对路径。\n"
    "    ";

constexpr const char kListDoc[] = "列出模板根目录下所有 Skill 目录。";

// Path(value).expanduser()
Ref expanded_path(const Env& env, PyObject* value) {
  Ref path = env.call_global(env.s.Path, {value});
  if (!path) return {};
  return call_method(path.get(), env.s.expanduser);
}

// base / a / b
Ref join2(PyObject* base, PyObject* a, PyObject* b) {
  Ref first = Ref::steal(PyNumber_TrueDivide(base, a));
  if (!first) return {};
  return Ref::steal(PyNumber_TrueDivide(first.get(), b));
}

// Path.home()
Ref home(const Env& env) {
  Ref path_type = env.global(env.s.Path);
  if (!path_type) return {};
  return call_method(path_type.get(), env.s.home);
}

PyObject* get_central_skills_dir(const Env& env, PyObject* const*) {
  // 1-2. The override, when set and not blank.
  Ref override_dir = environ_stripped(env, env.s.central_env);
  if (!override_dir) return nullptr;
  int set = truth(override_dir.get());
  if (set < 0) return nullptr;
  if (set) return expanded_path(env, override_dir.get()).release();

  // 3. Windows: %LOCALAPPDATA%\zavrik\skills, or the home directory's.
  Ref sys = env.global(env.s.sys);
  if (!sys) return nullptr;
  Ref platform = attr(sys.get(), env.s.platform);
  if (!platform) return nullptr;
  int windows = equals(platform.get(), env.s.win32);
  if (windows < 0) return nullptr;
  if (windows) {
    Ref local = environ_stripped(env, env.s.localappdata);
    if (!local) return nullptr;
    int has_local = truth(local.get());
    if (has_local < 0) return nullptr;
    Ref base = has_local ? env.call_global(env.s.Path, {local.get()}) : home(env);
    if (!base) return nullptr;
    return join2(base.get(), env.s.zavrik, env.s.skills).release();
  }

  // 4. Everywhere else: ~/.zavrik/skills.
  Ref base = home(env);
  if (!base) return nullptr;
  return join2(base.get(), env.s.dot_zavrik, env.s.skills).release();
}

PyObject* get_builtin_templates_dir(const Env& env, PyObject* const*) {
  // 1. The override, when set and not blank.
  Ref override_dir = environ_stripped(env, env.s.builtin_env);
  if (!override_dir) return nullptr;
  int set = truth(override_dir.get());
  if (set < 0) return nullptr;
  if (set) return expanded_path(env, override_dir.get()).release();

  // 2. getattr(sys, "_MEIPASS", None)
  Ref sys = env.global(env.s.sys);
  if (!sys) return nullptr;
  Ref meipass;
  const int has_meipass = optional_attr(sys.get(), env.s.meipass, &meipass);
  if (has_meipass < 0) return nullptr;
  if (!has_meipass) meipass = Ref::none();

  // 3. The frozen build's unpacked templates, when they are there.
  int frozen = truth(meipass.get());
  if (frozen < 0) return nullptr;
  if (frozen) {
    Ref base = env.call_global(env.s.Path, {meipass.get()});
    if (!base) return nullptr;
    Ref below = join2(base.get(), env.s.zavrik, env.s.skills);
    if (!below) return nullptr;
    Ref bundled = Ref::steal(PyNumber_TrueDivide(below.get(), env.s.templates));
    if (!bundled) return nullptr;
    Ref there = call_method(bundled.get(), env.s.exists);
    if (!there) return nullptr;
    int exists = truth(there.get());
    if (exists < 0) return nullptr;
    if (exists) return bundled.release();
  }

  // 4. The directory beside the module's own file.
  Ref path_type = env.global(env.s.Path);
  if (!path_type) return nullptr;
  Ref file = env.global(env.s.dunder_file);
  if (!file) return nullptr;
  Ref module_path = call(path_type.get(), {file.get()});
  if (!module_path) return nullptr;
  Ref resolved = call_method(module_path.get(), env.s.resolve);
  if (!resolved) return nullptr;
  Ref parent = attr(resolved.get(), env.s.parent);
  if (!parent) return nullptr;
  return PyNumber_TrueDivide(parent.get(), env.s.templates);
}

PyObject* list_template_dirs(const Env& env, PyObject* const* args) {
  // 1. The root.
  Ref root = resolve_templates_root(env, args[0]);
  if (!root) return nullptr;

  const int native = fast::ready(env, root.get());
  if (native < 0) return nullptr;
  if (native) {
    if (fast::Native dirs = fast::list_template_dirs(env, root.get())) return dirs->release();
  }

  // 2. A root that does not exist has no Skills.
  Ref there = call_method(root.get(), env.s.exists);
  if (!there) return nullptr;
  int exists = truth(there.get());
  if (exists < 0) return nullptr;
  if (!exists) return PyList_New(0);

  // 3. Every entry that is a directory, in listing order.
  Ref listing = call_method(root.get(), env.s.iterdir);
  if (!listing) return nullptr;
  Ref it = Ref::steal(PyObject_GetIter(listing.get()));
  if (!it) return nullptr;
  Ref dirs = Ref::steal(PyList_New(0));
  if (!dirs) return nullptr;
  while (Ref entry = Ref::steal(PyIter_Next(it.get()))) {
    Ref is_dir = call_method(entry.get(), env.s.is_dir);
    if (!is_dir) return nullptr;
    int keep = truth(is_dir.get());
    if (keep < 0) return nullptr;
    if (keep && PyList_Append(dirs.get(), entry.get()) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;

  // 4. Sorted by the entries' own ordering.
  if (PyList_Sort(dirs.get()) < 0) return nullptr;
  return dirs.release();
}

constexpr ParamDef kListParams[] = {
    {.name = "templates_dir", .annotation = "Path | None"},
};

}  // namespace

Ref environ_stripped(const Env& env, PyObject* variable) {
  Ref os = env.global(env.s.os);
  if (!os) return {};
  Ref mapping = attr(os.get(), env.s.environ_);
  if (!mapping) return {};
  Ref getter = attr(mapping.get(), env.s.get);
  if (!getter) return {};
  // The name is evaluated after the method, as in Python's call.
  Ref name = variable ? Ref::borrow(variable) : env.global(env.s.PROFILE_ENV);
  if (!name) return {};
  Ref value = call(getter.get(), {name.get(), env.s.empty});
  if (!value) return {};
  return call_method(value.get(), env.s.strip);
}

Ref resolve_templates_root(const Env& env, PyObject* templates_dir) {
  int given = truth(templates_dir);
  if (given < 0) return {};
  if (given) return Ref::borrow(templates_dir);
  return env.call_global(env.s.get_builtin_templates_dir, {});
}

Ref call_list_template_dirs(const Env& env, PyObject* root) {
  return env.call_global(env.s.list_template_dirs, {root});
}

const FunctionDef kGetCentralSkillsDir = {
    .name = "get_central_skills_dir",
    .doc = kCentralDoc,
    .return_annotation = "Path",
    .body = get_central_skills_dir,
};

const FunctionDef kGetBuiltinTemplatesDir = {
    .name = "get_builtin_templates_dir",
    .doc = kBuiltinDoc,
    .return_annotation = "Path",
    .body = get_builtin_templates_dir,
};

const FunctionDef kListTemplateDirs = {
    .name = "list_template_dirs",
    .doc = kListDoc,
    .return_annotation = "list[Path]",
    .params = kListParams,
    .body = list_template_dirs,
};

}  // namespace zavrik
