// Descriptors of the directories of a walk (see reach.hpp).
#include "reach.hpp"

#if !defined(_WIN32)

#include <sys/stat.h>

#include <algorithm>

namespace zavrik::walk {

Reach::Held* Reach::find(int dir) {
  for (Held& h : held_)
    if (h.dir == dir) return &h;
  return nullptr;
}

bool Reach::make_room() {
  if (held_.empty()) return false;
  auto oldest = std::min_element(held_.begin(), held_.end(),
                                 [](const Held& a, const Held& b) { return a.used < b.used; });
  *oldest = std::move(held_.back());
  held_.pop_back();
  return true;
}

void Reach::keep(int dir, Fd fd) {
  if (dir == 0 || !fd) return;
  if (Held* h = find(dir)) {
    h->fd = std::move(fd);
    h->used = ++clock_;
    return;
  }
  if (held_.size() >= kHeld) make_room();
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
  std::vector<int> path;
  int from = dir;
  while (from != 0 && !find(from)) {
    path.push_back(from);
    from = map_.parent(from);
  }
  for (auto it = path.rbegin(); it != path.rend(); ++it) {
    Fd next;
    int err;
    for (;;) {
      Held* held = from == 0 ? nullptr : find(from);
      if (from != 0 && !held) return descend(dir, out);  // closed to make room: again from above
      if (held) held->used = ++clock_;
      err = open_searching(held ? held->fd.get() : base_, map_.name(*it).c_str(), &next);
      if ((err != EMFILE && err != ENFILE) || !make_room()) break;
    }
    if (err) return err;
    keep(*it, std::move(next));
    from = *it;
  }
  *out = from == 0 ? base_ : find(from)->fd.get();
  return 0;
}

int Reach::fd(int dir, int* out) {
  if (dir == 0) {
    *out = base_;
    return 0;
  }
  if (Held* h = find(dir)) {
    h->used = ++clock_;
    *out = h->fd.get();
    return 0;
  }
  return climb(dir, out) == 0 ? 0 : descend(dir, out);
}

}  // namespace zavrik::walk

#endif  // !_WIN32
