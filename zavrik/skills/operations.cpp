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

#include "directories.hpp"
#include "manifest.hpp"
#include "nativefs.hpp"
#include "profiles.hpp"

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
  const int found = compat::get_optional_attr(path, env.s.is_symlink, &method);
  if (found <= 0) return found;
  Ref answer = call(method.get(), {});
  return answer ? truth(answer.get()) : -1;
}

// Whether `entry`, found below `root` by a walk, is still inside the tree:
// none of the directories between them has become a link since the walk
// listed it (a link there would lead the deletion out of the tree).
int still_inside(const Env& env, PyObject* root, const fast::Identity& root_id,
                 PyObject* entry) {
  // The root itself may have been renamed and replaced.
  const int same = fast::still_same(env, root, root_id);
  if (same <= 0) return same;
  Ref root_parts = attr(root, env.s.parts);
  Ref entry_parts = root_parts ? attr(entry, env.s.parts) : Ref();
  if (!entry_parts) return -1;
  const Py_ssize_t outer = PyObject_Size(root_parts.get());
  const Py_ssize_t inner = outer < 0 ? -1 : PyObject_Size(entry_parts.get());
  if (inner < 0) return -1;
  Ref dir = Ref::borrow(entry);
  for (Py_ssize_t level = inner - 1; level > outer; --level) {
    dir = attr(dir.get(), env.s.parent);
    if (!dir) return -1;
    int link = is_link(env, dir.get());
    if (link != 0) return link < 0 ? -1 : 0;
  }
  return 1;
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
  for (PyObject* compiled : {env.s.pyc, env.s.pyo}) {
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

PyObject* remove_tree(const Env& env, PyObject* const* args) {
  PyObject* path = args[0];
  if (fast::Native done = fast::remove_tree(env, path)) return done->release();

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
    Ref done = dir ? env.call_global(env.s.remove_tree, {child.get()})
                   : call_method(child.get(), env.s.unlink);
    if (!done) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  // 2. Then the directory itself.
  return call_method(path, env.s.rmdir).release();
}

PyObject* remove_packaging_junk(const Env& env, PyObject* const* args) {
  PyObject* root = args[0];
  if (fast::Native done = fast::remove_packaging_junk(env, root)) return done->release();

  // What the root is now: every deletion below checks that it still is.
  fast::Identity root_id;
  if (!fast::identify(env, root, &root_id)) return nullptr;

  // 1. Cache directories, listed in full before any is removed. One inside
  // another that is already gone is no longer a directory and is skipped.
  Ref caches = listing(root, env.s.rglob, env.s.pycache);
  if (!caches) return nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(caches.get()); ++i) {
    PyObject* entry = PyList_GET_ITEM(caches.get(), i);
    int dir = ask(entry, env.s.is_dir);
    if (dir < 0) return nullptr;
    if (!dir) continue;
    int inside = still_inside(env, root, root_id, entry);
    if (inside < 0) return nullptr;
    if (inside && !env.call_global(env.s.remove_tree, {entry})) return nullptr;
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
    int inside = still_inside(env, root, root_id, entry);
    if (inside < 0) return nullptr;
    if (inside && !call_method(entry, env.s.unlink)) return nullptr;
  }
  Py_RETURN_NONE;
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

// Removes, method by method, every directory of `target` whose name is not
// admitted.
bool remove_unadmitted(const Env& env, PyObject* target, const fast::Identity& target_id,
                       PyObject* admitted) {
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
    // The target renamed and replaced since it was listed: its entries are
    // no longer the target's.
    const int same = fast::still_same(env, target, target_id);
    if (same < 0) return false;
    if (same && !env.call_global(env.s.remove_tree, {child.get()})) return false;
  }
  return !PyErr_Occurred();
}

PyObject* prune_templates_dir(const Env& env, PyObject* const* args) {
  PyObject* target = args[0];
  PyObject* profile_arg = args[1];
  PyObject* artifact = args[2];
  PyObject* manifest_dir = args[3];

  // The target is opened once, when it is an eligible directory: every step
  // below that runs natively works relative to that descriptor, so renaming
  // or replacing the target meanwhile cannot redirect a deletion.
  fast::Anchor anchor;
  if (!fast::open_anchor(env, target, &anchor)) return nullptr;
  using State = fast::Anchor::State;
  const bool anchored = anchor.state == State::Open;

  // Otherwise what the target is now: each deletion of the method path
  // checks that it still is.
  fast::Identity target_id;
  if (!anchored && !fast::identify(env, target, &target_id)) return nullptr;

  // Nothing to prune.
  if (anchor.state == State::Absent) return PyList_New(0);
  if (anchor.state == State::Declined) {
    int exists = ask(target, env.s.exists);
    if (exists < 0) return nullptr;
    if (!exists) return PyList_New(0);
  }

  // Junk goes first, whatever the profile.
  fast::Native swept;
  if (fast::own_function(env, env.s.remove_packaging_junk, kRemovePackagingJunk))
    swept = fast::sweep(env, anchor);
  if (swept ? !*swept : !env.call_global(env.s.remove_packaging_junk, {target}))
    return nullptr;

  // Unrestricted profiles keep every Skill directory.
  Ref profile = resolve_profile(env, profile_arg);
  if (!profile) return nullptr;
  int unrestricted = is_unrestricted(env, profile.get());
  if (unrestricted < 0) return nullptr;
  if (unrestricted) {
    const bool native = anchored && fast::own_function(env, env.s.list_template_dirs,
                                                       kListTemplateDirs);
    Ref dirs = native ? fast::child_dirs(env, anchor) : call_list_template_dirs(env, target);
    return dirs ? listed_names(env, dirs.get()).release() : nullptr;
  }

  // The admitted set, complete before anything is removed.
  Ref source_root = resolve_templates_root(env, manifest_dir);
  if (!source_root) return nullptr;
  Ref selected =
      call_selected_skill_names(env, profile.get(), artifact, source_root.get());
  if (!selected) return nullptr;
  Ref admitted = Ref::steal(PySet_New(selected.get()));
  if (!admitted) return nullptr;

  // Remove every directory of the target that is not admitted.
  if (anchored && fast::own_function(env, env.s.remove_tree, kRemoveTree)) {
    if (!fast::remove_children_except(env, anchor, admitted.get())) return nullptr;
  } else if (!remove_unadmitted(env, target, target_id, admitted.get())) {
    return nullptr;
  }

  // The admitted names present in the target, in code-point order.
  Ref candidates = Ref::steal(PySequence_List(admitted.get()));
  if (!candidates) return nullptr;
  Ref kept = Ref::steal(PyList_New(0));
  if (!kept) return nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(candidates.get()); ++i) {
    PyObject* name = PyList_GET_ITEM(candidates.get(), i);
    std::optional<int> native;
    if (anchored) native = fast::child_exists(env, anchor, name);
    int there;
    if (native) {
      there = *native;
    } else {
      Ref entry = Ref::steal(PyNumber_TrueDivide(target, name));
      there = entry ? ask(entry.get(), env.s.exists) : -1;
    }
    if (there < 0) return nullptr;
    if (there && PyList_Append(kept.get(), name) < 0) return nullptr;
  }
  if (PyList_Sort(kept.get()) < 0) return nullptr;
  return kept.release();
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

  // 1. The root.
  Ref root = resolve_templates_root(env, templates_dir);
  if (!root) return nullptr;

  // 2. Admitted names: the bundler's own fallback profile, never the
  // environment's, and always the "binary" artifact.
  int given = truth(profile_arg);
  if (given < 0) return nullptr;
  Ref selected = call_selected_skill_names(
      env, given ? profile_arg : env.s.binary_minimal, env.s.binary, root.get());
  if (!selected) return nullptr;

  // 3-4. Every packable file of each Skill, in path order.
  Ref datas;
  if (fast::Native native = fast::collect_skill_datas(env, root.get(), selected.get())) {
    datas = std::move(*native);
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
