// Native fast paths for plain platform paths.
//
// What "the same as the methods give" means here, rule by rule (pathlib of
// CPython 3.11 on POSIX):
//
// - `exists`, `is_dir`, `is_file` stat the path, following links; the errors
//   ENOENT, ENOTDIR, EBADF and ELOOP answer False, any other error is
//   raised with the path object as `filename`.
// - `iterdir` lists the whole directory first (os.listdir), in the order the
//   kernel returns; children are `parent._make_child_relpath(name)`.
// - `rglob(pattern)` first asks `is_dir()` of its root; then walks real
//   directories depth first, listing each directory before descending into
//   its sub-directories (in listing order), never into links. A directory it
//   may not list (PermissionError) is passed over; any other listing error is
//   raised. "*" yields every entry of every walked directory; "__pycache__"
//   yields `D/__pycache__` for every walked D for which `exists()` is true.
// - Paths sort component by component, each component as a `str`
//   (code-point order). For names that are valid UTF-8 that is the order of
//   their bytes; other names (surrogate-escaped by the file-system decoding)
//   are compared as decoded strings.
//
// Entries are classified by the directory entry's type where it is certain
// (DT_REG, DT_DIR, ...) and by a stat only where it is not (links, DT_UNKNOWN).
// Deletion works on directory descriptors opened with O_NOFOLLOW, so a
// directory swapped for a link while it is being removed is unlinked as a
// link, never followed. The GIL is released while the system calls run.
#include "nativefs.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <structmember.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "operations.hpp"

namespace zavrik::fast {
namespace {

// pathlib attributes the native code stands in for.
constexpr const char* kPathAttributes[] = {
    "exists",  "iterdir",  "is_dir",  "is_file",  "is_symlink", "unlink",
    "rmdir",   "rglob",    "stat",    "lstat",    "_scandir",   "_make_child_relpath",
    "_from_parsed_parts",  "_format_parsed_parts",  "_parse_args", "_make_child",
    "__truediv__",  "__str__",  "__fspath__",  "__lt__",  "__eq__",  "__hash__",
    "relative_to",  "parent",  "name",  "suffix",  "parts",  "_cparts",  "_flavour",
};
// os functions pathlib calls for those.
constexpr const char* kOsFunctions[] = {"stat", "lstat", "listdir", "scandir",
                                        "unlink", "rmdir", "fspath"};

bool ignored_errno(int err) {
  return err == ENOENT || err == ENOTDIR || err == EBADF || err == ELOOP;
}
bool permission_errno(int err) { return err == EACCES || err == EPERM; }

// RAII release of the GIL around system calls.
class WithoutGil {
 public:
  WithoutGil() : state_(PyEval_SaveThread()) {}
  ~WithoutGil() { PyEval_RestoreThread(state_); }
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;

 private:
  PyThreadState* state_;
};

PyObject*& slot(PyObject* obj, Py_ssize_t offset) {
  return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
}

std::string join(const std::string& dir, std::string_view name) {
  std::string path;
  path.reserve(dir.size() + 1 + name.size());
  path = dir;
  if (path.empty() || path.back() != '/') path += '/';
  path += name;
  return path;
}

// Strict UTF-8, as the interpreter's decoder accepts it.
bool valid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    unsigned c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int n;
    unsigned lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      n = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (end - p <= n) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (int i = 2; i <= n; ++i)
      if (p[i] < 0x80 || p[i] > 0xBF) return false;
    p += n + 1;
  }
  return true;
}

Ref decode(std::string_view bytes) {
  return Ref::steal(PyUnicode_DecodeFSDefaultAndSize(
      bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

// The file-system form of a plain path, or false when the methods would
// refuse it with ValueError (unencodable, embedded NUL): those cases are
// left to the method-by-method path.
bool fs_path(PyObject* path, std::string* out, bool* declined) {
  Ref text = Ref::steal(PyObject_Str(path));
  if (!text) return false;
  Ref bytes = Ref::steal(PyUnicode_EncodeFSDefault(text.get()));
  if (!bytes) {
    if (PyErr_ExceptionMatches(PyExc_ValueError)) {
      PyErr_Clear();
      *declined = true;
    }
    return false;
  }
  const char* data = PyBytes_AS_STRING(bytes.get());
  const Py_ssize_t size = PyBytes_GET_SIZE(bytes.get());
  if (std::memchr(data, 0, static_cast<size_t>(size))) {
    *declined = true;
    return false;
  }
  out->assign(data, static_cast<size_t>(size));
  return true;
}

// A path object `base` / components, built as `_make_child_relpath` builds
// it: same drive, same root, the parts list extended.
Ref make_path(const Names& s, PyObject* base, const std::vector<PyObject*>& components) {
  PyObject* drv = slot(base, s.slot_drv);
  PyObject* root = slot(base, s.slot_root);
  PyObject* parts = slot(base, s.slot_parts);
  if (!drv || !root || !parts || !PyList_Check(parts)) {
    PyErr_SetString(PyExc_SystemError, "path object without its parts");
    return {};
  }
  Ref extended = Ref::steal(PyList_GetSlice(parts, 0, PyList_GET_SIZE(parts)));
  if (!extended) return {};
  for (PyObject* c : components)
    if (PyList_Append(extended.get(), c) < 0) return {};
  auto* type = reinterpret_cast<PyTypeObject*>(s.concrete_path);
  Ref path = Ref::steal(type->tp_alloc(type, 0));
  if (!path) return {};
  slot(path.get(), s.slot_drv) = Py_NewRef(drv);
  slot(path.get(), s.slot_root) = Py_NewRef(root);
  slot(path.get(), s.slot_parts) = extended.release();
  return path;
}

// ---------------------------------------------------------------------------
// Failures found without the GIL, raised once it is held again.

struct Failure {
  int err = 0;                      // errno; 0 when nothing failed
  bool recursion = false;           // too deep to remove
  std::vector<std::string> below;   // components below the base path
  explicit operator bool() const { return err != 0 || recursion; }
};

// Raises `f` as the methods would: an OSError of the errno's class whose
// filename is the text of the path concerned (os functions report the
// `os.fspath()` of the path object they were given).
PyObject* raise_failure(const Names& s, PyObject* base, const Failure& f) {
  if (f.recursion) {
    PyErr_SetString(PyExc_RecursionError,
                    "maximum recursion depth exceeded while removing a directory tree");
    return nullptr;
  }
  Ref path;
  if (f.below.empty()) {
    path = Ref::borrow(base);
  } else {
    std::vector<Ref> owned;
    std::vector<PyObject*> components;
    for (const std::string& c : f.below) {
      owned.push_back(decode(c));
      if (!owned.back()) return nullptr;
      components.push_back(owned.back().get());
    }
    path = make_path(s, base, components);
    if (!path) return nullptr;
  }
  Ref text = Ref::steal(PyObject_Str(path.get()));
  if (!text) return nullptr;
  errno = f.err;
  return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, text.get());
}

// ---------------------------------------------------------------------------
// Listing

struct DirEntry {
  std::string name;
  unsigned char type;
};

// All entries of an open directory stream, as os.listdir would list them.
int read_entries(DIR* dir, std::vector<DirEntry>* out) {
  for (;;) {
    errno = 0;
    struct dirent* e = readdir(dir);
    if (!e) return errno;
    const char* n = e->d_name;
    if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) continue;
    out->push_back({n, e->d_type});
  }
}

// Stat-derived answers for one entry, following links: 1 yes, 0 no (or an
// ignored error), -errno for an error the methods raise.
int stat_is(int dirfd, const char* name, mode_t kind, int flags = 0) {
  struct stat st;
  if (fstatat(dirfd, name, &st, flags) != 0) return ignored_errno(errno) ? 0 : -errno;
  return (st.st_mode & S_IFMT) == kind;
}
int path_is(const std::string& path, mode_t kind) {
  return stat_is(AT_FDCWD, path.c_str(), kind);
}

// is_file() of a directory entry: the entry's type where it is certain.
int entry_is_file(int dirfd, const DirEntry& e) {
  switch (e.type) {
    case DT_REG:
      return 1;
    case DT_LNK:
    case DT_UNKNOWN:
      return stat_is(dirfd, e.name.c_str(), S_IFREG);
    default:
      return 0;
  }
}

// A real directory (links are not): rglob's `is_dir(follow_symlinks=False)`.
int entry_is_real_dir(int dirfd, const DirEntry& e) {
  if (e.type == DT_DIR) return 1;
  if (e.type != DT_UNKNOWN) return 0;
  return stat_is(dirfd, e.name.c_str(), S_IFDIR, AT_SYMLINK_NOFOLLOW);
}

// One walked tree: the directories rglob walks and the entries "*" yields,
// both in rglob's order.
struct Tree {
  struct Dir {
    int parent;
    std::string name;
    std::string path;  // what the system calls see
    bool cached;       // "__pycache__" among its components below the base
  };
  struct Entry {
    int dir;
    std::string name;
    unsigned char type;
    signed char file;  // is_file(), when the walk resolved it
  };
  std::vector<Dir> dirs;
  std::vector<Entry> entries;
  std::vector<int> order;  // directories in walk order
  Failure failure;

  std::vector<std::string> components(int dir, const std::string* name = nullptr) const {
    std::vector<std::string> out;
    for (int d = dir; d > 0; d = dirs[d].parent) out.push_back(dirs[d].name);
    std::reverse(out.begin(), out.end());
    if (name) out.push_back(*name);
    return out;
  }
  void fail(int err, int dir, const std::string* name = nullptr) {
    failure.err = err;
    failure.below = components(dir, name);
  }
  std::string entry_path(const Entry& e) const { return join(dirs[e.dir].path, e.name); }
};

enum class Yield { Entries, Caches };

// rglob over `base` (its `is_dir()` already true). With Yield::Entries every
// entry is recorded, and its is_file() resolved during the walk when
// `resolve_files` (collection evaluates each entry as rglob yields it); with
// Yield::Caches only the directories whose "__pycache__" exists.
void walk(Tree& t, const std::string& base, Yield what, bool resolve_files,
          std::vector<int>* caches) {
  t.dirs.push_back({-1, std::string(), base, false});
  std::vector<int> stack{0};
  std::vector<DirEntry> listing;
  while (!stack.empty()) {
    const int d = stack.back();
    stack.pop_back();
    t.order.push_back(d);
    if (what == Yield::Caches) {
      // The precise selector asks exists() of D/__pycache__ before D is
      // listed; PermissionError answers no.
      struct stat st;
      if (stat(join(t.dirs[d].path, "__pycache__").c_str(), &st) == 0) {
        caches->push_back(d);
      } else if (!ignored_errno(errno) && !permission_errno(errno)) {
        const std::string name = "__pycache__";
        t.fail(errno, d, &name);
        return;
      }
    }
    DIR* dir = opendir(t.dirs[d].path.c_str());
    if (!dir) {
      if (permission_errno(errno)) continue;
      t.fail(errno, d);
      return;
    }
    listing.clear();
    int err = read_entries(dir, &listing);
    if (err) {
      closedir(dir);
      if (permission_errno(err)) continue;
      t.fail(err, d);
      return;
    }
    const int fd = dirfd(dir);
    if (what == Yield::Entries) {
      for (const DirEntry& e : listing) {
        signed char file = -1;
        if (resolve_files) {
          const int answer = entry_is_file(fd, e);
          if (answer < 0) {
            closedir(dir);
            t.fail(-answer, d, &e.name);
            return;
          }
          file = static_cast<signed char>(answer);
        }
        t.entries.push_back({d, e.name, e.type, file});
      }
    }
    const size_t first_child = stack.size();
    for (const DirEntry& e : listing) {
      const int real = entry_is_real_dir(fd, e);
      if (real < 0) {
        if (permission_errno(-real)) break;
        closedir(dir);
        t.fail(-real, d, &e.name);
        return;
      }
      if (!real) continue;
      const bool cached = t.dirs[d].cached || e.name == "__pycache__";
      t.dirs.push_back({d, e.name, join(t.dirs[d].path, e.name), cached});
      stack.push_back(static_cast<int>(t.dirs.size()) - 1);
    }
    closedir(dir);
    std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(first_child), stack.end());
  }
}

// rglob as a whole: nothing at all unless `base` is a directory (links
// followed), then the walk. Returns the first failure.
Failure rglob(Tree& t, const std::string& base, Yield what, bool resolve_files,
              std::vector<int>* caches) {
  Failure f;
  const int is_dir = path_is(base, S_IFDIR);
  if (is_dir < 0) {
    f.err = -is_dir;
  } else if (is_dir) {
    walk(t, base, what, resolve_files, caches);
    f = t.failure;
  }
  return f;
}

// The name rules of `_is_packable_file` (is_file() aside): not ".DS_Store",
// no ".pyc"/".pyo" suffix, no "__pycache__" component.
bool packable_name(const Tree& t, const Tree::Entry& e, bool base_cached) {
  if (base_cached || t.dirs[e.dir].cached || e.name == "__pycache__") return false;
  if (e.name == ".DS_Store") return false;
  const size_t dot = e.name.rfind('.');
  if (dot != std::string::npos && dot > 0 && dot + 1 < e.name.size()) {
    const std::string_view suffix = std::string_view(e.name).substr(dot);
    if (suffix == ".pyc" || suffix == ".pyo") return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Removal

// The directory `components` below the open directory `root`, reached one
// component at a time without following a link: a directory of the tree
// swapped for a link is never left through. The descriptor, or -errno.
int open_beneath(int root, const std::vector<std::string>& components) {
  int fd = fcntl(root, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return -errno;
  for (const std::string& c : components) {
    int next = openat(fd, c.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int err = errno;
    close(fd);
    if (next < 0) return -err;
    fd = next;
  }
  return fd;
}

// A descriptor of the directory of the entries being processed, reopened
// beneath the root whenever the directory changes.
class Beneath {
 public:
  Beneath(const Tree& tree, int root) : tree_(tree), root_(root) {}
  ~Beneath() {
    if (fd_ >= 0) close(fd_);
  }
  Beneath(const Beneath&) = delete;
  Beneath& operator=(const Beneath&) = delete;
  // The descriptor of directory `dir`, or -1 when it is no longer a
  // directory of the tree (gone, or swapped for a link or a file).
  int at(int dir) {
    if (dir != dir_) {
      if (fd_ >= 0) close(fd_);
      fd_ = open_beneath(root_, tree_.components(dir));
      dir_ = dir;
    }
    return fd_ >= 0 ? fd_ : -1;
  }

 private:
  const Tree& tree_;
  int root_;
  int dir_ = -2;
  int fd_ = -1;
};

// Removes the tree at `path` relative to the directory descriptor `at` (or
// AT_FDCWD), descending through directory descriptors only. A link is
// unlinked, never followed.
Failure remove_tree_at(int at, const char* path, size_t depth_limit) {
  Failure f;
  struct Frame {
    DIR* dir;
    std::vector<DirEntry> entries;
    size_t next;
  };
  std::vector<Frame> stack;
  std::vector<std::string> chain;  // names of the frames below the base
  auto below = [&](const std::string* name) {
    std::vector<std::string> out(chain);
    if (name) out.push_back(*name);
    return out;
  };
  auto close_all = [&] {
    for (Frame& frame : stack) closedir(frame.dir);
    stack.clear();
  };
  auto open_dir = [&](int at, const char* name, std::vector<DirEntry>* entries,
                      DIR** out) -> int {
    int fd = openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno;
    DIR* dir = fdopendir(fd);
    if (!dir) {
      int err = errno;
      close(fd);
      return err;
    }
    int err = read_entries(dir, entries);
    if (err) {
      closedir(dir);
      return err;
    }
    *out = dir;
    return 0;
  };

  // The base: a link goes as a link.
  struct stat st;
  if (fstatat(at, path, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
    if (unlinkat(at, path, 0) != 0) f.err = errno;
    return f;
  }
  {
    std::vector<DirEntry> entries;
    DIR* dir = nullptr;
    int err = open_dir(at, path, &entries, &dir);
    if (err == ELOOP) {  // became a link since it was looked at
      if (unlinkat(at, path, 0) != 0) f.err = errno;
      return f;
    }
    if (err) {
      f.err = err;
      return f;
    }
    stack.push_back({dir, std::move(entries), 0});
  }

  while (!stack.empty()) {
    Frame& frame = stack.back();
    const int fd = dirfd(frame.dir);
    if (frame.next == frame.entries.size()) {
      closedir(frame.dir);
      stack.pop_back();
      if (stack.empty()) {
        if (unlinkat(at, path, AT_REMOVEDIR) != 0) f.err = errno;
        return f;
      }
      const std::string name = chain.back();
      chain.pop_back();
      if (unlinkat(dirfd(stack.back().dir), name.c_str(), AT_REMOVEDIR) != 0) {
        f.err = errno;
        f.below = below(&name);
        close_all();
        return f;
      }
      continue;
    }
    const DirEntry e = frame.entries[frame.next++];
    int real = entry_is_real_dir(fd, e);
    if (real > 0) {
      if (stack.size() >= depth_limit) {
        f.recursion = true;
        close_all();
        return f;
      }
      std::vector<DirEntry> entries;
      DIR* dir = nullptr;
      int err = open_dir(fd, e.name.c_str(), &entries, &dir);
      if (!err) {
        chain.push_back(e.name);
        stack.push_back({dir, std::move(entries), 0});  // `frame` is stale now
        continue;
      }
      if (err != ELOOP && err != ENOTDIR) {
        f.err = err;
        f.below = below(&e.name);
        close_all();
        return f;
      }
      // Swapped for a link or a file meanwhile: unlink it as such.
    }
    if (unlinkat(fd, e.name.c_str(), 0) != 0) {
      f.err = errno;
      f.below = below(&e.name);
      close_all();
      return f;
    }
  }
  return f;
}

size_t removal_depth_limit() {
  const int limit = Py_GetRecursionLimit();
  return limit > 0 ? static_cast<size_t>(limit) : 1;
}

// Sort key of a file below a walk's base: its components.
struct FileKey {
  std::vector<const std::string*> components;
  size_t entry;
};

bool components_less(const FileKey& a, const FileKey& b) {
  const size_t n = std::min(a.components.size(), b.components.size());
  for (size_t i = 0; i < n; ++i) {
    const int c = a.components[i]->compare(*b.components[i]);
    if (c != 0) return c < 0;
  }
  return a.components.size() < b.components.size();
}

}  // namespace

// ---------------------------------------------------------------------------

int capture_originals(PyObject* names_owner) {
  auto* s = static_cast<Names*>(PyCapsule_GetPointer(names_owner, "zavrik.names"));
  if (!s) return -1;
  Ref pathlib = Ref::steal(PyImport_ImportModule("pathlib"));
  if (!pathlib) return -1;
  Ref path_class = Ref::steal(PyObject_GetAttrString(pathlib.get(), "Path"));
  Ref pure = Ref::steal(PyObject_GetAttrString(pathlib.get(), "PurePath"));
  Ref os = Ref::steal(PyImport_ImportModule("os"));
  if (!path_class || !pure || !os) return -1;
  Ref sample = call(path_class.get(), {});
  if (!sample) return -1;
  PyTypeObject* concrete = Py_TYPE(sample.get());

  // Slot offsets of the parts a path is made of; without them the native
  // code builds no paths and stays out of the way.
  PyObject* pure_dict = reinterpret_cast<PyTypeObject*>(pure.get())->tp_dict;
  Py_ssize_t* offsets[] = {&s->slot_drv, &s->slot_root, &s->slot_parts};
  const char* slot_names[] = {"_drv", "_root", "_parts"};
  for (int i = 0; i < 3; ++i) {
    PyObject* descr = PyDict_GetItemString(pure_dict, slot_names[i]);
    if (!descr || !Py_IS_TYPE(descr, &PyMemberDescr_Type)) return 0;
    PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member;
    if (member->type != T_OBJECT_EX) return 0;
    *offsets[i] = member->offset;
  }

  Ref path_originals = Ref::steal(PyTuple_New(std::size(kPathAttributes)));
  if (!path_originals) return -1;
  for (size_t i = 0; i < std::size(kPathAttributes); ++i) {
    Ref name = Ref::steal(PyUnicode_InternFromString(kPathAttributes[i]));
    if (!name) return -1;
    PyObject* value = _PyType_Lookup(concrete, name.get());
    if (!value) return 0;
    Ref pair = Ref::steal(PyTuple_Pack(2, name.get(), value));
    if (!pair) return -1;
    PyTuple_SET_ITEM(path_originals.get(), i, pair.release());
  }
  Ref os_originals = Ref::steal(PyTuple_New(std::size(kOsFunctions)));
  if (!os_originals) return -1;
  for (size_t i = 0; i < std::size(kOsFunctions); ++i) {
    Ref name = Ref::steal(PyUnicode_InternFromString(kOsFunctions[i]));
    if (!name) return -1;
    Ref value = attr(os.get(), name.get());
    if (!value) return -1;
    Ref pair = Ref::steal(PyTuple_Pack(2, name.get(), value.get()));
    if (!pair) return -1;
    PyTuple_SET_ITEM(os_originals.get(), i, pair.release());
  }
  s->path_class = path_class.release();
  s->concrete_path = Py_NewRef(reinterpret_cast<PyObject*>(concrete));
  s->pathlib_dict = Py_NewRef(PyModule_GetDict(pathlib.get()));
  s->os_module = os.release();
  s->path_originals = path_originals.release();
  s->os_originals = os_originals.release();
  return 0;
}

bool plain_path(const Env& env, PyObject* path) {
  return env.s.path_originals &&
         Py_TYPE(path) == reinterpret_cast<PyTypeObject*>(env.s.concrete_path) &&
         pathlib_intact(env);
}

bool pathlib_intact(const Env& env) {
  const Names& s = env.s;
  if (!s.path_originals) return false;
  // The module's Path (in its namespace, not a builtin).
  if (PyDict_GetItemWithError(env.globals, s.Path) != s.path_class) {
    PyErr_Clear();
    return false;
  }
  auto* type = reinterpret_cast<PyTypeObject*>(s.concrete_path);
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(s.path_originals); ++i) {
    PyObject* pair = PyTuple_GET_ITEM(s.path_originals, i);
    if (_PyType_Lookup(type, PyTuple_GET_ITEM(pair, 0)) != PyTuple_GET_ITEM(pair, 1))
      return false;
  }
  // pathlib calls os.<function> through its own global `os`.
  PyObject* os = PyDict_GetItemString(s.pathlib_dict, "os");
  if (os != s.os_module || !PyModule_Check(os)) return false;
  PyObject* os_dict = PyModule_GetDict(os);
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(s.os_originals); ++i) {
    PyObject* pair = PyTuple_GET_ITEM(s.os_originals, i);
    PyObject* now = PyDict_GetItemWithError(os_dict, PyTuple_GET_ITEM(pair, 0));
    if (now != PyTuple_GET_ITEM(pair, 1)) {
      PyErr_Clear();
      return false;
    }
  }
  return true;
}

Ref path_name(const Env& env, PyObject* path) {
  PyObject* drv = slot(path, env.s.slot_drv);
  PyObject* root = slot(path, env.s.slot_root);
  PyObject* parts = slot(path, env.s.slot_parts);
  if (!drv || !root || !parts || !PyList_Check(parts) || !PyUnicode_Check(drv) ||
      !PyUnicode_Check(root))
    return attr(path, env.s.name);
  const Py_ssize_t anchored =
      (PyUnicode_GET_LENGTH(drv) || PyUnicode_GET_LENGTH(root)) ? 1 : 0;
  const Py_ssize_t n = PyList_GET_SIZE(parts);
  if (n == anchored) return Ref::borrow(env.s.empty);
  return Ref::borrow(PyList_GET_ITEM(parts, n - 1));
}

bool own_function(const Env& env, PyObject* name, const FunctionDef& def) {
  PyObject* value = PyDict_GetItemWithError(env.globals, name);
  if (!value) {
    PyErr_Clear();
    return false;
  }
  return is_function_of(value, def);
}

PyObject* list_template_dirs(const Env& env, PyObject* root, bool* declined) {
  std::string base;
  if (!fs_path(root, &base, declined)) return nullptr;

  // exists(), the listing, and is_dir() of every entry.
  std::vector<DirEntry> entries;
  std::vector<char> keep;
  Failure f;
  bool exists = true;
  {
    WithoutGil nogil;
    struct stat st;
    if (stat(base.c_str(), &st) != 0) {
      if (ignored_errno(errno))
        exists = false;
      else
        f.err = errno;
    }
    if (exists && !f) {
      DIR* dir = opendir(base.c_str());
      if (!dir) {
        f.err = errno;
      } else {
        f.err = read_entries(dir, &entries);
        for (size_t i = 0; !f && i < entries.size(); ++i) {
          const DirEntry& e = entries[i];
          int is_dir = e.type == DT_DIR ? 1
                       : (e.type == DT_LNK || e.type == DT_UNKNOWN)
                           ? stat_is(dirfd(dir), e.name.c_str(), S_IFDIR)
                           : 0;
          if (is_dir < 0) {
            f.err = -is_dir;
            f.below = {e.name};
          }
          keep.push_back(is_dir > 0);
        }
        closedir(dir);
      }
    }
  }
  if (f) return raise_failure(env.s, root, f);
  if (!exists) return PyList_New(0);

  // Sorted by name (they share the parent): by their bytes when all are
  // valid UTF-8, else as decoded strings.
  std::vector<const std::string*> kept;
  for (size_t i = 0; i < entries.size(); ++i)
    if (keep[i]) kept.push_back(&entries[i].name);
  const bool utf8 = std::all_of(kept.begin(), kept.end(),
                                [](const std::string* n) { return valid_utf8(*n); });
  if (utf8) {
    WithoutGil nogil;
    std::sort(kept.begin(), kept.end(),
              [](const std::string* a, const std::string* b) { return *a < *b; });
  }
  std::vector<Ref> names;
  for (const std::string* n : kept) {
    names.push_back(decode(*n));
    if (!names.back()) return nullptr;
  }
  if (!utf8) {
    std::sort(names.begin(), names.end(), [](const Ref& a, const Ref& b) {
      return PyUnicode_Compare(a.get(), b.get()) < 0;
    });
  }
  Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
  if (!result) return nullptr;
  for (size_t i = 0; i < names.size(); ++i) {
    Ref child = make_path(env.s, root, {names[i].get()});
    if (!child) return nullptr;
    PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), child.release());
  }
  return result.release();
}

PyObject* remove_tree(const Env& env, PyObject* path, bool* declined) {
  if (!own_function(env, env.s.remove_tree, kRemoveTree)) {
    *declined = true;
    return nullptr;
  }
  std::string base;
  if (!fs_path(path, &base, declined)) return nullptr;
  const size_t limit = removal_depth_limit();
  Failure f;
  {
    WithoutGil nogil;
    f = remove_tree_at(AT_FDCWD, base.c_str(), limit);
  }
  if (f) return raise_failure(env.s, path, f);
  Py_RETURN_NONE;
}

namespace {

// Whether "__pycache__" is among the components of `path` itself.
int has_cache_component(const Env& env, PyObject* path) {
  Ref parts = attr(path, env.s.parts);
  return parts ? PySequence_Contains(parts.get(), env.s.pycache) : -1;
}

int audit_rglob(PyObject* path, PyObject* pattern) {
  return PySys_Audit("pathlib.Path.rglob", "OO", path, pattern);
}

}  // namespace

PyObject* remove_packaging_junk(const Env& env, PyObject* root, bool* declined) {
  if (!own_function(env, env.s.remove_tree, kRemoveTree) ||
      !own_function(env, env.s.is_packable_file, kIsPackableFile)) {
    *declined = true;
    return nullptr;
  }
  std::string base;
  if (!fs_path(root, &base, declined)) return nullptr;
  const int root_cached = has_cache_component(env, root);
  if (root_cached < 0) return nullptr;
  const size_t limit = removal_depth_limit();

  // Phase 1: every "__pycache__" rglob finds, listed before any removal.
  if (audit_rglob(root, env.s.pycache) < 0) return nullptr;
  Tree caches;
  std::vector<int> found;
  Failure f;
  {
    WithoutGil nogil;
    f = rglob(caches, base, Yield::Caches, false, &found);
    // Removal works beneath a descriptor of the root: each cache is reached
    // without following links, so a directory swapped meanwhile for a link
    // out of the tree leads nowhere.
    const int root_fd = f || found.empty() ? -1 : open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!f && !found.empty() && root_fd < 0) f.err = errno;
    {
      Beneath beneath(caches, root_fd);
      const std::string name = "__pycache__";
      for (size_t i = 0; !f && i < found.size(); ++i) {
        const int dfd = beneath.at(found[i]);
        if (dfd < 0) continue;
        const int dir = stat_is(dfd, name.c_str(), S_IFDIR);
        Failure step;
        if (dir < 0) {
          step.err = -dir;
        } else if (dir) {
          step = remove_tree_at(dfd, name.c_str(), limit);
        }
        if (step) {
          f = std::move(step);
          std::vector<std::string> prefix = caches.components(found[i], &name);
          f.below.insert(f.below.begin(), prefix.begin(), prefix.end());
        }
      }
    }
    if (root_fd >= 0) close(root_fd);
  }
  if (f) return raise_failure(env.s, root, f);

  // Phase 2: every file that is not packable, again listed in full first.
  if (audit_rglob(root, env.s.star) < 0) return nullptr;
  Tree tree;
  {
    WithoutGil nogil;
    f = rglob(tree, base, Yield::Entries, false, nullptr);
    const int root_fd = f || tree.entries.empty() ? -1 : open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!f && !tree.entries.empty() && root_fd < 0) f.err = errno;
    {
      Beneath beneath(tree, root_fd);
      for (size_t i = 0; !f && i < tree.entries.size(); ++i) {
        const Tree::Entry& e = tree.entries[i];
        const int dfd = beneath.at(e.dir);
        if (dfd < 0) continue;  // no longer inside the tree
        int file = e.type == DT_REG ? 1
                   : (e.type == DT_LNK || e.type == DT_UNKNOWN)
                       ? stat_is(dfd, e.name.c_str(), S_IFREG)
                       : 0;
        if (file < 0) {
          tree.fail(-file, e.dir, &e.name);
          f = tree.failure;
        } else if (file && !packable_name(tree, e, root_cached)) {
          if (unlinkat(dfd, e.name.c_str(), 0) != 0) {
            tree.fail(errno, e.dir, &e.name);
            f = tree.failure;
          }
        }
      }
    }
    if (root_fd >= 0) close(root_fd);
  }
  if (f) return raise_failure(env.s, root, f);
  Py_RETURN_NONE;
}

PyObject* collect_skill_datas(const Env& env, PyObject* root, PyObject* names,
                              bool* declined) {
  // Only simple Skill names: `root / name` is then one more component.
  if (!PyList_CheckExact(names) ||
      !own_function(env, env.s.is_packable_file, kIsPackableFile)) {
    *declined = true;
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); ++i) {
    PyObject* name = PyList_GET_ITEM(names, i);
    if (!PyUnicode_CheckExact(name) || PyUnicode_GET_LENGTH(name) == 0 ||
        PyUnicode_FindChar(name, '/', 0, PyUnicode_GET_LENGTH(name), 1) != -1 ||
        PyUnicode_FindChar(name, 0, 0, PyUnicode_GET_LENGTH(name), 1) != -1 ||
        PyUnicode_CompareWithASCIIString(name, ".") == 0) {
      *declined = true;
      return nullptr;
    }
  }
  Ref prefix = Ref::steal(PyUnicode_FromString("zavrik/skills/templates/"));
  Ref slash = Ref::steal(PyUnicode_FromString("/"));
  Ref datas = Ref::steal(PyList_New(0));
  if (!prefix || !slash || !datas) return nullptr;

  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); ++i) {
    PyObject* name = PyList_GET_ITEM(names, i);
    Ref skill_dir = make_path(env.s, root, {name});
    if (!skill_dir) return nullptr;
    if (audit_rglob(skill_dir.get(), env.s.star) < 0) return nullptr;
    std::string base;
    if (!fs_path(skill_dir.get(), &base, declined)) {
      if (!*declined) return nullptr;
      // rglob's own is_dir() would answer False for such a path: no files.
      *declined = false;
      continue;
    }
    const int cached = has_cache_component(env, skill_dir.get());
    if (cached < 0) return nullptr;

    // Walk, keep the packable files, sort them by their components.
    Tree tree;
    std::vector<FileKey> files;
    bool all_utf8 = true;
    Failure f;
    {
      WithoutGil nogil;
      f = rglob(tree, base, Yield::Entries, true, nullptr);
      if (!f) {
        for (size_t k = 0; k < tree.entries.size(); ++k) {
          const Tree::Entry& e = tree.entries[k];
          if (e.file != 1 || !packable_name(tree, e, cached)) continue;
          FileKey key{{}, k};
          for (int d = e.dir; d > 0; d = tree.dirs[d].parent)
            key.components.push_back(&tree.dirs[d].name);
          std::reverse(key.components.begin(), key.components.end());
          key.components.push_back(&e.name);
          files.push_back(std::move(key));
        }
        for (const Tree::Dir& d : tree.dirs) all_utf8 = all_utf8 && valid_utf8(d.name);
        for (const FileKey& key : files)
          all_utf8 = all_utf8 && valid_utf8(tree.entries[key.entry].name);
        if (all_utf8) std::sort(files.begin(), files.end(), components_less);
      }
    }
    if (f) return raise_failure(env.s, skill_dir.get(), f);
    if (!all_utf8) {
      // Names the file-system decoding escapes compare as decoded strings.
      std::vector<Ref> decoded_dirs, decoded_files(tree.entries.size());
      for (const Tree::Dir& d : tree.dirs) {
        decoded_dirs.push_back(decode(d.name));
        if (!decoded_dirs.back()) return nullptr;
      }
      for (const FileKey& key : files) {
        decoded_files[key.entry] = decode(tree.entries[key.entry].name);
        if (!decoded_files[key.entry]) return nullptr;
      }
      auto component = [&](const FileKey& key, size_t j) -> PyObject* {
        if (j + 1 == key.components.size()) return decoded_files[key.entry].get();
        int d = tree.entries[key.entry].dir;
        for (size_t up = key.components.size() - 2; up > j; --up) d = tree.dirs[d].parent;
        return decoded_dirs[d].get();
      };
      std::sort(files.begin(), files.end(), [&](const FileKey& a, const FileKey& b) {
        const size_t n = std::min(a.components.size(), b.components.size());
        for (size_t j = 0; j < n; ++j) {
          const int c = PyUnicode_Compare(component(a, j), component(b, j));
          if (c != 0) return c < 0;
        }
        return a.components.size() < b.components.size();
      });
    }

    // (str(file), str(Path("zavrik", "skills", "templates") / relative dir))
    Ref source_prefix = Ref::steal(PyObject_Str(skill_dir.get()));
    if (!source_prefix) return nullptr;
    Ref skill_dest = Ref::steal(PyUnicode_Concat(prefix.get(), name));
    if (!skill_dest) return nullptr;
    std::vector<Ref> dests(tree.dirs.size());
    for (const FileKey& key : files) {
      const Tree::Entry& e = tree.entries[key.entry];
      std::string rel;
      for (size_t j = 0; j + 1 < key.components.size(); ++j) {
        rel += *key.components[j];
        rel += '/';
      }
      Ref& dest = dests[e.dir];
      if (!dest) {
        if (rel.empty()) {
          dest = Ref::borrow(skill_dest.get());
        } else {
          Ref tail = decode(std::string_view(rel).substr(0, rel.size() - 1));
          Ref joined = tail ? Ref::steal(PyUnicode_Concat(skill_dest.get(), slash.get())) : Ref();
          dest = joined ? Ref::steal(PyUnicode_Concat(joined.get(), tail.get())) : Ref();
          if (!dest) return nullptr;
        }
      }
      rel += e.name;
      Ref tail = decode(rel);
      if (!tail) return nullptr;
      Ref with_slash = Ref::steal(PyUnicode_Concat(source_prefix.get(), slash.get()));
      if (!with_slash) return nullptr;
      Ref source = Ref::steal(PyUnicode_Concat(with_slash.get(), tail.get()));
      if (!source) return nullptr;
      Ref pair = Ref::steal(PyTuple_Pack(2, source.get(), dest.get()));
      if (!pair || PyList_Append(datas.get(), pair.get()) < 0) return nullptr;
    }
  }
  return datas.release();
}

bool fs_bytes(PyObject* path, std::string* out, bool* declined) {
  return fs_path(path, out, declined);
}

int exists_below(const Env& env, PyObject* root, const std::string& root_bytes,
                 PyObject* name, const char* a, const char* b) {
  if (!PyUnicode_CheckExact(name) || PyUnicode_GET_LENGTH(name) == 0 ||
      PyUnicode_FindChar(name, '/', 0, PyUnicode_GET_LENGTH(name), 1) != -1 ||
      PyUnicode_CompareWithASCIIString(name, ".") == 0)
    return 2;
  Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(name));
  if (!encoded) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return -1;
    PyErr_Clear();
    return 2;
  }
  std::string_view n(PyBytes_AS_STRING(encoded.get()),
                     static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
  if (n.find('\0') != std::string_view::npos) return 2;
  std::string path = join(join(root_bytes, n), a);
  if (b) path = join(path, b);
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return 1;
  const int err = errno;
  if (ignored_errno(err)) return 0;
  Ref a_text = Ref::steal(PyUnicode_FromString(a));
  Ref b_text = Ref::steal(PyUnicode_FromString(b ? b : ""));
  if (!a_text || !b_text) return -1;
  std::vector<PyObject*> components{name, a_text.get()};
  if (b) components.push_back(b_text.get());
  Ref target = make_path(env.s, root, components);
  if (!target) return -1;
  Ref text = Ref::steal(PyObject_Str(target.get()));
  if (!text) return -1;
  errno = err;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, text.get());
  return -1;
}

}  // namespace zavrik::fast
