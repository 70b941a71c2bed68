// Packaging operations.
//
// Deletion is the one change this module ever makes to disk, so the rules
// for it are strict: a symbolic link is removed as a link and never
// descended into, whether it points at a directory or a file, inside or
// outside the tree, or nowhere. `_remove_tree` applies that rule at its
// entry, which covers the junk sweep and pruning too, since both remove
// directories only through `_remove_tree`.
//
// Every callee (`_remove_tree`, `_is_packable_file`, `list_template_dirs`,
// ...) is looked up in the module namespace at the moment of the call, so a
// replacement bound on the module takes effect for the callers as well.
#include "operations.hpp"

#include <optional>
#include <string>

#include "directories.hpp"
#include "manifest.hpp"
#include "nativefs.hpp"
#include "profiles.hpp"
#include "pysemantics.hpp"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace zavrik {
namespace {

constexpr const char kPruneDoc[] =
    "删除目标模板目录中不允许进入当前产物的 Skill。\n"
    "\n"
    "    返回被保留的 Skill 名称列表。\n"
    "    ";

constexpr const char kCollectDoc[] =
    "返回 PyInstaller datas 兼容的模板文件列表。\n"
    "\n"
    "    每个元素为 (source_file, destination_dir)，destination_dir 保持\n"
    "    zavrik/skills/templates/<skill-name>/... 结构。\n"
    "    ";

// obj.method() used as a condition.
int ask(PyObject* obj, PyObject* method) {
  Ref answer = call_method(obj, method);
  return answer ? truth(answer.get()) : -1;
}

// list(obj.method(arg))
Ref listing(PyObject* obj, PyObject* method, PyObject* arg) {
  Ref result = arg ? call_method(obj, method, {arg}) : call_method(obj, method);
  return result ? Ref::steal(PySequence_List(result.get())) : Ref();
}

// Whether `path` is a symbolic link. An object without `is_symlink` is not a
// file-system path of the platform, and so cannot be one.
int is_link(const Env& env, PyObject* path) {
  Ref method;
  const int found = optional_attr(path, env.s.is_symlink, &method);
  if (found <= 0) return found;
  Ref answer = call(method.get(), {});
  return answer ? truth(answer.get()) : -1;
}

// The file-system text of a path-like object: 1 with it in `*out`, 0 for
// an object that is no file-system path (or one the system cannot name),
// -1 with the exception its __fspath__ raised.
int fs_text(PyObject* path, std::string* out) {
  Maybe fspath = fspath_of(path);
  if (!fspath) return 0;
  if (!*fspath) return -1;
  Maybe bytes = fsencode_or_refused(fspath->get());
  if (!bytes) return 0;
  if (!*bytes) return -1;
  out->assign(PyBytes_AS_STRING(bytes->get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes->get())));
  return 1;
}

// The guard of a deletion made method by method.
//
// Such a deletion names every entry by its full path, through the path
// object's own methods, so a directory on the way that is swapped for a
// link between two steps would lead it out of the tree. Before each
// deletion, and in every removal it nests, the guard checks with the
// system's own calls on the entry's text that the root still names the
// directory it named when the call began and that no directory between the
// root and the entry is a link (or a ".." that leaves it); an entry that
// fails is not deleted, as the native walks never follow what was swapped
// in. What remains is the moment between that check and the object's own
// deleting call.
class Guard {
 public:
  // Notes what `root` names now. false with the exception its
  // __fspath__ raised.
  bool begin(PyObject* root) {
    known_ = false;
    const int text = fs_text(root, &root_);
    if (text <= 0) return text == 0;
#if !defined(_WIN32)
    struct stat st;
    if (stat(root_.c_str(), &st) == 0) {
      known_ = true;
      dev_ = static_cast<unsigned long long>(st.st_dev);
      ino_ = static_cast<unsigned long long>(st.st_ino);
    }
#endif
    return true;
  }

  // Whether `entry` still lies in that tree: 1, 0, or -1 with an
  // exception set.
  int holds(PyObject* entry) const {
    if (!known_) return 1;  // nothing that can be held to
#if defined(_WIN32)
    static_cast<void>(entry);
    return 1;
#else
    struct stat st;
    if (stat(root_.c_str(), &st) != 0 || static_cast<unsigned long long>(st.st_dev) != dev_ ||
        static_cast<unsigned long long>(st.st_ino) != ino_)
      return 0;
    std::string text;
    const int found = fs_text(entry, &text);
    if (found <= 0) return found;
    // The entry's own components below the root (none to check where its
    // text does not continue the root's).
    std::string prefix = root_ == "." ? std::string() : root_;
    if (!prefix.empty() && prefix.back() != '/') prefix += '/';
    if (text.compare(0, prefix.size(), prefix) != 0 || (prefix.empty() && text[0] == '/'))
      return 1;
    for (size_t at = prefix.size(), slash; (slash = text.find('/', at)) != std::string::npos;
         at = slash + 1) {
      if (text.compare(at, slash - at, "..") == 0) return 0;
      const std::string dir = text.substr(0, slash);  // no trailing "/": that would follow a link
      if (lstat(dir.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return 0;
    }
    return text.compare(text.rfind('/') + 1, std::string::npos, "..") != 0;
#endif
  }

 private:
  bool known_ = false;
  std::string root_;
  [[maybe_unused]] unsigned long long dev_ = 0, ino_ = 0;  // unread on Windows
};

PyObject* remove_tree_guarded(const Env& env, PyObject* path, const Guard& guard);
PyObject* sweep_guarded(const Env& env, PyObject* root, const Guard& guard);

// `_remove_tree(path)` from a removal the guard watches: the module's own
// function goes on under the same guard, a replacement is called as it is.
Ref remove_child_tree(const Env& env, PyObject* path, const Guard& guard) {
  Ref callable = env.global(env.s.remove_tree);
  if (!callable) return {};
  if (!is_own_function(callable.get(), kRemoveTree, env.globals))
    return Env::call_as(callable.get(), kRemoveTree, {path});
  return Ref::steal(remove_tree_guarded(env, path, guard));
}

PyObject* is_packable_file(const Env& env, PyObject* const* args) {
  PyObject* path = args[0];
  // 1. Only existing regular files (links followed).
  int file = ask(path, env.s.is_file);
  if (file < 0) return nullptr;
  if (!file) Py_RETURN_FALSE;
  // 2. Stray Finder metadata.
  Ref name = attr(path, env.s.name);
  if (!name) return nullptr;
  int ds_store = equals(name.get(), env.s.ds_store);
  if (ds_store < 0) return nullptr;
  if (ds_store) Py_RETURN_FALSE;
  // 3. Compiled bytecode.
  Ref suffix = attr(path, env.s.suffix);
  if (!suffix) return nullptr;
  for (PyObject* compiled : std::initializer_list<PyObject*>{env.s.pyc, env.s.pyo}) {
    int match = PyObject_RichCompareBool(suffix.get(), compiled, Py_EQ);
    if (match < 0) return nullptr;
    if (match) Py_RETURN_FALSE;
  }
  // 4. Anything inside a cache directory, anywhere along the path.
  Ref parts = attr(path, env.s.parts);
  if (!parts) return nullptr;
  int cached = PySequence_Contains(parts.get(), env.s.pycache);
  if (cached < 0) return nullptr;
  return PyBool_FromLong(!cached);
}

// Whether `path` may be removed natively: the module's own `_remove_tree`
// is the one every nested removal would call, and the path is one the
// native walks know. 1, 0, -1.
int removes_natively(const Env& env, PyObject* path) {
  const int own = own_function(env, env.s.remove_tree, kRemoveTree);
  return own <= 0 ? own : fast::ready(env, path);
}

PyObject* remove_tree_guarded(const Env& env, PyObject* path, const Guard& guard) {
  const int native = removes_natively(env, path);
  if (native < 0) return nullptr;
  if (native) {
    if (fast::Native done = fast::remove_tree(env, path)) return done->release();
  }

  // A link is removed as a link: never descend into what it points at.
  int link = is_link(env, path);
  if (link < 0) return nullptr;
  if (link) return call_method(path, env.s.unlink).release();

  // Each level of the tree is one nested call; the interpreter's recursion
  // limit turns a pathologically deep tree into RecursionError instead of
  // exhausting the C stack.
  if (Py_EnterRecursiveCall(" while removing a directory tree")) return nullptr;
  struct Leave {
    ~Leave() {
      if (Ref::may_touch_interpreter()) Py_LeaveRecursiveCall();
    }
  } leave;

  // 1. Children first, in listing order.
  Ref entries = call_method(path, env.s.iterdir);
  if (!entries) return nullptr;
  Ref it = Ref::steal(PyObject_GetIter(entries.get()));
  if (!it) return nullptr;
  while (Ref child = Ref::steal(PyIter_Next(it.get()))) {
    // The directory may have been swapped for a link since it was listed:
    // then its entries lie outside the tree, and only the link goes.
    link = is_link(env, path);
    if (link < 0) return nullptr;
    if (link) return call_method(path, env.s.unlink).release();
    int dir = ask(child.get(), env.s.is_dir);
    if (dir < 0) return nullptr;
    const int inside = guard.holds(child.get());
    if (inside < 0) return nullptr;
    if (!inside) continue;
    Ref done = dir ? remove_child_tree(env, child.get(), guard)
                   : call_method(child.get(), env.s.unlink);
    if (!done) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  // 2. Then the directory itself.
  const int inside = guard.holds(path);
  if (inside <= 0) return inside < 0 ? nullptr : Py_NewRef(Py_None);
  return call_method(path, env.s.rmdir).release();
}

PyObject* remove_tree(const Env& env, PyObject* const* args) {
  PyObject* path = args[0];
  Guard guard;
  if (!guard.begin(path)) return nullptr;
  return remove_tree_guarded(env, path, guard);
}

// Whether the sweep of `root` may run natively: it and every callee it
// would call are the module's own. 1, 0, -1.
int sweeps_natively(const Env& env, PyObject* root) {
  const int own = own_function(env, env.s.is_packable_file, kIsPackableFile);
  return own <= 0 ? own : removes_natively(env, root);
}

PyObject* sweep_guarded(const Env& env, PyObject* root, const Guard& guard) {
  // 1. Cache directories, listed in full before any is removed. One inside
  // another that is already gone is no longer a directory and is skipped.
  Ref caches = listing(root, env.s.rglob, env.s.pycache);
  if (!caches) return nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(caches.get()); ++i) {
    PyObject* entry = PyList_GET_ITEM(caches.get(), i);
    int dir = ask(entry, env.s.is_dir);
    if (dir < 0) return nullptr;
    if (!dir) continue;
    const int inside = guard.holds(entry);
    if (inside < 0) return nullptr;
    if (inside && !remove_child_tree(env, entry, guard)) return nullptr;
  }

  // 2. Then every file that is not packable, again listed in full first.
  Ref entries = listing(root, env.s.rglob, env.s.star);
  if (!entries) return nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
    PyObject* entry = PyList_GET_ITEM(entries.get(), i);
    int file = ask(entry, env.s.is_file);
    if (file < 0) return nullptr;
    if (!file) continue;
    Ref packable = env.call_global(env.s.is_packable_file, {entry});
    if (!packable) return nullptr;
    int keep = truth(packable.get());
    if (keep < 0) return nullptr;
    if (keep) continue;
    const int inside = guard.holds(entry);
    if (inside < 0) return nullptr;
    if (inside && !call_method(entry, env.s.unlink)) return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* remove_packaging_junk(const Env& env, PyObject* const* args) {
  PyObject* root = args[0];
  const int native = sweeps_natively(env, root);
  if (native < 0) return nullptr;
  if (native) {
    if (fast::Native done = fast::remove_packaging_junk(env, root)) return done->release();
  }
  Guard guard;
  if (!guard.begin(root)) return nullptr;
  return sweep_guarded(env, root, guard);
}

// The names of the directories `list_template_dirs(target)` returns.
Ref listed_names(const Env& env, PyObject* dirs_list) {
  Ref it = Ref::steal(PyObject_GetIter(dirs_list));
  if (!it) return {};
  Ref names = Ref::steal(PyList_New(0));
  if (!names) return {};
  while (Ref dir = Ref::steal(PyIter_Next(it.get()))) {
    Ref name = attr(dir.get(), env.s.name);
    if (!name || PyList_Append(names.get(), name.get()) < 0) return {};
  }
  if (PyErr_Occurred()) return {};
  return names;
}

// The method path's steps of pruning, each one under the guard.
struct MethodPrune {
  const Env& env;
  PyObject* target;
  Guard guard;

  int exists() { return ask(target, env.s.exists); }
  bool sweep() {
    Ref callable = env.global(env.s.remove_packaging_junk);
    if (!callable) return false;
    if (!is_own_function(callable.get(), kRemovePackagingJunk, env.globals))
      return static_cast<bool>(Env::call_as(callable.get(), kRemovePackagingJunk, {target}));
    return static_cast<bool>(Ref::steal(sweep_guarded(env, target, guard)));
  }
  Ref child_names() {
    Ref dirs = call_list_template_dirs(env, target);
    return dirs ? listed_names(env, dirs.get()) : Ref();
  }
  // Removes every directory of the target whose name is not admitted.
  bool remove_children_except(PyObject* admitted) {
    Ref children = call_method(target, env.s.iterdir);
    if (!children) return false;
    Ref it = Ref::steal(PyObject_GetIter(children.get()));
    if (!it) return false;
    while (Ref child = Ref::steal(PyIter_Next(it.get()))) {
      int dir = ask(child.get(), env.s.is_dir);
      if (dir < 0) return false;
      if (!dir) continue;
      Ref name = attr(child.get(), env.s.name);
      if (!name) return false;
      int keep = PySet_Contains(admitted, name.get());
      if (keep < 0) return false;
      if (keep) continue;
      const int inside = guard.holds(child.get());
      if (inside < 0) return false;
      if (inside && !remove_child_tree(env, child.get(), guard)) return false;
    }
    return !PyErr_Occurred();
  }
  int child_exists(PyObject* name) {
    Ref entry = Ref::steal(PyNumber_TrueDivide(target, name));
    return entry ? ask(entry.get(), env.s.exists) : -1;
  }
};

// The steps of pruning, natively relative to the target opened once where
// it may run so, else method by method; a native step that runs out of
// descriptors is taken the method way.
template <class Steps>
PyObject* prune(const Env& env, Steps& steps, PyObject* profile_arg, PyObject* artifact,
                PyObject* manifest_dir) {
  // 1. Nothing to prune.
  const int exists = steps.exists();
  if (exists < 0) return nullptr;
  if (!exists) return PyList_New(0);

  // 2. Junk goes first, whatever the profile.
  if (!steps.sweep()) return nullptr;

  // 3-4. Unrestricted profiles keep every Skill directory.
  Ref profile = resolve_profile(env, profile_arg);
  if (!profile) return nullptr;
  int unrestricted = is_unrestricted(env, profile.get());
  if (unrestricted < 0) return nullptr;
  if (unrestricted) return steps.child_names().release();

  // 5. The admitted set, complete before anything is removed.
  Ref source_root = resolve_templates_root(env, manifest_dir);
  if (!source_root) return nullptr;
  Ref selected = call_selected_skill_names(env, profile.get(), artifact, source_root.get());
  if (!selected) return nullptr;
  Ref admitted = Ref::steal(PySet_New(selected.get()));
  if (!admitted) return nullptr;

  // 6. Remove every directory of the target that is not admitted.
  if (!steps.remove_children_except(admitted.get())) return nullptr;

  // 7. The admitted names present in the target, in code-point order.
  Ref candidates = Ref::steal(PySequence_List(admitted.get()));
  if (!candidates) return nullptr;
  Ref kept = Ref::steal(PyList_New(0));
  if (!kept) return nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(candidates.get()); ++i) {
    PyObject* name = PyList_GET_ITEM(candidates.get(), i);
    const int there = steps.child_exists(name);
    if (there < 0) return nullptr;
    if (there && PyList_Append(kept.get(), name) < 0) return nullptr;
  }
  if (PyList_Sort(kept.get()) < 0) return nullptr;
  return kept.release();
}

// The native steps of pruning: relative to the target opened once; where a
// step declines (out of descriptors, a name that is no simple component),
// that step is taken the method way.
struct NativePrune {
  fast::Anchor& anchor;
  MethodPrune& method;

  int exists() { return anchor.exists(); }
  bool sweep() {
    fast::Native swept = anchor.sweep();
    return swept ? static_cast<bool>(*swept) : method.sweep();
  }
  Ref child_names() {
    fast::Native names = anchor.child_names();
    return names ? std::move(*names) : method.child_names();
  }
  bool remove_children_except(PyObject* admitted) {
    fast::Native removed = anchor.remove_children_except(admitted);
    return removed ? static_cast<bool>(*removed) : method.remove_children_except(admitted);
  }
  int child_exists(PyObject* name) {
    fast::Native there = anchor.child_exists(name);
    if (!there) return method.child_exists(name);
    return *there ? there->get() == Py_True : -1;
  }
};

// Whether pruning `target` may run natively: it and every callee it would
// call on the target are the module's own. 1, 0, -1.
int prunes_natively(const Env& env, PyObject* target) {
  int own = own_function(env, env.s.remove_packaging_junk, kRemovePackagingJunk);
  if (own > 0) own = own_function(env, env.s.list_template_dirs, kListTemplateDirs);
  return own <= 0 ? own : sweeps_natively(env, target);
}

PyObject* prune_templates_dir(const Env& env, PyObject* const* args) {
  PyObject* target = args[0];
  // What the target is now: each deletion made method by method (the
  // method path's, or a native step's taken that way) checks that it still
  // is.
  MethodPrune method{env, target, {}};
  if (!method.guard.begin(target)) return nullptr;

  // Decided once: the native way opens the target once, and every step
  // below works relative to that descriptor, so renaming or replacing the
  // target meanwhile cannot redirect a deletion.
  const int native = prunes_natively(env, target);
  if (native < 0) return nullptr;
  if (native) {
    fast::Anchor anchor(env);
    fast::Native opened = anchor.open(target);
    if (opened) {
      if (!*opened) return nullptr;
      NativePrune steps{anchor, method};
      return prune(env, steps, args[1], args[2], args[3]);
    }
  }
  return prune(env, method, args[1], args[2], args[3]);
}

// Path("zavrik", "skills", "templates"): where the bundle keeps the templates.
Ref bundle_templates_dir(const Env& env) {
  return env.call_global(env.s.Path, {env.s.bundle_top, env.s.bundle_middle, env.s.bundle_leaf});
}

// datas.append((str(source), str(destination)))
bool append_pair(PyObject* datas, PyObject* source, PyObject* destination) {
  Ref a = Ref::steal(PyObject_Str(source));
  if (!a) return false;
  Ref b = Ref::steal(PyObject_Str(destination));
  if (!b) return false;
  Ref pair = Ref::steal(PyTuple_Pack(2, a.get(), b.get()));
  return pair && PyList_Append(datas, pair.get()) == 0;
}

// Appends the pairs of every packable file of the Skills `names` of `root`,
// Skill by Skill, each Skill's files in path order.
bool collect_files(const Env& env, PyObject* root, PyObject* names, PyObject* datas) {
  Ref it = Ref::steal(PyObject_GetIter(names));
  if (!it) return false;
  while (Ref name = Ref::steal(PyIter_Next(it.get()))) {
    // The packable entries that rglob("*") finds, collected, then sorted.
    Ref skill_dir = Ref::steal(PyNumber_TrueDivide(root, name.get()));
    if (!skill_dir) return false;
    Ref entries = call_method(skill_dir.get(), env.s.rglob, {env.s.star});
    if (!entries) return false;
    Ref walk = Ref::steal(PyObject_GetIter(entries.get()));
    if (!walk) return false;
    Ref files = Ref::steal(PyList_New(0));
    if (!files) return false;
    while (Ref entry = Ref::steal(PyIter_Next(walk.get()))) {
      Ref packable = env.call_global(env.s.is_packable_file, {entry.get()});
      if (!packable) return false;
      int keep = truth(packable.get());
      if (keep < 0) return false;
      if (keep && PyList_Append(files.get(), entry.get()) < 0) return false;
    }
    if (PyErr_Occurred() || PyList_Sort(files.get()) < 0) return false;

    // One pair per file; the destination rebuilds the file's directory.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(files.get()); ++i) {
      PyObject* file = PyList_GET_ITEM(files.get(), i);
      Ref parent = attr(file, env.s.parent);
      if (!parent) return false;
      Ref relative = call_method(parent.get(), env.s.relative_to, {root});
      if (!relative) return false;
      Ref base = bundle_templates_dir(env);
      if (!base) return false;
      Ref destination = Ref::steal(PyNumber_TrueDivide(base.get(), relative.get()));
      if (!destination || !append_pair(datas, file, destination.get())) return false;
    }
  }
  return !PyErr_Occurred();
}

PyObject* collect_skill_datas(const Env& env, PyObject* const* args) {
  PyObject* profile_arg = args[0];
  PyObject* templates_dir = args[1];

  // 1. The root, and whether its files are walked natively (decided once,
  // here).
  Ref root = resolve_templates_root(env, templates_dir);
  if (!root) return nullptr;
  int native = own_function(env, env.s.is_packable_file, kIsPackableFile);
  if (native > 0) native = fast::ready(env, root.get());
  if (native < 0) return nullptr;

  // 2. Admitted names: the bundler's own fallback profile, never the
  // environment's, and always the "binary" artifact.
  int given = truth(profile_arg);
  if (given < 0) return nullptr;
  Ref selected = call_selected_skill_names(
      env, given ? profile_arg : env.s.binary_minimal, env.s.binary, root.get());
  if (!selected) return nullptr;

  // 3-4. Every packable file of each Skill, in path order.
  Ref datas;
  fast::Native walked;
  if (native) walked = fast::collect_skill_datas(env, root.get(), selected.get());
  if (walked) {
    datas = std::move(*walked);
    if (!datas) return nullptr;
  } else {
    datas = Ref::steal(PyList_New(0));
    if (!datas || !collect_files(env, root.get(), selected.get(), datas.get()))
      return nullptr;
  }

  // 5. The manifest last, when it is there.
  Ref filename = env.global(env.s.MANIFEST_FILENAME);
  if (!filename) return nullptr;
  Ref manifest = Ref::steal(PyNumber_TrueDivide(root.get(), filename.get()));
  if (!manifest) return nullptr;
  int there = ask(manifest.get(), env.s.exists);
  if (there < 0) return nullptr;
  if (there) {
    Ref destination = bundle_templates_dir(env);
    if (!destination || !append_pair(datas.get(), manifest.get(), destination.get()))
      return nullptr;
  }
  return datas.release();
}

constexpr ParamDef kPruneParams[] = {
    {.name = "target_templates_dir", .annotation = "Path", .required = true},
    {.name = "profile", .annotation = "str | None", .kind = kKeywordOnly,
     .check = TypeCheck::StrOrNone},
    {.name = "artifact", .annotation = "str", .kind = kKeywordOnly, .required = true,
     .check = TypeCheck::Str},
    {.name = "manifest_templates_dir", .annotation = "Path | None", .kind = kKeywordOnly},
};
constexpr ParamDef kCollectParams[] = {
    {.name = "profile", .annotation = "str | None", .kind = kKeywordOnly,
     .check = TypeCheck::StrOrNone},
    {.name = "templates_dir", .annotation = "Path | None", .kind = kKeywordOnly},
};
constexpr ParamDef kPathParam[] = {
    {.name = "path", .annotation = "Path", .required = true},
};
constexpr ParamDef kRootParam[] = {
    {.name = "root", .annotation = "Path", .required = true},
};

}  // namespace

const FunctionDef kPruneTemplatesDir = {
    .name = "prune_templates_dir",
    .doc = kPruneDoc,
    .return_annotation = "list[str]",
    .params = kPruneParams,
    .body = prune_templates_dir,
};

const FunctionDef kCollectSkillDatas = {
    .name = "collect_skill_datas",
    .doc = kCollectDoc,
    .return_annotation = "list[tuple[str, str]]",
    .params = kCollectParams,
    .body = collect_skill_datas,
};

const FunctionDef kRemoveTree = {
    .name = "_remove_tree",
    .return_annotation = "None",
    .params = kPathParam,
    .body = remove_tree,
};

const FunctionDef kIsPackableFile = {
    .name = "_is_packable_file",
    .return_annotation = "bool",
    .params = kPathParam,
    .body = is_packable_file,
};

const FunctionDef kRemovePackagingJunk = {
    .name = "_remove_packaging_junk",
    .return_annotation = "None",
    .params = kRootParam,
    .body = remove_packaging_junk,
};

}  // namespace zavrik
