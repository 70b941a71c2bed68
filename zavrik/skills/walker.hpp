// Directory walks and removals on POSIX file systems: the primitives.
//
// This unit and rglob.hpp know nothing of Python: they work on directory
// descriptors and byte names, and report what stopped them as a `Failure`.
// nativefs.cpp turns Python arguments into these calls and their results
// back into objects.
//
// Every walk starts from a descriptor that its caller opened once, and every
// directory below it is reached relative to its parent with O_NOFOLLOW: a
// directory renamed, or swapped for a link, while a walk runs is never left
// through, so a deletion can never land outside the tree that was open when
// the operation began.
//
// The answers are those that pathlib's methods give on the same tree:
// - `is_dir`/`is_file`/`exists` follow links; ENOENT, ENOTDIR, EBADF and
//   ELOOP answer "no", any other error is reported;
// - a step on a path whose text would be PATH_MAX bytes or more fails with
//   ENAMETOOLONG, as the system call by name that pathlib makes would: the
//   walks go nowhere a path cannot be named.
//
// Walks hold a bounded number of descriptors (`Reach`), whatever the depth.
// Long walks call `Poll::stop()` between steps, so that the caller (which
// runs them without the GIL) can look for signals every few milliseconds,
// and tell a `Watch`, when there is one, of each step before they take it.
#pragma once

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include <cerrno>
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

// How deep a removal may go: `levels` levels may be entered (listed);
// with `last_listed_only`, the entries of the deepest of them are not
// looked at (the method way lists that level, then cannot ask is_dir() of
// its first entry).
struct DepthLimit {
  std::size_t levels;
  bool last_listed_only;
  DepthLimit(std::size_t n, bool listed_only = false) noexcept  // NOLINT: a plain count converts
      : levels(n), last_listed_only(listed_only) {}
};

// The components of a place below a walk's base (empty: the base itself).
using Place = std::vector<std::string>;

// What stopped a walk, and where.
struct Failure {
  enum class Kind : unsigned char {
    None,
    Errno,    // a system call failed (or would have, by its path's length)
    TooDeep,  // deeper than the caller's depth limit
    Stopped,  // the caller's Poll or Watch said stop: its exception is set
  };
  Kind kind = Kind::None;
  int err = 0;
  Place below;

  explicit operator bool() const noexcept { return kind != Kind::None; }
  static Failure at(int err, Place below = {});
  static Failure stopped() { return {Kind::Stopped, 0, {}}; }
  static Failure too_deep() { return {Kind::TooDeep, 0, {}}; }
  // The same failure seen from `prefix` further up.
  Failure& under(const Place& prefix);
  // Whether the process ran out of descriptors: the caller may take the
  // way that needs none held.
  bool exhausted() const noexcept;
};

// Whether an errno says the process (EMFILE) or the system (ENFILE) has no
// descriptor left to open.
bool exhausted(int err) noexcept;

class Reach;

// Descriptors set aside before a walk announces its first step: the walks
// of a step need a few descriptors at once (see Reach), and a step that
// cannot have them declines before anything was announced or done, rather
// than in the middle. A walk that runs short takes one of them back (closes
// it) and tries again. Closed with the object.
class Spare {
 public:
  // Sets aside `count` descriptors in all: 0, or the errno that refused
  // one (none is kept then).
  int take(std::size_t count);
  // Closes one set aside, for a walk's next open: false where none is left.
  bool give_back();
  void clear() noexcept { fds_.clear(); }

 private:
  std::vector<Fd> fds_;
};

// Cooperative interruption: `stop()` is cheap and is called between steps;
// every few milliseconds it asks the caller's hook whether to stop. A walk's
// Poll also knows the descriptors its step set aside and the reaches in
// use, innermost first, so that a walk nested in another (a removal inside
// a scan) can make room in the enclosing one.
class Poll {
 public:
  using Hook = bool (*)(void* context);  // true: stop now
  Poll() noexcept = default;
  Poll(Hook hook, void* context) noexcept;
  bool stop();
  // Whether a stop was answered (the caller's exception is then set).
  bool stopped() const noexcept { return stopped_; }

  void use(Spare* spare) noexcept { spare_ = spare; }
  Spare* spare() const noexcept { return spare_; }
  Reach* innermost() const noexcept { return innermost_; }
  void set_innermost(Reach* reach) noexcept { innermost_ = reach; }

 private:
  Hook hook_ = nullptr;
  void* context_ = nullptr;
  unsigned countdown_ = 0;
  std::uint64_t next_ns_ = 0;
  bool stopped_ = false;
  Spare* spare_ = nullptr;
  Reach* innermost_ = nullptr;
};

// Runs `open()` (0 or an errno) again while it fails for want of a
// descriptor and one the step set aside can be given back.
template <class Open>
int with_spare(Poll& poll, Open&& open) {
  for (;;) {
    const int err = open();
    if (!exhausted(err) || !poll.spare() || !poll.spare()->give_back()) return err;
  }
}

// Told of a walk's steps before they are taken, as the interpreter's audit
// hooks are told of pathlib's, through its caller's hook (as `Poll` asks
// its caller whether to stop).
class Watch {
 public:
  enum class Step : unsigned char {
    ListEntries,  // rglob reads a directory for the entries it yields
    ListDirs,     // rglob's walk reads a directory for its sub-directories
    WalkStart,    // rglob starts the walk below its base (where it announces that)
    Iterdir,      // iterdir() of a directory
    Unlink,       // a file or link is removed
    Rmdir,        // a directory is removed
  };
  enum class Answer : unsigned char {
    Go,        // take the step
    PassOver,  // a listing only: it failed in a way rglob passes over
    Stop,      // the caller's exception is set
  };
  using Hook = Answer (*)(void* context, Step step, const Place& place);

  Watch() noexcept = default;
  Watch(Hook hook, void* context) noexcept : hook_(hook), context_(context) {}

  // Whether anyone listens: a walk makes no place for a watch that does
  // not.
  bool listening() const noexcept { return hook_ && listening_; }
  void set_listening(bool listening) noexcept { listening_ = listening; }
  Answer hear(Step step, const Place& place) { return hook_(context_, step, place); }

 private:
  Hook hook_ = nullptr;
  void* context_ = nullptr;
  bool listening_ = true;
};

// Tells `watch` (if any, and if it listens) of a step; Go otherwise. The
// place is only made for a watch that listens.
template <class MakePlace>
Watch::Answer tell(Watch* watch, Watch::Step step, MakePlace&& place) {
  if (!watch || !watch->listening()) return Watch::Answer::Go;
  return watch->hear(step, place());
}

struct Entry {
  std::string name;
  unsigned char type;       // d_type
  std::uint64_t ino = 0;    // d_ino
};

// How pathlib's predicates (exists, is_dir, is_file, is_symlink) answer a
// failure to look at the path: differs between interpreters.
enum class Predicates : unsigned char {
  // "no" for the errors ignored() names, any other one raised (CPython
  // 3.11 to 3.13).
  RaiseOthers,
  // "no" for every failure (CPython 3.14: os.path's predicates).
  AnswerNo,
};

#if !defined(_WIN32)  // the walks are POSIX; Windows takes the method path

// Every step below returns 0, or the errno it failed with (an answer it
// gives goes to an out-parameter); a walk returns a `Failure`.

// Errors that pathlib's predicates (exists, is_dir, is_file) answer with
// "no" on every interpreter.
bool ignored(int err);

// The errno a predicate raises for the failure `err` (0: it answers "no").
int raised_by(Predicates predicates, int err);
// A refused permission (what rglob of CPython 3.11 passes over).
bool denied(int err);

// Whether a path whose text is this many bytes long can be named in a
// system call. A walk keeps, for each directory, the length of the text
// that precedes its children's names (the directory's text and its
// separator; nothing for "."), so a child's length is that plus its name.
bool nameable(std::size_t length);

// Opens `name` relative to `at` as a directory to work in (the right to
// search it is enough), following a final link as pathlib does for the path
// it was handed.
int open_search(int at, const char* name, Fd* out);

// Opens `name` relative to `at` as the base of a walk, following a final
// link: for listing where that is allowed, else only to work in.
int open_base(int at, const char* name, Fd* out);

// Opens `name` relative to `at` as open_base does, but for listing through
// its own ".": such an open succeeds only where the directory may be both
// listed and searched, which then needs no probe.
int open_base_proven(int at, const char* name, Fd* out);

// Opens the sub-directory `name` of `at` for listing, never through a link
// (ELOOP or ENOTDIR where it is a link or no directory).
int open_listing(int at, const char* name, Fd* out);
// The same only to work in (the right to search it is enough).
int open_searching(int at, const char* name, Fd* out);

// Opens the directory `name` of `at` for listing through its own ".",
// refusing links on the way where the system can (openat2): such an open
// succeeds only where the directory may be both listed and searched, which
// then needs no probe. Where it fails, the caller opens the directory the
// plain way, which answers every failure; `*available` turns false where
// the system has no such open, so that a walk tries it no more.
int open_proven(int at, const std::string& name, Fd* out, bool* available);

// Every entry of the directory open as `fd`, as os.listdir lists them (from
// its start, also where `fd` may only be searched).
int list_dir(int fd, std::vector<Entry>* out);
// The same for a descriptor just opened for listing.
int read_dir(int fd, std::vector<Entry>* out);

// Whether a directory's entries may be looked at, probed with the first
// entry: a directory that may be listed but not searched refuses it.
bool probe_searchable(int fd, const std::vector<Entry>& entries);

// What a directory's entry is, as pathlib's is_dir() (kind S_IFDIR) or
// is_file() (S_IFREG) answers of its path: links followed, the type the
// listing gave taken where it is certain. `prefix` is the length of the
// directory's text and separator, `searchable` whether its entries may be
// looked at. 0 with the answer in `*yes` (failures the predicates answer
// with "no" answer "no"), or the errno the predicate raises.
int entry_is(Predicates predicates, mode_t kind, int fd, std::size_t prefix, bool searchable,
             const std::string& name, unsigned char type, bool* yes);

// The Skill directories of the directory `base` (from open_base): every
// entry that is a directory (links followed), in listing order. `prefix` is
// the length of the text before a child's name.
Failure list_dirs(Predicates predicates, int base, std::size_t prefix,
                  std::vector<std::string>* dirs, Poll& poll);

#endif  // !_WIN32

}  // namespace zavrik::walk
