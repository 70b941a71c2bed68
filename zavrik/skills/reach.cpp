// Descriptors of the directories of a walk (see reach.hpp).
#include "reach.hpp"

#if !defined(_WIN32)

#include <sys/stat.h>

#include <algorithm>

namespace zavrik::walk {

Reach::Reach(const DirMap& map, int base, Poll& poll) noexcept
    : map_(map), base_(base), poll_(poll), outer_(poll.innermost()) {
  poll_.set_innermost(this);
}

Reach::~Reach() { poll_.set_innermost(outer_); }

Reach::Held* Reach::find(int dir) {
  for (Held& h : held_)
    if (h.dir == dir) return &h;
  return nullptr;
}

bool Reach::evict(int needed) {
  Held* oldest = nullptr;
  for (Held& h : held_)
    if (h.dir != needed && h.dir != in_use_ && (!oldest || h.used < oldest->used)) oldest = &h;
  if (!oldest) return false;
  *oldest = std::move(held_.back());
  held_.pop_back();
  return true;
}

int Reach::make_room(int needed, int err) {
  if (poll_.stop()) return EINTR;
  if (evict(needed)) return 0;
  for (Reach* outer = outer_; outer; outer = outer->outer_)
    if (outer->evict(outer->in_use_)) return 0;
  Spare* spare = poll_.spare();
  return spare && spare->give_back() ? 0 : err;
}

void Reach::keep(int dir, Fd fd) {
  if (dir == 0 || !fd) return;
  in_use_ = dir;
  if (Held* h = find(dir)) {
    h->fd = std::move(fd);
    h->used = ++clock_;
    return;
  }
  if (held_.size() >= kHeld) evict(dir);
  held_.push_back({dir, std::move(fd), ++clock_});
}

void Reach::drop(int dir) {
  if (Held* h = find(dir)) {
    *h = std::move(held_.back());
    held_.pop_back();
  }
}

int Reach::climb(int dir, int* out) {
  const std::uint64_t ino = map_.ino(dir);
  if (!ino) return ENOENT;
  if (!base_dev_) {
    struct stat st;
    if (fstat(base_, &st) != 0) return errno;
    base_dev_ = st.st_dev;
  }
  for (Held& h : held_) {
    if (map_.parent(h.dir) != dir) continue;
    Fd up;
    if (const int err = open_search(h.fd.get(), "..", &up)) return err;
    struct stat st;
    if (fstat(up.get(), &st) != 0 || st.st_dev != base_dev_ || st.st_ino != ino)
      return ESTALE;  // moved (or another file system): reached by name from above instead
    *out = up.get();
    keep(dir, std::move(up));
    return 0;
  }
  return ENOENT;
}

int Reach::descend(int dir, int* out) {
  // The directories from the nearest one held (or the base) down to `dir`.
  std::vector<int> path;
  int from = dir;
  while (from != 0 && !find(from)) {
    path.push_back(from);
    from = map_.parent(from);
  }
  for (auto it = path.rbegin(); it != path.rend(); ++it) {
    // `from` is held, or the base: nothing closes it to make room below.
    Held* held = from == 0 ? nullptr : find(from);
    if (held) held->used = ++clock_;
    in_use_ = from;
    const int at = held ? held->fd.get() : base_;
    Fd next;
    int err;
    while (exhausted(err = open_searching(at, map_.name(*it).c_str(), &next))) {
      if (const int room = make_room(from, err)) return room;
    }
    if (err) return err;
    keep(*it, std::move(next));
    from = *it;
  }
  *out = from == 0 ? base_ : find(from)->fd.get();
  in_use_ = from;
  return 0;
}

int Reach::fd(int dir, int* out) {
  if (dir == 0) {
    *out = base_;
    in_use_ = 0;
    return 0;
  }
  if (Held* h = find(dir)) {
    h->used = ++clock_;
    *out = h->fd.get();
    in_use_ = dir;
    return 0;
  }
  return climb(dir, out) == 0 ? 0 : descend(dir, out);
}

}  // namespace zavrik::walk

#endif  // !_WIN32
