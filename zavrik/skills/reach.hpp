// Descriptors of the directories of a walk (see Reach).
#pragma once

#include "walker.hpp"

namespace zavrik::walk {

// The directories a walk knows: `parent(d)`, `name(d)` and `ino(d)` (its
// parent's listing's inode number, 0 if unknown) describe directory d (0 is
// the base).
struct DirMap {
  virtual int parent(int dir) const = 0;
  virtual const std::string& name(int dir) const = 0;
  virtual std::uint64_t ino(int dir) const = 0;

 protected:
  ~DirMap() = default;
};

#if !defined(_WIN32)

// Descriptors of the directories of a walk, reached one component at a time
// from the base without following links. At most a few are held at once:
// the least recently used is closed to make room, and opened again when it
// is wanted, through ".." from a child that is still open where that leads
// back to the same directory (the inode its parent's listing gave), else
// down from its nearest open ancestor. Running out of descriptors closes
// more of them.
class Reach {
 public:
  Reach(const DirMap& map, int base) noexcept : map_(map), base_(base) {}

  // The descriptor of directory `dir` (only to work in).
  int fd(int dir, int* out);
  // Hands over a descriptor just opened for `dir`.
  void keep(int dir, Fd fd);
  // `dir` is gone or no longer wanted.
  void drop(int dir);
  // Opens a child of directory `dir` with `open(dir_fd)`, making room when
  // the process is out of descriptors.
  template <class Open>
  int open_child(int dir, Open&& open);

 private:
  struct Held {
    int dir;
    Fd fd;
    std::uint64_t used;
  };
  static constexpr std::size_t kHeld = 24;

  Held* find(int dir);
  bool make_room();
  int climb(int dir, int* out);
  int descend(int dir, int* out);

  const DirMap& map_;
  int base_;
  std::vector<Held> held_;
  std::uint64_t clock_ = 0;
  dev_t base_dev_ = 0;  // known once read
};

template <class Open>
int Reach::open_child(int dir, Open&& open) {
  for (;;) {
    int at;
    if (const int err = fd(dir, &at)) return err;
    const int err = open(at);
    if ((err != EMFILE && err != ENFILE) || !make_room()) return err;
  }
}

#endif  // !_WIN32

}  // namespace zavrik::walk
