// The boundary between the module's operations and the native walks.
//
// The operations are written against the methods of the path objects they
// are given. When such an object is a path the path seam knows (ready()),
// an operation may decide, at its entry, to run natively instead: directory
// descriptors and *at() calls (walker.hpp, rglob.hpp), with the Python
// results built directly. Results, exceptions, effects on disk and the
// events audit hooks are told are those of the method-by-method path.
//
// Every entry point answers in the one shape `Native` (nativewalk.hpp).
//
// This unit knows nothing of the operations that call it: which callees
// are the module's own is theirs to decide before they come here.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "nativewalk.hpp"

namespace zavrik::fast {

// --- Reading -----------------------------------------------------------------

// list_template_dirs(root) of a ready root.
Native list_template_dirs(const Env& env, PyObject* root);
// The names of the directories list_template_dirs(root) would return, for
// a ready root, without a path object per directory: distinct str in
// ascending order; with `encoded`, the file-system bytes of each too.
Native template_dir_names(const Env& env, PyObject* root,
                          std::vector<std::string>* encoded = nullptr);
// The pairs collect_skill_datas makes of the Skills `names` of a ready
// root, in its order (the manifest's pair aside).
Native collect_skill_datas(const Env& env, PyObject* root, PyObject* names);

// exists() of root / name / file for every name (file-system bytes of
// simple components) and file (relative paths), in one loop without the
// GIL, relative to the ready root opened once. `answers` gets, name by
// name, one int per file: 1, 0, or -errno for an error the methods would
// raise. None on success.
Native exists_below(const Env& env, PyObject* root, const std::vector<std::string_view>& names,
                    std::span<const char* const> files, std::vector<int>* answers);
// Raises what exists() of root / name / file raised, for an answer of
// exists_below.
void raise_exists_error(const Env& env, PyObject* root, std::string_view name, const char* file,
                        int err);

// The str of a name read from the file system, as template_dir_names makes
// it from the bytes it stores in `encoded`.
Ref name_str(std::string_view bytes);

// The places of the names of a list of distinct exact str (such as
// template_dir_names gives), found by text through the names' own hashes.
// The list is borrowed: it must outlive the table and stay unchanged.
class NamePlaces {
 public:
  explicit NamePlaces(PyObject* names);
  // The place of the name equal to the exact str `key`, or -1.
  Py_ssize_t find(PyObject* key) const;

 private:
  struct Slot {
    Py_hash_t hash;
    Py_ssize_t place;
  };
  PyObject* names_;
  size_t mask_ = 0;
  std::vector<Slot> slots_;
};

// --- Deleting ----------------------------------------------------------------

// _remove_tree(path) of a ready path, relative to its parent opened once.
Native remove_tree(const Env& env, PyObject* path);
// _remove_packaging_junk(root) of a ready root, relative to it opened once.
Native remove_packaging_junk(const Env& env, PyObject* root);

// A directory opened once for an operation that deletes below it: every
// native step of the operation works relative to its descriptor, and tells
// audit hooks of its steps as one walk.
class Anchor {
 public:
  explicit Anchor(const Env& env) : env_(env), walk_(env) {}

  // Opens a ready `path` (links followed, as exists() and is_dir() follow
  // them) when it is a directory. None; declined where the methods refuse
  // the path.
  Native open(PyObject* path);
  // exists() of the path, as it was when opened: 1, 0, or -1 with its
  // error raised.
  int exists() const;
  // _remove_packaging_junk(path).
  Native sweep();
  // The names of list_template_dirs(path), in its order.
  Native child_names();
  // Removes every directory entry whose name is not in the set `admitted`,
  // as `_remove_tree` would, in listing order.
  Native remove_children_except(PyObject* admitted);
  // exists() of path / name: Py_True or Py_False; declined where `name` is
  // not one simple component.
  Native child_exists(PyObject* name);

 private:
  // A step that declines (out of descriptors) gives the target's descriptor
  // back with the ones it set aside, so that the method way has them: every
  // later step is then taken that way too.
  Native decline();

  // (env_, err_ and is_dir_ go unread where the walks compile to nothing.)
  [[maybe_unused]] const Env& env_;
  mutable Walk walk_;
  Target target_;
  walk::Fd fd_;
  [[maybe_unused]] int err_ = 0;  // why it could not be opened
  int stat_err_ = 0;              // what exists() and is_dir() raise of it
  bool exists_ = false;
  [[maybe_unused]] bool is_dir_ = false;
  bool declined_ = false;
};

}  // namespace zavrik::fast
