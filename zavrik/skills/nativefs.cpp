// The boundary between the module's operations and the native walker
// (see nativefs.hpp, walker.hpp).
//
// Three kinds of work happen here, each with the GIL in a known state:
// - with the GIL: deciding eligibility, turning paths into file-system bytes
//   and walker results into path objects, raising failures as OSError;
// - without it: the walker's system calls, run through `released`, which
//   retakes the GIL every few milliseconds to let signal handlers run and
//   stops the walk when one raises;
// - never in a destructor: the GIL is taken back by plain calls, so that a
//   thread unwound by the interpreter at exit meets no C++ frame that turns
//   the unwinding into std::terminate.
#include "nativefs.hpp"

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "directories.hpp"
#include "operations.hpp"
#include "pysemantics.hpp"
#include "rules.hpp"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace zavrik::fast {
namespace {

// pathlib attributes the native code stands in for: a class that overrides
// any of them takes the method path.
[[maybe_unused]] constexpr const char* kPathAttributes[] = {
    "exists",  "iterdir",  "is_dir",  "is_file",  "is_symlink", "unlink",
    "rmdir",   "rglob",    "stat",    "lstat",    "_scandir",   "_make_child_relpath",
    "_from_parsed_parts",  "_format_parsed_parts",  "_parse_args", "_make_child",
    "__truediv__",  "__str__",  "__fspath__",  "__lt__",  "__eq__",  "__hash__",
    "relative_to",  "parent",  "name",  "suffix",  "parts",  "_cparts",  "_flavour",
};
// os functions pathlib calls for those.
[[maybe_unused]] constexpr const char* kOsFunctions[] = {"stat", "lstat", "listdir", "scandir",
                                        "unlink", "rmdir", "fspath"};

PyObject*& slot(PyObject* obj, Py_ssize_t offset) {
  return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
}

// Whether the parts of a path object are all set, as pathlib sets them.
bool parts_set(const Names& s, PyObject* path) {
  PyObject* drv = slot(path, s.slot_drv);
  PyObject* root = slot(path, s.slot_root);
  PyObject* parts = slot(path, s.slot_parts);
  return drv && root && parts && PyUnicode_CheckExact(drv) && PyUnicode_CheckExact(root) &&
         PyList_CheckExact(parts);
}

// Whether every attribute the native code stands in for resolves, on
// `type`, to pathlib's own.
bool type_unchanged(const Names& s, PyTypeObject* type) {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(s.path_originals); ++i) {
    PyObject* pair = PyTuple_GET_ITEM(s.path_originals, i);
    if (compat::type_lookup(type, PyTuple_GET_ITEM(pair, 0)) != PyTuple_GET_ITEM(pair, 1))
      return false;
  }
  return true;
}

Ref decode(std::string_view bytes) {
  return Ref::steal(PyUnicode_DecodeFSDefaultAndSize(
      bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

// The file-system form of an eligible path: 1 with it in `*out`, 0 where
// the methods would refuse the path with ValueError (unencodable, embedded
// NUL) and the method path must run, -1 with an exception set.
int fs_path(PyObject* path, std::string* out) {
  Ref text = Ref::steal(PyObject_Str(path));
  if (!text) return -1;
  Ref bytes = Ref::steal(PyUnicode_EncodeFSDefault(text.get()));
  if (!bytes) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  const std::string_view view(PyBytes_AS_STRING(bytes.get()),
                              static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
  if (view.find('\0') != std::string_view::npos) return 0;
  out->assign(view);
  return 1;
}

// A path object `base` / components, built as `_make_child_relpath` builds
// it: the same class, drive and root, the parts list extended by
// `extend(list)` (which returns false with an exception set).
template <class Extend>
Ref extended_path(const Names& s, PyObject* base, Extend&& extend) {
  PyObject* parts = slot(base, s.slot_parts);
  Ref extended = Ref::steal(PyList_GetSlice(parts, 0, PyList_GET_SIZE(parts)));
  if (!extended || !extend(extended.get())) return {};
  PyTypeObject* type = Py_TYPE(base);
  Ref path = Ref::steal(type->tp_alloc(type, 0));
  if (!path) return {};
  slot(path.get(), s.slot_drv) = Py_NewRef(slot(base, s.slot_drv));
  slot(path.get(), s.slot_root) = Py_NewRef(slot(base, s.slot_root));
  slot(path.get(), s.slot_parts) = extended.release();
  return path;
}

// `base` / the str components.
[[maybe_unused]] Ref make_path(const Names& s, PyObject* base,
                                 std::initializer_list<PyObject*> components) {
  return extended_path(s, base, [&](PyObject* parts) {
    for (PyObject* c : components)
      if (PyList_Append(parts, c) < 0) return false;
    return true;
  });
}

// `base` / the byte components `below`, decoded.
[[maybe_unused]] Ref path_below(const Names& s, PyObject* base,
                                  const std::vector<std::string>& below) {
  if (below.empty()) return Ref::borrow(base);
  return extended_path(s, base, [&](PyObject* parts) {
    for (const std::string& c : below) {
      Ref name = decode(c);
      if (!name || PyList_Append(parts, name.get()) < 0) return false;
    }
    return true;
  });
}

int audit_rglob(PyObject* path, PyObject* pattern) {
  return PySys_Audit("pathlib.Path.rglob", "OO", path, pattern);
}

// Whether "__pycache__" is among the parts of an eligible path.
int cached_path(const Names& s, PyObject* path) {
  return PySequence_Contains(slot(path, s.slot_parts), s.pycache);
}

size_t depth_limit() {
  const int limit = Py_GetRecursionLimit();
  return limit > 0 ? static_cast<size_t>(limit) : 1;
}

#if !defined(_WIN32)

// The file-system bytes of `path` when it may be handled natively: 1 with
// them in `*out`, 0 when the method path must run, -1 with an exception.
int eligible_bytes(const Env& env, PyObject* path, std::string* out) {
  const int ok = eligible(env, path);
  return ok <= 0 ? ok : fs_path(path, out);
}

// The Native answer of an entry point that stopped before doing anything:
// declined, or failed with the exception set.
Native not_done(int ok) { return ok < 0 ? Native(Ref()) : std::nullopt; }

// Raises a walker failure as the methods would: an OSError of the errno's
// class whose filename is the text of the path concerned (os functions
// report the `os.fspath()` of the path they were given). An interruption's
// exception is already set.
Ref raise_failure(const Names& s, PyObject* base, const walk::Failure& f) {
  switch (f.kind) {
    case walk::Failure::Kind::None:
    case walk::Failure::Kind::Interrupted:
      return {};
    case walk::Failure::Kind::TooDeep:
      PyErr_SetString(PyExc_RecursionError,
                      "maximum recursion depth exceeded while removing a directory tree");
      return {};
    case walk::Failure::Kind::Errno:
      break;
  }
  Ref path = path_below(s, base, f.below);
  if (!path) return {};
  Ref text = Ref::steal(PyObject_Str(path.get()));
  if (!text) return {};
  errno = f.err;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, text.get());
  return {};
}

// The state of a walk run without the GIL.
struct Unlocked {
  PyThreadState* thread;

  // Retakes the GIL for a moment to run pending signal handlers; true (with
  // the handler's exception set) when one raised.
  static bool check(void* context) {
    auto* self = static_cast<Unlocked*>(context);
    PyEval_RestoreThread(self->thread);
    const bool stop = PyErr_CheckSignals() < 0;
    self->thread = PyEval_SaveThread();
    return stop;
  }
};

// Runs `work(poll)` without the GIL and returns its failure. The work
// touches no Python object; it is offered to stop every few milliseconds.
// Memory exhaustion inside it ends it with ENOMEM.
template <class Work>
walk::Failure released(Work&& work) {
  Unlocked unlocked{PyEval_SaveThread()};
  walk::Poll poll(&Unlocked::check, &unlocked);
  walk::Failure failure;
  try {
    failure = work(poll);
  } catch (const std::bad_alloc&) {
    failure = walk::Failure::at(ENOMEM);
  }
  PyEval_RestoreThread(unlocked.thread);
  return failure;
}

// The result of an operation that returns None.
Ref none_or_raise(const Names& s, PyObject* base, const walk::Failure& f) {
  return f ? raise_failure(s, base, f) : Ref::none();
}

// A list of the children `names` of `base`, as path objects.
Ref child_paths(const Names& s, PyObject* base, const std::vector<std::string>& names) {
  Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
  if (!result) return {};
  for (size_t i = 0; i < names.size(); ++i) {
    Ref name = decode(names[i]);
    if (!name) return {};
    Ref child = make_path(s, base, {name.get()});
    if (!child) return {};
    PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), child.release());
  }
  return result;
}

// The sub-directories of a directory, sorted by name. With `name`, the
// directory is `at`/`name` and may be missing (no names then); without,
// `at` is the directory (from walk::open_base). false: raised, for `base`.
bool sorted_dirs(const Names& s, PyObject* base, int at, const char* name,
                 std::vector<std::string>* names) {
  walk::Failure f = released([&](walk::Poll& poll) {
    walk::Fd opened;
    int fd = at;
    if (name) {
      struct stat st;
      if (fstatat(at, name, &st, 0) != 0)
        return walk::ignored(errno) ? walk::Failure() : walk::Failure::at(errno);
      if (const int err = walk::open_base(at, name, &opened)) return walk::Failure::at(err);
      fd = opened.get();
    }
    walk::Failure failure = walk::list_dirs(fd, names, poll);
    if (!failure) walk::sort_names(names);
    return failure;
  });
  if (f) raise_failure(s, base, f);
  return !f;
}

// list_template_dirs of a directory, as children of `base`.
Ref list_dirs_at(const Names& s, PyObject* base, int at, const char* name) {
  std::vector<std::string> names;
  return sorted_dirs(s, base, at, name, &names) ? child_paths(s, base, names) : Ref();
}

// The encoded form of a Skill or entry name that is one simple component,
// or false (with no exception) when it is not.
bool simple_component(PyObject* name, std::string* out) {
  if (!PyUnicode_CheckExact(name)) return false;
  Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(name));
  if (!encoded) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();
    return false;
  }
  const std::string_view view(PyBytes_AS_STRING(encoded.get()),
                              static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
  if (!rules::simple_name(view)) return false;
  out->assign(view);
  return true;
}

#endif  // !_WIN32

}  // namespace

// ---------------------------------------------------------------------------

int capture_originals(PyObject* names_owner) {
  auto* s = static_cast<Names*>(PyCapsule_GetPointer(names_owner, "zavrik.names"));
  if (!s) return -1;
#if defined(_WIN32)
  // The native walks are POSIX: every path takes the method path here.
  return 0;
#else
  Ref pathlib = Ref::steal(PyImport_ImportModule("pathlib"));
  if (!pathlib) return -1;
  Ref path_class = Ref::steal(PyObject_GetAttrString(pathlib.get(), "Path"));
  Ref pure = path_class ? Ref::steal(PyObject_GetAttrString(pathlib.get(), "PurePath")) : Ref();
  Ref os = pure ? Ref::steal(PyImport_ImportModule("os")) : Ref();
  if (!os) return -1;
  Ref sample = call(path_class.get(), {});
  if (!sample) return -1;
  PyTypeObject* concrete = Py_TYPE(sample.get());

  // Slot offsets of the parts a path is made of; without them (another
  // pathlib) the native code builds no paths and stays out of the way.
  PyObject* pure_dict = reinterpret_cast<PyTypeObject*>(pure.get())->tp_dict;
  Py_ssize_t* offsets[] = {&s->slot_drv, &s->slot_root, &s->slot_parts};
  const char* slot_names[] = {"_drv", "_root", "_parts"};
  for (int i = 0; i < 3; ++i) {
    Ref key = Ref::steal(PyUnicode_FromString(slot_names[i]));
    if (!key) return -1;
    Ref descr;
    const int found = compat::dict_get_item_ref(pure_dict, key.get(), &descr);
    if (found < 0) return -1;
    if (!found || !Py_IS_TYPE(descr.get(), &PyMemberDescr_Type)) return 0;
    PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descr.get())->d_member;
    if (member->type != compat::kMemberObjectEx) return 0;
    *offsets[i] = member->offset;
  }

  Ref path_originals, os_originals;
  const int found = name_value_pairs(kPathAttributes, [&](PyObject* name, size_t) -> std::optional<Ref> {
    PyObject* value = compat::type_lookup(concrete, name);
    if (!value) return std::nullopt;
    return Ref::borrow(value);
  }, &path_originals);
  if (found <= 0) return found;
  if (name_value_pairs(kOsFunctions, [&](PyObject* name, size_t) -> std::optional<Ref> {
        return attr(os.get(), name);
      }, &os_originals) < 0)
    return -1;
  s->path_class = path_class.release();
  s->concrete_path = Py_NewRef(reinterpret_cast<PyObject*>(concrete));
  s->pathlib_dict = Py_NewRef(PyModule_GetDict(pathlib.get()));
  s->os_module = os.release();
  s->path_originals = path_originals.release();
  s->os_originals = os_originals.release();
  return 0;
#endif
}

bool pathlib_intact(const Env& env) {
  const Names& s = env.s;
  if (!s.path_originals) return false;
  // The module's Path (in its namespace, not a builtin). The namespace is a
  // dict with str keys: the lookup cannot fail.
  if (PyDict_GetItem(env.globals, s.Path) != s.path_class) return false;
  if (!type_unchanged(s, reinterpret_cast<PyTypeObject*>(s.concrete_path))) return false;
  // pathlib calls os.<function> through its own global `os`.
  PyObject* os = PyDict_GetItem(s.pathlib_dict, s.os);
  if (os != s.os_module || !PyModule_Check(os)) return false;
  PyObject* os_dict = PyModule_GetDict(os);
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(s.os_originals); ++i) {
    PyObject* pair = PyTuple_GET_ITEM(s.os_originals, i);
    if (PyDict_GetItem(os_dict, PyTuple_GET_ITEM(pair, 0)) != PyTuple_GET_ITEM(pair, 1))
      return false;
  }
  return true;
}

int eligible(const Env& env, PyObject* path) {
  const Names& s = env.s;
  if (!s.path_originals) return 0;
  auto* concrete = reinterpret_cast<PyTypeObject*>(s.concrete_path);
  PyTypeObject* type = Py_TYPE(path);
  if (type != concrete) {
    if (!PyType_IsSubtype(type, concrete) || !type_unchanged(s, type)) return 0;
    // An attribute of the instance would shadow a method of its class.
    if (type->tp_dictoffset != 0 || (type->tp_flags & Py_TPFLAGS_MANAGED_DICT)) {
      Ref dict = Ref::steal(PyObject_GenericGetDict(path, nullptr));
      if (!dict) return -1;
      if (!PyDict_Check(dict.get()) || PyDict_GET_SIZE(dict.get()) != 0) return 0;
    }
  }
  return parts_set(s, path) && pathlib_intact(env) ? 1 : 0;
}

Ref path_name(const Env& env, PyObject* path) {
  if (!env.s.path_originals || !parts_set(env.s, path)) return attr(path, env.s.name);
  PyObject* drv = slot(path, env.s.slot_drv);
  PyObject* root = slot(path, env.s.slot_root);
  PyObject* parts = slot(path, env.s.slot_parts);
  const Py_ssize_t anchored =
      (PyUnicode_GET_LENGTH(drv) || PyUnicode_GET_LENGTH(root)) ? 1 : 0;
  const Py_ssize_t n = PyList_GET_SIZE(parts);
  if (n == anchored) return Ref::borrow(env.s.empty);
  return Ref::borrow(PyList_GET_ITEM(parts, n - 1));
}

bool own_function(const Env& env, PyObject* name, const FunctionDef& def) {
  PyObject* value = PyDict_GetItem(env.globals, name);
  return value && is_function_of(value, def);
}

namespace {

// The directory a path-like object names now: 1 found, 0 not path-like or
// not there, -1 with an exception set.
int stat_identity(PyObject* path, Identity* out) {
  static_cast<void>(path);
  out->known = false;
#if !defined(_WIN32)
  std::optional<Ref> fspath = fspath_of(path);
  if (!fspath) return 0;  // not a file-system path
  if (!*fspath) return -1;
  Ref bytes = PyBytes_Check(fspath->get()) ? std::move(*fspath)
                                           : Ref::steal(PyUnicode_EncodeFSDefault(fspath->get()));
  if (!bytes) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  struct stat st;
  if (std::strlen(PyBytes_AS_STRING(bytes.get())) !=
          static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())) ||
      stat(PyBytes_AS_STRING(bytes.get()), &st) != 0)
    return 0;
  out->known = true;
  out->device = static_cast<unsigned long long>(st.st_dev);
  out->inode = static_cast<unsigned long long>(st.st_ino);
  return 1;
#else
  return 0;
#endif
}

}  // namespace

Ref name_str(std::string_view bytes) { return decode(bytes); }

NamePlaces::NamePlaces(PyObject* names) : names_(names) {
  const size_t count = static_cast<size_t>(PyList_GET_SIZE(names));
  size_t size = 8;
  while (size < 2 * count) size *= 2;
  mask_ = size - 1;
  slots_.assign(size, Slot{0, -1});
  for (size_t i = 0; i < count; ++i) {
    PyObject* name = PyList_GET_ITEM(names, static_cast<Py_ssize_t>(i));
    const Py_hash_t hash = PyObject_Hash(name);  // a str's hash cannot fail
    size_t at = static_cast<size_t>(hash) & mask_;
    while (slots_[at].place >= 0) at = (at + 1) & mask_;
    slots_[at] = {hash, static_cast<Py_ssize_t>(i)};
  }
}

Py_ssize_t NamePlaces::find(PyObject* key) const {
  const Py_hash_t hash = PyObject_Hash(key);
  const Py_ssize_t length = PyUnicode_GET_LENGTH(key);
  const int kind = PyUnicode_KIND(key);
  for (size_t at = static_cast<size_t>(hash) & mask_;; at = (at + 1) & mask_) {
    const Slot& slot = slots_[at];
    if (slot.place < 0) return -1;
    if (slot.hash != hash) continue;
    PyObject* name = PyList_GET_ITEM(names_, slot.place);
    if (name == key ||
        (PyUnicode_GET_LENGTH(name) == length && PyUnicode_KIND(name) == kind &&
         std::memcmp(PyUnicode_DATA(name), PyUnicode_DATA(key),
                     static_cast<size_t>(length) * static_cast<size_t>(kind)) == 0))
      return slot.place;
  }
}

bool identify(const Env&, PyObject* path, Identity* out) {
  return stat_identity(path, out) >= 0;
}

int still_same(const Env&, PyObject* path, const Identity& id) {
  if (!id.known) return 1;
  Identity now;
  const int found = stat_identity(path, &now);
  if (found <= 0) return found;
  return now.device == id.device && now.inode == id.inode;
}

#if defined(_WIN32)

Native list_template_dirs(const Env&, PyObject*) { return std::nullopt; }
Native template_dir_names(const Env&, PyObject*, std::vector<std::string>*) { return std::nullopt; }
Native remove_tree(const Env&, PyObject*) { return std::nullopt; }
Native remove_packaging_junk(const Env&, PyObject*) { return std::nullopt; }
Native collect_skill_datas(const Env&, PyObject*, PyObject*) { return std::nullopt; }
bool open_anchor(const Env&, PyObject*, Anchor* out) {
  out->state = Anchor::State::Declined;
  return true;
}
Native sweep(const Env&, const Anchor&) { return std::nullopt; }
Ref child_dirs(const Env&, const Anchor&) { return Ref::steal(PyList_New(0)); }
Ref remove_children_except(const Env&, const Anchor&, PyObject*) { return Ref::none(); }
std::optional<int> child_exists(const Env&, const Anchor&, PyObject*) { return std::nullopt; }
std::optional<bool> exists_below(const Env&, PyObject*, PyObject*,
                                 std::initializer_list<const char*>, std::vector<int>*) {
  return std::nullopt;
}
std::optional<bool> exists_below(const Env&, PyObject*, const std::vector<std::string_view>&,
                                 std::initializer_list<const char*>, std::vector<int>*) {
  return std::nullopt;
}
void raise_exists_error(const Env&, PyObject*, PyObject*, const char*, int) {
  PyErr_SetString(PyExc_SystemError, "no native file system");
}

#else

Native list_template_dirs(const Env& env, PyObject* root) {
  std::string base;
  if (const int ok = eligible_bytes(env, root, &base); ok <= 0) return not_done(ok);
  return list_dirs_at(env.s, root, AT_FDCWD, base.c_str());
}

Native template_dir_names(const Env& env, PyObject* root, std::vector<std::string>* encoded) {
  if (!own_function(env, env.s.list_template_dirs, kListTemplateDirs)) return std::nullopt;
  std::string base;
  if (const int ok = eligible_bytes(env, root, &base); ok <= 0) return not_done(ok);
  std::vector<std::string> names;
  if (!sorted_dirs(env.s, root, AT_FDCWD, base.c_str(), &names)) return Ref();
  Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
  if (!result) return Ref();
  for (size_t i = 0; i < names.size(); ++i) {
    Ref name = decode(names[i]);
    if (!name) return Ref();
    PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), name.release());
  }
  if (encoded) *encoded = std::move(names);
  return result;
}

Native remove_tree(const Env& env, PyObject* path) {
  if (!own_function(env, env.s.remove_tree, kRemoveTree)) return std::nullopt;
  std::string bytes;
  if (const int ok = eligible_bytes(env, path, &bytes); ok <= 0) return not_done(ok);
  // The tree is removed relative to its parent, opened once.
  const size_t slash = bytes.rfind('/');
  const std::string parent = slash == std::string::npos ? "."
                             : slash == 0              ? "/"
                                                       : bytes.substr(0, slash);
  const std::string name = slash == std::string::npos ? bytes : bytes.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return std::nullopt;
  const size_t limit = depth_limit();
  walk::Failure f = released([&](walk::Poll& poll) {
    walk::Fd at;
    if (const int err = walk::open_search(AT_FDCWD, parent.c_str(), &at))
      return walk::Failure::at(err);
    return walk::remove_tree(at.get(), name.c_str(), limit, poll);
  });
  return none_or_raise(env.s, path, f);
}

bool open_anchor(const Env& env, PyObject* path, Anchor* out) {
  out->state = Anchor::State::Declined;
  out->path = path;
  std::string bytes;
  if (const int ok = eligible_bytes(env, path, &bytes); ok <= 0) return ok == 0;
  const int cached = cached_path(env.s, path);
  if (cached < 0) return false;
  out->cached = cached;
  struct stat st;
  int err = 0;
  Py_BEGIN_ALLOW_THREADS
  if (stat(bytes.c_str(), &st) != 0) {
    err = errno;
  } else if (S_ISDIR(st.st_mode)) {
    err = walk::open_base(AT_FDCWD, bytes.c_str(), &out->fd);
  } else {
    err = ENOTDIR;
  }
  Py_END_ALLOW_THREADS
  if (!err) {
    out->state = Anchor::State::Open;
  } else if (err == ENOTDIR) {
    out->state = Anchor::State::NotDirectory;
  } else if (walk::ignored(err)) {
    out->state = Anchor::State::Absent;
  } else {
    // exists() and is_dir() would raise it; the method path does.
    out->state = Anchor::State::Declined;
  }
  return true;
}

Native sweep(const Env& env, const Anchor& anchor) {
  if (anchor.state == Anchor::State::Declined ||
      !own_function(env, env.s.remove_tree, kRemoveTree) ||
      !own_function(env, env.s.is_packable_file, kIsPackableFile))
    return std::nullopt;
  PyObject* root = anchor.path;
  // Phase 1: every "__pycache__" rglob finds, listed before any removal.
  if (audit_rglob(root, env.s.pycache) < 0) return Ref();
  walk::Tree tree;
  const size_t limit = depth_limit();
  const int fd = anchor.fd.get();
  walk::Failure f;
  if (anchor.state == Anchor::State::Open) {
    f = released([&](walk::Poll& poll) {
      return walk::scan(fd, anchor.cached, false, walk::Scan::Sweep, &tree, limit, poll);
    });
    if (f) return raise_failure(env.s, root, f);
  }
  // Phase 2: every file that is not packable.
  if (audit_rglob(root, env.s.star) < 0) return Ref();
  if (anchor.state == Anchor::State::Open) {
    f = released([&](walk::Poll& poll) { return walk::remove_junk_files(fd, tree, poll); });
  }
  return none_or_raise(env.s, root, f);
}

Native remove_packaging_junk(const Env& env, PyObject* root) {
  if (!own_function(env, env.s.remove_tree, kRemoveTree) ||
      !own_function(env, env.s.is_packable_file, kIsPackableFile))
    return std::nullopt;
  Anchor anchor;
  if (!open_anchor(env, root, &anchor)) return Ref();
  return sweep(env, anchor);
}

Ref child_dirs(const Env& env, const Anchor& anchor) {
  return list_dirs_at(env.s, anchor.path, anchor.fd.get(), nullptr);
}

Ref remove_children_except(const Env& env, const Anchor& anchor, PyObject* admitted) {
  // Every entry that is a directory (links followed), in listing order.
  std::vector<std::string> dirs;
  const int fd = anchor.fd.get();
  walk::Failure f = released([&](walk::Poll& poll) { return walk::list_dirs(fd, &dirs, poll); });
  if (f) return raise_failure(env.s, anchor.path, f);
  const size_t limit = depth_limit();
  for (const std::string& dir : dirs) {
    Ref name = decode(dir);
    if (!name) return {};
    const int keep = PySet_Contains(admitted, name.get());
    if (keep < 0) return {};
    if (keep) continue;
    f = released([&](walk::Poll& poll) { return walk::remove_tree(fd, dir.c_str(), limit, poll); });
    if (f) {
      if (f.kind == walk::Failure::Kind::Errno) f.under({dir});
      return raise_failure(env.s, anchor.path, f);
    }
  }
  return Ref::none();
}

std::optional<int> child_exists(const Env& env, const Anchor& anchor, PyObject* name) {
  std::string component;
  if (!simple_component(name, &component)) return PyErr_Occurred() ? std::optional(-1) : std::nullopt;
  struct stat st;
  if (fstatat(anchor.fd.get(), component.c_str(), &st, 0) == 0) return 1;
  const int err = errno;
  if (walk::ignored(err)) return 0;
  raise_failure(env.s, anchor.path, walk::Failure::at(err, {component}));
  return -1;
}

namespace {

// The encoded forms of a list of Skill names, when each is one simple
// component; no value otherwise (an exception set only if one was raised).
std::optional<std::vector<std::string>> simple_components(PyObject* names) {
  const Py_ssize_t count = PyList_GET_SIZE(names);
  std::vector<std::string> out(static_cast<size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i)
    if (!simple_component(PyList_GET_ITEM(names, i), &out[static_cast<size_t>(i)]))
      return std::nullopt;
  return out;
}

// rglob("*") of root / skill and its packable files in path order. The
// root is the descriptor `root` opened once, or the error `root_err` that
// opening it gave (then rglob's is_dir() of the Skill answers no, or
// raises).
walk::Failure walk_skill(int root, int root_err, const std::string& skill, bool cached,
                         walk::Tree* tree, std::vector<walk::File>* files, walk::Poll& poll) {
  if (root_err) return walk::ignored(root_err) ? walk::Failure() : walk::Failure::at(root_err);
  // A directory that opens through its "." is a directory (is_dir() says
  // so) and may be listed and searched; anything else is asked in turn.
  walk::Fd fd;
  const bool searchable = walk::open_base_searchable(root, skill.c_str(), &fd) == 0;
  if (!searchable) {
    const int is_dir = walk::is_kind(root, skill.c_str(), S_IFDIR);
    if (is_dir <= 0) return is_dir < 0 ? walk::Failure::at(-is_dir) : walk::Failure();
    if (const int err = walk::open_base(root, skill.c_str(), &fd)) return walk::Failure::at(err);
  }
  walk::Failure failure =
      walk::scan(fd.get(), cached, searchable, walk::Scan::Files, tree, 0, poll);
  if (!failure) *files = walk::packable_files(*tree);
  return failure;
}

// Appends (str(file), str(destination directory)) for each file: the source
// is the Skill directory's text `source_dir` and the file's relative path,
// the destination `destination_dir` and the file's relative directory. Each
// string is decoded once: a source per file, a destination per directory.
bool append_pairs(PyObject* datas, std::string source_dir, const std::string& destination_dir,
                  const walk::Tree& tree, const std::vector<walk::File>& files) {
  // Relative directory of every walked directory, "" or ending in '/'.
  std::vector<std::string> relative(tree.dirs.size());
  for (size_t d = 1; d < tree.dirs.size(); ++d)
    relative[d] = relative[tree.dirs[d].parent] + tree.dirs[d].name + '/';
  std::vector<Ref> destinations(tree.dirs.size());
  source_dir += '/';
  const size_t prefix = source_dir.size();
  for (const walk::File& file : files) {
    const std::string& rel = relative[file.dir];
    Ref& destination = destinations[file.dir];
    if (!destination) {
      destination = rel.empty() ? decode(destination_dir)
                                : decode(destination_dir + '/' + rel.substr(0, rel.size() - 1));
      if (!destination) return false;
    }
    source_dir.resize(prefix);
    source_dir += rel;
    source_dir += tree.entries[file.entry].name;
    Ref source = decode(source_dir);
    if (!source) return false;
    Ref pair = Ref::steal(PyTuple_New(2));
    if (!pair) return false;
    PyTuple_SET_ITEM(pair.get(), 0, source.release());
    PyTuple_SET_ITEM(pair.get(), 1, Py_NewRef(destination.get()));
    if (PyList_Append(datas, pair.get()) < 0) return false;
  }
  return true;
}

}  // namespace

Native collect_skill_datas(const Env& env, PyObject* root, PyObject* names) {
  // Only simple Skill names: `root / name` is then one more component.
  if (!PyList_CheckExact(names) || !own_function(env, env.s.is_packable_file, kIsPackableFile))
    return std::nullopt;
  std::optional<std::vector<std::string>> skills = simple_components(names);
  if (!skills) return not_done(PyErr_Occurred() ? -1 : 0);
  std::string base;
  if (const int ok = eligible_bytes(env, root, &base); ok <= 0) return not_done(ok);
  const int root_cached = cached_path(env.s, root);
  if (root_cached < 0) return Ref();

  // The root is opened once, for search only: each Skill is reached from it.
  walk::Fd root_fd;
  int root_err = 0;
  Py_BEGIN_ALLOW_THREADS
  root_err = walk::open_search(AT_FDCWD, base.c_str(), &root_fd);
  Py_END_ALLOW_THREADS
  std::string bundle = rules::kBundleTop;
  (((bundle += '/') += rules::kBundleMiddle) += '/') += rules::kBundleLeaf;

  Ref datas = Ref::steal(PyList_New(0));
  if (!datas) return Ref();
  for (size_t i = 0; i < skills->size(); ++i) {
    PyObject* name = PyList_GET_ITEM(names, static_cast<Py_ssize_t>(i));
    const std::string& skill = (*skills)[i];
    Ref skill_dir = make_path(env.s, root, {name});
    if (!skill_dir || audit_rglob(skill_dir.get(), env.s.star) < 0) return Ref();
    const bool cached = root_cached || skill == rules::kPycache;

    walk::Tree tree;
    std::vector<walk::File> files;
    walk::Failure f = released([&](walk::Poll& poll) {
      return walk_skill(root_fd.get(), root_err, skill, cached, &tree, &files, poll);
    });
    if (f) return raise_failure(env.s, skill_dir.get(), f);
    if (files.empty()) continue;

    // The source text as str(skill_dir) spells it: the root's text and one
    // more component ("." is no component; a root ends in its separator).
    std::string source_dir = base == "." ? std::string() : base;
    if (!source_dir.empty() && source_dir.back() != '/') source_dir += '/';
    source_dir += skill;
    if (!append_pairs(datas.get(), std::move(source_dir), bundle + '/' + skill, tree, files))
      return Ref();
  }
  return datas;
}

std::optional<bool> exists_below(const Env& env, PyObject* root,
                                 const std::vector<std::string_view>& names,
                                 std::initializer_list<const char*> files,
                                 std::vector<int>* answers) {
  std::string base;
  if (const int ok = eligible_bytes(env, root, &base); ok <= 0)
    return ok < 0 ? std::optional(false) : std::nullopt;
  answers->assign(names.size() * files.size(), 0);
  if (names.empty()) return true;
  walk::Failure f = released([&](walk::Poll& poll) {
    walk::Fd fd;
    if (const int err = walk::open_search(AT_FDCWD, base.c_str(), &fd)) {
      // No root: every answer is what stat of a path through it gives.
      const int answer = walk::ignored(err) ? 0 : -err;
      std::fill(answers->begin(), answers->end(), answer);
      return walk::Failure();
    }
    std::string path;  // one buffer for every "name/file"
    size_t k = 0;
    for (const std::string_view skill : names) {
      if (poll.stop()) return walk::Failure::interrupted();
      for (const char* file : files) {
        path.assign(skill).append(1, '/').append(file);
        struct stat st;
        int& answer = (*answers)[k++];
        if (fstatat(fd.get(), path.c_str(), &st, 0) == 0)
          answer = 1;
        else
          answer = walk::ignored(errno) ? 0 : -errno;
      }
    }
    return walk::Failure();
  });
  if (f) return raise_failure(env.s, root, f) ? std::optional(true) : std::optional(false);
  return true;
}

std::optional<bool> exists_below(const Env& env, PyObject* root, PyObject* names,
                                 std::initializer_list<const char*> files,
                                 std::vector<int>* answers) {
  if (!PyList_CheckExact(names)) return std::nullopt;
  std::optional<std::vector<std::string>> found = simple_components(names);
  if (!found) return PyErr_Occurred() ? std::optional(false) : std::nullopt;
  const std::vector<std::string_view> skills(found->begin(), found->end());
  return exists_below(env, root, skills, files, answers);
}

void raise_exists_error(const Env& env, PyObject* root, PyObject* name, const char* file,
                        int err) {
  std::vector<std::string> below;
  std::string component;
  if (!simple_component(name, &component)) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "not a Skill name");
    return;
  }
  below.push_back(component);
  for (std::string_view rest = file;;) {
    const size_t slash = rest.find('/');
    below.emplace_back(rest.substr(0, slash));
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  raise_failure(env.s, root, walk::Failure::at(err, below));
}

#endif  // _WIN32

}  // namespace zavrik::fast
