// Removing a tree as `_remove_tree` removes it (see removal.hpp).
#include "removal.hpp"

#if !defined(_WIN32)

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace zavrik::walk {

namespace {

// The directories of a tree being removed, as Reach sees them: 0 is the
// directory the removal started from, 1 the tree's root.
struct RemovalMap final : DirMap {
  std::vector<int> parents{-1};
  std::vector<std::string> names{std::string()};
  std::vector<std::uint64_t> inos{0};
  int parent(int dir) const override { return parents[static_cast<std::size_t>(dir)]; }
  const std::string& name(int dir) const override { return names[static_cast<std::size_t>(dir)]; }
  std::uint64_t ino(int dir) const override { return inos[static_cast<std::size_t>(dir)]; }
  int add(int parent_dir, const std::string& name_of, std::uint64_t ino_of) {
    parents.push_back(parent_dir);
    names.push_back(name_of);
    inos.push_back(ino_of);
    return static_cast<int>(parents.size()) - 1;
  }
};

// One removal of a tree, children before their directory (see
// remove_tree()).
class Removal {
 public:
  Removal(Predicates predicates, int at, DepthLimit depth_limit, Poll& poll, Watch* watch,
          const Place& above)
      : predicates_(predicates), reach_(map_, at, poll), depth_limit_(depth_limit), poll_(poll),
        watch_(watch), chain_(above) {}

  Failure run(const std::string& name, std::size_t length);

 private:
  // One directory being emptied.
  struct Frame {
    int dir;
    std::size_t prefix;  // length of its text and separator
    bool searchable;
    std::vector<Entry> entries;
    std::size_t next = 0;
  };

  Failure begin(int parent, const std::string& child, std::size_t length, std::uint64_t ino);
  Failure step();
  Failure finish();
  Watch::Answer tell(Watch::Step step) {
    return walk::tell(watch_, step, [&] { return chain_; });
  }

  Predicates predicates_;
  RemovalMap map_;
  Reach reach_;
  DepthLimit depth_limit_;
  Poll& poll_;
  Watch* watch_;
  std::vector<Frame> stack_;
  Place chain_;  // `above` and the names of the frames: where failures and steps are
};

// Starts removing `child` of directory `parent`: pushes its frame, or
// removes it at once when it is a link (never followed) or a file.
Failure Removal::begin(int parent, const std::string& child, std::size_t length,
                       std::uint64_t ino) {
  chain_.push_back(child);
  if (!nameable(length)) return Failure::at(ENAMETOOLONG, chain_);
  // A link goes as a link, whatever the level (is_symlink() is asked
  // before the level is entered).
  const auto unlink_link = [&](int at) -> Failure {
    if (tell(Watch::Step::Unlink) == Watch::Answer::Stop) return Failure::stopped();
    if (unlinkat(at, child.c_str(), 0) != 0) return Failure::at(errno, chain_);
    chain_.pop_back();
    return {};
  };
  struct stat st;
  if (stack_.size() >= depth_limit_.levels) {
    int at;
    if (reach_.fd(parent, &at) != 0 || fstatat(at, child.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISLNK(st.st_mode))
      return Failure::too_deep();
    return unlink_link(at);
  }
  Fd fd;
  const int err =
      reach_.open_child(parent, [&](int at) { return open_listing(at, child.c_str(), &fd); });
  if (err) {
    // Out of descriptors: nothing more is announced, the caller takes the
    // way that needs none held.
    if (Failure f = Failure::at(err, chain_); f.exhausted()) return f;
    // is_symlink() first: a link goes as a link (O_NOFOLLOW refuses to open
    // it, with ELOOP or, asked for a directory, ENOTDIR); an error it does
    // not answer "no" to is raised before anything is announced.
    int at;
    if (const int reach_err = reach_.fd(parent, &at)) return Failure::at(reach_err, chain_);
    if (fstatat(at, child.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (const int stat_err = raised_by(predicates_, errno)) return Failure::at(stat_err, chain_);
    } else if (S_ISLNK(st.st_mode) && (err == ELOOP || err == ENOTDIR)) {
      return unlink_link(at);
    }
    // Then iterdir(), whose listing is announced before it fails.
    if (tell(Watch::Step::Iterdir) == Watch::Answer::Stop) return Failure::stopped();
    return Failure::at(err, chain_);
  }
  if (tell(Watch::Step::Iterdir) == Watch::Answer::Stop) return Failure::stopped();
  Frame frame{map_.add(parent, child, ino), length + 1, true, {}};
  if (const int list_err = read_dir(fd.get(), &frame.entries)) return Failure::at(list_err, chain_);
  // Whether is_dir() of an entry may answer only matters for what is
  // announced before its removal fails for the same reason.
  if (watch_ && watch_->listening()) frame.searchable = probe_searchable(fd.get(), frame.entries);
  reach_.keep(frame.dir, std::move(fd));
  stack_.push_back(std::move(frame));
  return {};
}

// The directory on top, emptied: it goes itself.
Failure Removal::finish() {
  const int dir = stack_.back().dir;
  stack_.pop_back();
  if (tell(Watch::Step::Rmdir) == Watch::Answer::Stop) return Failure::stopped();
  int at;
  if (const int err = reach_.fd(map_.parent(dir), &at)) return Failure::at(err, chain_);
  if (unlinkat(at, map_.name(dir).c_str(), AT_REMOVEDIR) != 0) return Failure::at(errno, chain_);
  reach_.drop(dir);
  chain_.pop_back();
  return {};
}

// The next entry of the directory on top: a directory is begun, anything
// else unlinked.
Failure Removal::step() {
  Frame& frame = stack_.back();
  if (frame.next == frame.entries.size()) return finish();
  if (depth_limit_.last_listed_only && stack_.size() == depth_limit_.levels)
    return Failure::too_deep();
  int fd;
  if (const int err = reach_.fd(frame.dir, &fd)) return Failure::at(err, chain_);
  const Entry& e = frame.entries[frame.next++];
  // is_dir() follows a link: its errors are the method's errors, and a link
  // is removed as a link whatever it points at.
  bool dir;
  if (const int err = entry_is(predicates_, S_IFDIR, fd, frame.prefix, frame.searchable, e.name,
                               e.type, &dir)) {
    chain_.push_back(e.name);
    return Failure::at(err, chain_);
  }
  if (dir) {
    const Entry child = e;  // `frame` and `e` move when the stack grows
    return begin(frame.dir, child.name, frame.prefix + child.name.size(), child.ino);
  }
  chain_.push_back(e.name);
  if (tell(Watch::Step::Unlink) == Watch::Answer::Stop) return Failure::stopped();
  // unlink() by a name the system cannot take (where is_dir() said "no"
  // to it rather than raising).
  if (!nameable(frame.prefix + e.name.size())) return Failure::at(ENAMETOOLONG, chain_);
  if (unlinkat(fd, e.name.c_str(), 0) != 0) return Failure::at(errno, chain_);
  chain_.pop_back();
  return {};
}

Failure Removal::run(const std::string& name, std::size_t length) {
  if (Failure f = begin(0, name, length, 0)) return f;
  while (!stack_.empty()) {
    if (poll_.stop()) return Failure::stopped();
    if (Failure f = step()) return f;
  }
  return {};
}

}  // namespace

Failure remove_tree(Predicates predicates, int at, const std::string& name, std::size_t length,
                    DepthLimit depth_limit, Poll& poll, Watch* watch, const Place& above) {
  return Removal(predicates, at, depth_limit, poll, watch, above).run(name, length);
}

}  // namespace zavrik::walk

#endif  // !_WIN32
