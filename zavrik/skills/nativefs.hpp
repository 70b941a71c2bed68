// The boundary between the module's operations and the native walker.
//
// The operations are written against the methods of the path objects they
// are given. When such an object is an eligible path (the platform's
// pathlib class, or a subclass of it that overrides none of the members the
// operations use, with its parts set) and pathlib, the `os` functions it
// calls, the module's `Path` and the callees the operation would look up
// are all as they were at import, the operation runs here instead: directory
// descriptors and *at() calls from walker.hpp, without the GIL, with the
// Python results built directly. Results, exceptions and effects on disk
// are those of the method-by-method path.
//
// Every entry point answers in one shape, `Native`:
// - no value: declined, the caller runs the method path (nothing happened);
// - an empty `Ref`: failed, with the Python exception set;
// - otherwise the result.
//
// Destructive operations open their target once and work relative to that
// descriptor to the end, across every step and callee they run natively.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "function.hpp"
#include "walker.hpp"

namespace zavrik::fast {

using Native = std::optional<Ref>;

// Records the pathlib class and methods and the os functions as they are at
// import, beside the interned strings (owned by `names_owner`).
int capture_originals(PyObject* names_owner);

// Whether `path` may be handled natively: 1, 0, or -1 with an exception.
int eligible(const Env& env, PyObject* path);

// Whether pathlib, the os functions it calls and the module's `Path` are as
// they were at import.
bool pathlib_intact(const Env& env);

// `path.name` of a path of an eligible class, read from its parts.
Ref path_name(const Env& env, PyObject* path);

// Whether the module attribute `name` is still the module's own function
// running `def`.
bool own_function(const Env& env, PyObject* name, const FunctionDef& def);

Native list_template_dirs(const Env& env, PyObject* root);
// The names of the directories `list_template_dirs(root)` would return,
// while that is the module's own function: no path object per directory.
// The names are distinct str objects in ascending order; with `encoded`, the
// file-system bytes of each are stored there too, in the same order.
Native template_dir_names(const Env& env, PyObject* root,
                          std::vector<std::string>* encoded = nullptr);

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
Native remove_tree(const Env& env, PyObject* path);
Native remove_packaging_junk(const Env& env, PyObject* root);
Native collect_skill_datas(const Env& env, PyObject* root, PyObject* names);

// A directory opened once for an operation that deletes below it.
struct Anchor {
  enum class State : unsigned char { Declined, Absent, NotDirectory, Open };
  State state = State::Declined;
  walk::Fd fd;
  PyObject* path = nullptr;  // borrowed from the caller
  bool cached = false;       // "__pycache__" among the path's parts
};

// Opens `path` as an anchor (links followed, as pathlib's exists() and
// is_dir() follow them). false with an exception set.
bool open_anchor(const Env& env, PyObject* path, Anchor* out);

// `_remove_packaging_junk(anchor.path)` relative to the anchor, while the
// callees of that sweep are the module's own.
Native sweep(const Env& env, const Anchor& anchor);
// `list_template_dirs(anchor.path)`, relative to the anchor.
Ref child_dirs(const Env& env, const Anchor& anchor);
// Removes, relative to the anchor, every directory entry whose name is not
// in the set `admitted`, each with `_remove_tree`'s rule.
Ref remove_children_except(const Env& env, const Anchor& anchor, PyObject* admitted);
// exists() of anchor.path / name: 1, 0, -1 with an exception set, or no
// value (declined) when `name` is not one simple component.
std::optional<int> child_exists(const Env& env, const Anchor& anchor, PyObject* name);

// The identity of a directory named by a path-like object, read when a
// method-path deletion begins and compared before each of its steps: a
// target renamed and replaced meanwhile is no longer the same directory.
struct Identity {
  bool known = false;
  unsigned long long device = 0;
  unsigned long long inode = 0;
};
// Reads it (unknown for objects that are not path-like, or not there);
// false with an exception set when the object's __fspath__ raised.
bool identify(const Env& env, PyObject* path, Identity* out);
// 1 when `path` still names the directory `id` (or `id` is unknown), 0 when
// not, -1 with an exception set.
int still_same(const Env& env, PyObject* path, const Identity& id);

// exists() of root / name / file, for every name of `names` (file-system
// bytes of simple components, as template_dir_names gives them) and every
// file of `files` (relative paths), in one loop without the GIL, relative
// to the root opened once. `answers` gets, name by name, one int per file:
// 1, 0, or -errno for an error the methods would raise. No value: declined
// (the root is not eligible); false: an exception is set.
std::optional<bool> exists_below(const Env& env, PyObject* root,
                                 const std::vector<std::string_view>& names,
                                 std::initializer_list<const char*> files,
                                 std::vector<int>* answers);
// The same for the str names of the list `names`; declined too when one of
// them is not one simple component.
std::optional<bool> exists_below(const Env& env, PyObject* root, PyObject* names,
                                 std::initializer_list<const char*> files,
                                 std::vector<int>* answers);

// Raises what exists() of root / name / file raised, for an answer of
// exists_below.
void raise_exists_error(const Env& env, PyObject* root, PyObject* name, const char* file,
                        int err);

}  // namespace zavrik::fast
