// Directory walks and removals on POSIX file systems.
//
// This unit knows nothing of Python: it works on directory descriptors and
// byte names, and reports what stopped it as a `Failure`. nativefs.cpp turns
// Python arguments into these calls and their results back into objects.
//
// Every walk starts from a descriptor that its caller opened once, and every
// directory below it is reached relative to its parent with O_NOFOLLOW: a
// directory renamed, or swapped for a link, while a walk runs is never left
// through, so a deletion can never land outside the tree that was open when
// the operation began.
//
// The answers are those that pathlib's methods give (CPython 3.11, POSIX):
// - `is_dir`/`is_file`/`exists` follow links; ENOENT, ENOTDIR, EBADF and
//   ELOOP answer "no", any other error is reported.
// - `rglob` walks real directories depth first, listing a directory whole
//   before descending into its sub-directories in listing order, never into
//   links; a directory it may not list is passed over. A directory it may
//   list but not search answers every question about its entries with
//   EACCES, as a stat of such an entry does.
// - Entry types come from the listing where they are certain; a directory's
//   searchability is probed once, with the first entry's stat.
//
// Long walks call `Poll::stop()` between steps, so that the caller (which
// runs them without the GIL) can look for signals every few milliseconds.
#pragma once

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zavrik::walk {

// An owned file descriptor.
class Fd {
 public:
  Fd() noexcept = default;
  explicit Fd(int fd) noexcept : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    reset(std::exchange(other.fd_, -1));
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  void reset(int fd = -1) noexcept;

 private:
  int fd_ = -1;
};

// What stopped a walk, and where: the components below the walk's base of
// the entry concerned (empty: the base itself).
struct Failure {
  enum class Kind : unsigned char { None, Errno, TooDeep, Interrupted };
  Kind kind = Kind::None;
  int err = 0;
  std::vector<std::string> below;

  explicit operator bool() const noexcept { return kind != Kind::None; }
  static Failure at(int err, std::vector<std::string> below = {});
  static Failure interrupted() { return {Kind::Interrupted, 0, {}}; }
  static Failure too_deep() { return {Kind::TooDeep, 0, {}}; }
  // The same failure seen from `prefix` further up.
  Failure& under(const std::vector<std::string>& prefix);
};

// Cooperative interruption: `stop()` is cheap and is called between steps;
// every few milliseconds it asks the caller's hook whether to stop.
class Poll {
 public:
  using Hook = bool (*)(void* context);  // true: stop now
  Poll() noexcept = default;
  Poll(Hook hook, void* context) noexcept;
  bool stop();

 private:
  Hook hook_ = nullptr;
  void* context_ = nullptr;
  unsigned countdown_ = 0;
  std::uint64_t next_ns_ = 0;
  bool stopped_ = false;
};

struct Entry {
  std::string name;
  unsigned char type;  // d_type
};

#if !defined(_WIN32)  // the walks are POSIX; Windows takes the method path

// Errors that pathlib's predicates (exists, is_dir, is_file) answer with
// "no".
bool ignored(int err);

// Opens `name` relative to `at` as a directory to work in (the right to
// search it is enough), following a final link as pathlib does for the path
// it was handed. 0 or an errno.
int open_search(int at, const char* name, Fd* out);

// Opens `name` relative to `at` as the base of a walk, following a final
// link: for listing where that is allowed, else only to work in. 0 or an
// errno.
int open_base(int at, const char* name, Fd* out);

// Opens the directory `name` relative to `at` as open_base does, but only
// where it may be both listed and searched, which the open then proves (it
// goes through the directory's own "."). 0, or -1 where it was not opened
// that way (open_base then answers).
int open_base_searchable(int at, const char* name, Fd* out);

// stat of `name` relative to `at`, links followed: 1 when its type is
// `kind`, 0 when not or for an error that pathlib's predicates ignore,
// -errno otherwise.
int is_kind(int at, const char* name, mode_t kind);

// The Skill directories of the directory `base` (from open_base): every
// entry that is a directory (links followed), in listing order.
Failure list_dirs(int base, std::vector<std::string>* dirs, Poll& poll);

// Removes the tree `name` relative to the open directory `at`: children
// first, then the directory. A link is unlinked, never followed, whether it
// is `name` itself or met on the way. Deeper than `depth_limit` levels it
// stops with Kind::TooDeep.
Failure remove_tree(int at, const char* name, std::size_t depth_limit, Poll& poll);

// A walked tree, in rglob's order.
struct Tree {
  struct Dir {
    int parent = -1;          // -1 for the base
    std::string name;         // empty for the base
    bool cached = false;      // "__pycache__" among its components
    bool searchable = true;   // its entries may be looked at
    bool has_cache = false;   // exists(D / "__pycache__")
    std::uint32_t first = 0;  // its entries: entries[first, first + count)
    std::uint32_t count = 0;
  };
  struct Item {
    std::string name;
    unsigned char type;    // d_type
    signed char file = -1;  // is_file(), when the walk resolved it
  };
  std::vector<Dir> dirs;
  std::vector<Item> entries;

  std::vector<std::string> components(int dir, const std::string* name = nullptr) const;
};

enum class Scan : unsigned char {
  Sweep,  // remove every cache directory rglob("__pycache__") finds
  Files,  // resolve is_file() of every entry as the walk lists it
};

// rglob("*") below the directory `base` (from open_base or
// open_base_searchable), recording the tree. `base_cached` says whether the
// base's own path holds a "__pycache__" component, `base_searchable` that
// the base is known to be searchable.
//
// Sweeping, it also does the first phase of the junk sweep on the way: a
// directory's cache, found in its listing, is removed (with remove_tree's
// rules) before anything below the directory is looked at, so the caches go
// in rglob's order and the walk never reads what it is about to remove.
Failure scan(int base, bool base_cached, bool base_searchable, Scan what, Tree* tree,
             std::size_t depth_limit, Poll& poll);

// The second phase of the sweep: every file of a swept tree that is not
// packable, taken from the same scan.
Failure remove_junk_files(int base, const Tree& tree, Poll& poll);

// Whether the entry is a packable file by its name and place: not junk by
// name, and no "__pycache__" along its path.
bool packable(const Tree& tree, int dir, const Tree::Item& item);

// A packable file of a Files scan: its directory and entry.
struct File {
  int dir;
  std::uint32_t entry;
};

// The packable files of a Files scan, sorted as pathlib sorts paths: by
// components, each in code-point order.
std::vector<File> packable_files(const Tree& tree);

// Sorts names in code-point order of their decoded form.
void sort_names(std::vector<std::string>* names);

#endif  // !_WIN32

}  // namespace zavrik::walk
