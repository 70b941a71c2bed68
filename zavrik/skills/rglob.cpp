// The walks that stand for pathlib's rglob (see rglob.hpp).
#include "rglob.hpp"

#include <algorithm>

#include "rules.hpp"

#if !defined(_WIN32)
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace zavrik::walk {

Place Tree::components(int dir, const std::string* name) const {
  Place out;
  for (int d = dir; d > 0; d = dirs[static_cast<std::size_t>(d)].parent)
    out.push_back(dirs[static_cast<std::size_t>(d)].name);
  std::reverse(out.begin(), out.end());
  if (name) out.push_back(*name);
  return out;
}

#if !defined(_WIN32)

bool packable(const Tree& tree, int dir, const Tree::Item& item) {
  return !tree.dirs[static_cast<std::size_t>(dir)].cached && item.name != rules::kPycache &&
         !rules::junk_file_name(item.name);
}

namespace {

// "__pycache__", made where it is used: an object of static storage would
// be destroyed by exit() while a daemon thread may still be inside a walk.
// (It fits the string's own buffer: no allocation.)
std::string pycache_name() { return std::string(rules::kPycache); }

const Entry* find_entry(const std::vector<Entry>& listing, const std::string& name) {
  for (const Entry& e : listing)
    if (e.name == name) return &e;
  return nullptr;
}

// is_dir() of D / "__pycache__" (`fd` is D) and, for a directory, its
// removal as `_remove_tree` removes it; `*removed` tells which.
Failure remove_cache(Predicates predicates, int fd, const Tree& tree, const Tree::Cache& cache,
                     std::size_t depth_limit, Poll& poll, Watch* watch, bool* removed) {
  *removed = false;
  const std::string pycache = pycache_name();
  const int d = cache.dir;
  const Tree::Dir& dir = tree.dirs[static_cast<std::size_t>(d)];
  const std::size_t length = dir.prefix + pycache.size();
  bool is_dir;
  if (const int err = entry_is(predicates, S_IFDIR, fd, dir.prefix, dir.searchable, pycache,
                               cache.type, &is_dir))
    return Failure::at(err, tree.components(d, &pycache));
  if (!is_dir) return {};
  if (Failure f = remove_tree(predicates, fd, pycache, length, depth_limit, poll, watch,
                              tree.components(d)))
    return f;
  *removed = true;
  return {};
}

// One walk of a tree in a dialect's order (see scan()).
class Scanner {
 public:
  Scanner(int base, const ScanPlan& plan, Tree* tree, Poll& poll, Watch* watch)
      : base_(base), plan_(plan), tree_(*tree), poll_(poll), watch_(watch), reach_(*tree, base, poll) {}

  Failure run();

 private:
  // What a directory's listing told, until rglob's walk reads it.
  struct Listing {
    int err = 0;                       // why it could not be listed (0: listed)
    bool gone = false;                 // swapped for a link: passed over
    Failure subdirs_failure;           // raised when the walk reads it
    std::vector<Entry> subdirs;        // its sub-directories, in listing order
  };

  int add(int parent, const Entry& entry);
  Failure emit(int d);
  Failure walk(int d, std::vector<Entry>* subdirs);
  Failure yield_entries(int d, int fd, const std::vector<Entry>& listing);
  Failure find_cache(int d, int fd, const std::vector<Entry>* listing, Watch::Answer answer);
  Failure relist(int d);
  Failure find_subdirs(int d, int fd, const std::vector<Entry>& listing);
  int open_dir(int d, bool* listable, bool* proven, bool* gone);

  // Running out of descriptors is no listing rglob passes over: the walk
  // ends with it, and the step is taken the method way.
  bool raises(int err) const {
    return exhausted(err) || (plan_.dialect.listing_errors_raise && !denied(err));
  }
  Watch::Answer tell(Watch::Step step, int d) {
    return walk::tell(watch_, step, [&] { return tree_.components(d); });
  }
  Tree::Dir& dir(int d) { return tree_.dirs[static_cast<std::size_t>(d)]; }

  int base_;
  const ScanPlan& plan_;
  Tree& tree_;
  Poll& poll_;
  Watch* watch_;
  Reach reach_;
  bool openat2_ = true;
  std::vector<Listing> listings_;
};

int Scanner::add(int parent, const Entry& entry) {
  const std::string& name = entry.name;
  Tree::Dir child;
  child.parent = parent;
  child.name = name;
  child.ino = entry.ino;
  child.prefix = dir(parent).prefix + name.size() + 1;
  child.cached = dir(parent).cached || name == rules::kPycache;
  tree_.dirs.push_back(std::move(child));
  listings_.emplace_back();
  const int index = static_cast<int>(tree_.dirs.size()) - 1;
  if (name == rules::kPycache) dir(parent).cache = index;
  return index;
}

// Opens directory d below its parent: for listing where it may be listed,
// else only to work in; -1 where it cannot be opened at all (its listing's
// error noted), else the descriptor (held by the Reach). `*gone` where it
// was swapped for a link since its parent was listed: its entries lie
// elsewhere, and the walk passes over it.
int Scanner::open_dir(int d, bool* listable, bool* proven, bool* gone) {
  Listing& listing = listings_[static_cast<std::size_t>(d)];
  const int parent = dir(d).parent;
  const std::string& name = dir(d).name;
  // The text rglob lists it by: its own, or with its separator.
  if (!nameable(dir(d).prefix - (plan_.dialect.listing_slash ? 0 : 1))) {
    listing.err = ENAMETOOLONG;
    return -1;
  }
  Fd fd;
  int err = reach_.open_child(parent, [&](int at) {
    if (open_proven(at, name, &fd, &openat2_) == 0) {
      *proven = true;
      return 0;
    }
    return open_listing(at, name.c_str(), &fd);
  });
  *listable = !err;
  if (err == ELOOP || err == ENOTDIR) {
    int at;
    struct stat st;
    if (reach_.fd(parent, &at) == 0 && fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode)) {
      *gone = true;
      return -1;
    }
  }
  if (denied(err)) {
    listing.err = err;
    // Listing refused: it may still be searched (its cache looked up).
    if (reach_.open_child(parent, [&](int at) { return open_searching(at, name.c_str(), &fd); }))
      return -1;
  } else if (err) {
    listing.err = err;
    return -1;
  }
  const int opened = fd.get();
  reach_.keep(d, std::move(fd));
  return opened;
}

Failure Scanner::emit(int d) {
  // The listing that rglob announces here is announced before the
  // directory is opened and read: what a hook changes is seen.
  Watch::Answer answer = Watch::Answer::Go;
  if (plan_.what != Scan::Caches || plan_.dialect.caches == Dialect::Caches::Listed) {
    answer = tell(Watch::Step::ListEntries, d);
    if (answer == Watch::Answer::Stop) return Failure::stopped();
  }
  bool listable = d == 0, proven = d == 0 && plan_.base_searchable, gone = false;
  const int fd = d == 0 ? base_ : open_dir(d, &listable, &proven, &gone);
  Listing& out = listings_[static_cast<std::size_t>(d)];
  std::vector<Entry> listing;
  if (listable && fd >= 0)
    out.err = d == 0 ? with_spare(poll_, [&] { return list_dir(fd, &listing); })
                     : read_dir(fd, &listing);
  else if (d == 0)
    out.err = plan_.base_err;
  if (gone) listing.clear();
  out.gone = gone;
  // Out of descriptors (another thread took what the step set aside): the
  // walk ends, and the step declines.
  if (exhausted(out.err)) return Failure::at(out.err, tree_.components(d));
  dir(d).searchable = proven || (fd >= 0 && probe_searchable(fd, listing));
  const bool listed = !gone && !out.err;

  bool yields = listed;
  if (plan_.what == Scan::Caches) {
    if (Failure f = find_cache(d, fd, listed ? &listing : nullptr, answer)) return f;
  } else {
    // rglob("*") yields the entries of every directory it may list.
    if (out.err && raises(out.err)) return Failure::at(out.err, tree_.components(d));
    yields = listed && answer == Watch::Answer::Go;
  }
  if (yields) {
    if (Failure f = yield_entries(d, fd, listing)) return f;
  }
  return listed ? find_subdirs(d, fd, listing) : Failure();
}

Failure Scanner::find_cache(int d, int fd, const std::vector<Entry>* listing,
                            Watch::Answer answer) {
  const std::string pycache = pycache_name();
  const std::size_t length = dir(d).prefix + pycache.size();
  const bool searchable = dir(d).searchable;
  bool candidate = false;
  const Entry* listed = listing ? find_entry(*listing, pycache) : nullptr;
  unsigned char type = listed ? listed->type : static_cast<unsigned char>(DT_UNKNOWN);
  switch (plan_.dialect.caches) {
    case Dialect::Caches::Exists: {
      // exists() of the cache: links followed.
      if (!nameable(length)) return Failure::at(ENAMETOOLONG, tree_.components(d, &pycache));
      if (listing && !listed) break;
      if (listed && type != DT_LNK && type != DT_UNKNOWN && searchable) {
        candidate = true;
        break;
      }
      struct stat st;
      if (fd >= 0 && fstatat(fd, rules::kPycache, &st, 0) == 0) {
        candidate = true;
        type = S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;  // as is_dir() will find it
      } else {
        const int err = fd >= 0 ? errno : EACCES;
        if (!ignored(err) && !denied(err))
          return Failure::at(err, tree_.components(d, &pycache));
      }
      break;
    }
    case Dialect::Caches::Listed: {
      // A listing of its own, announced as such (by emit(), before it read
      // `listing`).
      candidate = listed && answer == Watch::Answer::Go;
      break;
    }
    case Dialect::Caches::Lstat: {
      // lstat() of the cache: whatever answers.
      if (!nameable(length) || !searchable || fd < 0) break;
      struct stat st;
      candidate = listing ? listed != nullptr
                          : fstatat(fd, rules::kPycache, &st, AT_SYMLINK_NOFOLLOW) == 0;
      break;
    }
  }
  if (!candidate) return {};
  const Tree::Cache cache{d, type};
  if (!plan_.remove_at_turn) {
    tree_.caches.push_back(cache);
    return {};
  }
  bool removed;
  return remove_cache(plan_.dialect.predicates, fd, tree_, cache, plan_.depth_limit, poll_,
                      nullptr, &removed);
}

Failure Scanner::yield_entries(int d, int fd, const std::vector<Entry>& listing) {
  dir(d).first = static_cast<std::uint32_t>(tree_.entries.size());
  for (const Entry& e : listing) {
    if (poll_.stop()) return Failure::stopped();
    signed char file = -1;
    if (plan_.what == Scan::Files) {
      bool is_file;
      if (const int err = entry_is(plan_.dialect.predicates, S_IFREG, fd, dir(d).prefix,
                                   dir(d).searchable, e.name, e.type, &is_file))
        return Failure::at(err, tree_.components(d, &e.name));
      file = is_file ? 1 : 0;
    }
    tree_.entries.push_back({e.name, e.type, file});
  }
  dir(d).count = static_cast<std::uint32_t>(tree_.entries.size()) - dir(d).first;
  return {};
}

// The sub-directories rglob's walk finds in the listing: real directories,
// never links. CPython 3.11 asks a stat of an entry whose type the listing
// leaves open and raises its failure (a refused permission ends the
// directory's walk); later interpreters take any failure for "no".
Failure Scanner::find_subdirs(int d, int fd, const std::vector<Entry>& listing) {
  Listing& out = listings_[static_cast<std::size_t>(d)];
  // Below a cache that the sweep removes whole, rglob only finds what goes
  // with it: worth walking only where that walk is heard, or may fail.
  const bool into_caches = plan_.what != Scan::Caches || plan_.dialect.listing_errors_raise ||
                           (watch_ && watch_->listening());
  for (const Entry& e : listing) {
    if (!into_caches && e.name == rules::kPycache) continue;
    int real = e.type == DT_DIR ? 1 : 0;
    if (e.type == DT_UNKNOWN) {
      struct stat st;
      if (!nameable(dir(d).prefix + e.name.size()))
        real = -ENAMETOOLONG;
      else if (fstatat(fd, e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        real = ignored(errno) ? 0 : -errno;
      else
        real = S_ISDIR(st.st_mode) ? 1 : 0;
    }
    if (real < 0) {
      if (!plan_.dialect.listing_errors_raise) continue;
      if (denied(-real)) break;
      out.subdirs_failure = Failure::at(-real, tree_.components(d, &e.name));
      break;
    }
    if (real) out.subdirs.push_back(e);
  }
  return {};
}

// rglob's walk reads a directory again for its sub-directories. Where a
// hook heard that listing announced (and may have changed the directory),
// it is read again now; else the first reading stands for it.
Failure Scanner::relist(int d) {
  Listing& listing = listings_[static_cast<std::size_t>(d)];
  // A descriptor the Reach opened again may be one only to search with:
  // the listing then opens "." below it, and makes room for that as any
  // open below the directory does.
  int fd = -1;
  std::vector<Entry> entries;
  if (const int err = reach_.open_child(d, [&](int at) {
        fd = at;
        entries.clear();
        return list_dir(at, &entries);
      })) {
    Failure f = Failure::at(err, tree_.components(d));
    if (f.exhausted()) return f;
    listing.err = err;
    return {};
  }
  listing.subdirs.clear();
  listing.subdirs_failure = Failure();
  return find_subdirs(d, fd, entries);
}

Failure Scanner::walk(int d, std::vector<Entry>* subdirs) {
  if (poll_.stop()) return Failure::stopped();
  const Watch::Answer answer = tell(Watch::Step::ListDirs, d);
  if (answer == Watch::Answer::Stop) return Failure::stopped();
  Listing& listing = listings_[static_cast<std::size_t>(d)];
  if (answer == Watch::Answer::Go && !listing.err && !listing.gone && watch_ &&
      watch_->listening()) {
    if (Failure f = relist(d)) return f;
  }
  if (listing.err) return raises(listing.err) ? Failure::at(listing.err, tree_.components(d)) : Failure();
  if (answer == Watch::Answer::PassOver) return {};
  if (listing.subdirs_failure) return std::move(listing.subdirs_failure);
  *subdirs = std::move(listing.subdirs);
  return {};
}

Failure Scanner::run() {
  Tree::Dir root;
  root.prefix = plan_.base_prefix;
  root.cached = plan_.base_cached;
  tree_.dirs.push_back(std::move(root));
  listings_.emplace_back();
  if (Failure f = emit(0)) return f;

  if (plan_.dialect.order == Dialect::Order::Preorder) {
    struct Frame {
      int dir;
      std::vector<Entry> subdirs;
      std::size_t next = 0;
    };
    std::vector<Frame> stack(1, Frame{0, {}});
    if (Failure f = walk(0, &stack[0].subdirs)) return f;
    while (!stack.empty()) {
      Frame& top = stack.back();
      if (top.next == top.subdirs.size()) {
        stack.pop_back();
        continue;
      }
      const int child = add(top.dir, top.subdirs[top.next++]);  // `top` is stale below
      if (Failure f = emit(child)) return f;
      Frame frame{child, {}};
      if (Failure f = walk(child, &frame.subdirs)) return f;
      stack.push_back(std::move(frame));
    }
    return {};
  }

  if (plan_.dialect.announces_walk && tell(Watch::Step::WalkStart, 0) == Watch::Answer::Stop)
    return Failure::stopped();
  std::vector<int> stack{0};
  std::vector<Entry> subdirs;
  while (!stack.empty()) {
    const int d = stack.back();
    stack.pop_back();
    subdirs.clear();
    if (Failure f = walk(d, &subdirs)) return f;
    const std::size_t first = stack.size();
    for (const Entry& entry : subdirs) {
      const int child = add(d, entry);
      if (Failure f = emit(child)) return f;
      stack.push_back(child);
    }
    if (plan_.dialect.order == Dialect::Order::Groups) std::reverse(stack.begin() + first, stack.end());
  }
  return {};
}

}  // namespace

Failure scan(int base, const ScanPlan& plan, Tree* tree, Poll& poll, Watch* watch) {
  return Scanner(base, plan, tree, poll, watch).run();
}

Failure remove_caches(Predicates predicates, int base, Tree* tree, std::size_t depth_limit,
                      Poll& poll, Watch* watch) {
  Reach reach(*tree, base, poll);
  for (const Tree::Cache& cache : tree->caches) {
    if (poll.stop()) return Failure::stopped();
    const int d = cache.dir;
    // A cache inside one already removed is no directory any more.
    int fd;
    if (const int err = reach.fd(d, &fd)) {
      if (ignored(err)) continue;
      return Failure::at(err, tree->components(d));
    }
    bool removed = false;
    if (Failure f = remove_cache(predicates, fd, *tree, cache, depth_limit, poll, watch, &removed))
      return f;
    const int walked = tree->dirs[static_cast<std::size_t>(d)].cache;
    if (removed && walked >= 0) {
      tree->dirs[static_cast<std::size_t>(walked)].removed = true;
      reach.drop(walked);
    }
  }
  return {};
}

Failure remove_junk_files(Predicates predicates, int base, const Tree& tree, Poll& poll,
                          Watch* watch) {
  Reach reach(tree, base, poll);
  // What lay in a removed cache is gone with it (parents come first).
  std::vector<char> gone(tree.dirs.size());
  for (std::size_t d = 0; d < tree.dirs.size(); ++d) {
    const Tree::Dir& dir = tree.dirs[d];
    const int index = static_cast<int>(d);
    gone[d] = dir.removed || (dir.parent >= 0 && gone[static_cast<std::size_t>(dir.parent)]);
    if (gone[d]) continue;
    for (std::uint32_t i = dir.first; i < dir.first + dir.count; ++i) {
      if (poll.stop()) return Failure::stopped();
      const Tree::Item& item = tree.entries[i];
      // is_file() needs the directory only for what the listing leaves open.
      int fd = -1;
      if (item.type == DT_LNK || item.type == DT_UNKNOWN) {
        if (const int err = reach.fd(index, &fd)) {
          if (ignored(err)) break;  // no longer a directory of the tree
          return Failure::at(err, tree.components(index));
        }
      }
      bool file;
      if (const int err = entry_is(predicates, S_IFREG, fd, dir.prefix, dir.searchable, item.name,
                                   item.type, &file))
        return Failure::at(err, tree.components(index, &item.name));
      if (!file || packable(tree, index, item)) continue;
      if (tell(watch, Watch::Step::Unlink, [&] { return tree.components(index, &item.name); }) ==
          Watch::Answer::Stop)
        return Failure::stopped();
      if (fd < 0) {
        if (const int err = reach.fd(index, &fd)) {
          if (ignored(err)) break;
          return Failure::at(err, tree.components(index));
        }
      }
      if (unlinkat(fd, item.name.c_str(), 0) != 0)
        return Failure::at(errno, tree.components(index, &item.name));
    }
  }
  return {};
}

#endif  // !_WIN32

}  // namespace zavrik::walk
