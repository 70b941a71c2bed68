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
// down from its nearest open ancestor.
//
// Running out of descriptors closes more of them, never one the step in
// progress needs: the directory an open is made in, and the one whose
// descriptor was last handed out (an enclosing walk's is the base of the
// walk nested in it). Where nothing else is held, here or in an enclosing
// walk, a descriptor the step set aside (Spare) is given back; where none
// is left either, the open fails with its EMFILE or ENFILE, which the
// native boundary takes for a decline. Such a loop ends after as many
// rounds as descriptors were held, and polls on every round: a stop
// answers EINTR, and the walk's failure is then the stop.
class Reach {
 public:
  Reach(const DirMap& map, int base, Poll& poll) noexcept;
  ~Reach();
  Reach(const Reach&) = delete;
  Reach& operator=(const Reach&) = delete;

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
  // Closes the least recently used descriptor held here but those of
  // `needed` and of the directory in use: false where there is none.
  bool evict(int needed);
  // Frees a descriptor for an open that ran short while `needed` is
  // wanted: here, else in an enclosing walk, else one set aside. 0, EINTR
  // where the poll said stop, or `err` where nothing is left to free.
  int make_room(int needed, int err);
  int climb(int dir, int* out);
  int descend(int dir, int* out);

  const DirMap& map_;
  int base_;
  Poll& poll_;
  Reach* outer_;  // the reach of the enclosing walk, if any
  std::vector<Held> held_;
  std::uint64_t clock_ = 0;
  int in_use_ = 0;      // the directory whose descriptor was last handed out
  dev_t base_dev_ = 0;  // known once read
};

template <class Open>
int Reach::open_child(int dir, Open&& open) {
  for (;;) {
    int at;
    if (const int err = fd(dir, &at)) return err;
    const int err = open(at);
    if (!exhausted(err)) return err;
    if (const int room = make_room(dir, err)) return room;
  }
}

#endif  // !_WIN32

}  // namespace zavrik::walk
