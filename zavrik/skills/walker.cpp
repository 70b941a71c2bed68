// Directory walks and removals on POSIX file systems (see walker.hpp).
//
// Failures travel as values: every step returns a `Failure` (or an errno,
// or -errno where a yes/no answer rides along), and a caller that cannot go
// on returns it unchanged, adding the components above the place it
// concerns. Nothing here throws on its own; memory exhaustion (std::bad_alloc
// from a container) is turned into ENOMEM by the caller that runs a walk.
#include "walker.hpp"

#if defined(_WIN32)

#include <io.h>

namespace zavrik::walk {
void Fd::reset(int fd) noexcept {
  if (fd_ >= 0) _close(fd_);
  fd_ = fd;
}
}  // namespace zavrik::walk

#else

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/syscall.h>
#if defined(SYS_openat2)
#include <linux/openat2.h>
#endif
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "rules.hpp"

namespace zavrik::walk {
namespace {

// A directory to list and to work in, never reached through a link.
constexpr int kListFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// A directory only to work in: the right to search it is enough.
#if defined(O_PATH)
constexpr int kSearchFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#elif defined(O_SEARCH)
constexpr int kSearchFlags = O_SEARCH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#else
constexpr int kSearchFlags = kListFlags;
#endif

bool denied(int err) { return err == EACCES || err == EPERM; }

bool dot_or_dotdot(const char* n) {
  return n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0));
}

int open_at(int at, const char* name, int flags, Fd* out) {
  for (;;) {
    const int fd = openat(at, name, flags);
    if (fd >= 0) {
      out->reset(fd);
      return 0;
    }
    if (errno != EINTR) return errno;
  }
}

// Opens the sub-directory `name` of `at` for listing, as kListFlags does,
// through its own "." entry: the open succeeds only where the directory may
// also be searched, which then needs no probe. Links are refused on the
// whole way (openat2). 0 when it is open, else -1: the caller opens it the
// plain way, which answers every failure as before; `*available` turns
// false where the system has no openat2, so that it is not tried again.
int open_listed_and_searchable(int at, const std::string& name, std::string* buffer, Fd* out,
                               bool* available) {
#if defined(__linux__) && defined(SYS_openat2)
  if (!*available) return -1;
  buffer->assign(name).append("/.");
  struct open_how how;
  std::memset(&how, 0, sizeof how);
  how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  for (;;) {
    const long fd = syscall(SYS_openat2, at, buffer->c_str(), &how, sizeof how);
    if (fd >= 0) {
      out->reset(static_cast<int>(fd));
      return 0;
    }
    if (errno == EINTR) continue;
    // No openat2, or one a sandbox refuses outright (some answer EPERM for
    // every call): not tried again in this walk. At worst a directory that
    // really refused it turns the shortcut off for the rest of the walk.
    if (errno == ENOSYS || errno == EINVAL || errno == E2BIG || errno == EPERM)
      *available = false;
    return -1;
  }
#else
  static_cast<void>(at);
  static_cast<void>(name);
  static_cast<void>(buffer);
  static_cast<void>(out);
  *available = false;
  return -1;
#endif
}

// Every entry of the directory open as `fd` (for reading), as os.listdir
// lists them. 0 or an errno.
int read_dir(int fd, std::vector<Entry>* out) {
#if defined(__linux__)
  // getdents64 straight into a buffer: no stream, none of opendir's own
  // fstat and fcntl per directory.
  struct Dirent64 {
    std::uint64_t ino;
    std::int64_t off;
    unsigned short reclen;
    unsigned char type;
    char name[1];
  };
  alignas(8) char buffer[32768];
  for (;;) {
    const long n = syscall(SYS_getdents64, fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return 0;
    for (long at = 0; at < n;) {
      const auto* d = reinterpret_cast<const Dirent64*>(buffer + at);
      at += d->reclen;
      if (!dot_or_dotdot(d->name)) out->push_back({d->name, d->type});
    }
  }
#else
  const int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (own < 0) return errno;
  DIR* dir = fdopendir(own);
  if (!dir) {
    const int err = errno;
    close(own);
    return err;
  }
  struct Closer {
    DIR* d;
    ~Closer() { closedir(d); }
  } closer{dir};
  for (;;) {
    errno = 0;
    const struct dirent* e = readdir(dir);
    if (!e) return errno;
    if (!dot_or_dotdot(e->d_name)) out->push_back({e->d_name, e->d_type});
  }
#endif
}

// Every entry of a walk's base, listed from its start: through the
// descriptor itself when it was opened for listing, else through "." below
// it, which needs the right to search it.
int list_base(int fd, std::vector<Entry>* out) {
  if (lseek(fd, 0, SEEK_SET) == 0) {
    const int err = read_dir(fd, out);
    if (err != EBADF) return err;
  }
  Fd again;
  if (const int err = open_at(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, &again)) return err;
  return read_dir(again.get(), out);
}

std::uint64_t now_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u +
         static_cast<std::uint64_t>(ts.tv_nsec);
}

// How often a walk offers to stop: every few milliseconds, checked on the
// clock once per so many steps.
constexpr std::uint64_t kPollIntervalNs = 5'000'000;
constexpr unsigned kPollStride = 4;

// Whether a directory's entries may be looked at, probed with the first
// entry: a directory that may be listed but not searched refuses it.
bool probe_searchable(int fd, const std::vector<Entry>& entries, std::size_t first) {
  if (first == entries.size()) return true;
  struct stat st;
  return fstatat(fd, entries[first].name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ||
         !denied(errno);
}

// Whether the entry is a real directory (rglob's is_dir() and not
// is_symlink()): 1, 0, or -errno.
int real_dir(int fd, const Entry& e) {
  if (e.type == DT_DIR) return 1;
  if (e.type != DT_UNKNOWN) return 0;
  struct stat st;
  if (fstatat(fd, e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return ignored(errno) ? 0 : -errno;
  return S_ISDIR(st.st_mode) ? 1 : 0;
}

// is_file() of an entry of a directory with the given searchability:
// 1, 0, or -errno.
int entry_is_file(int fd, bool searchable, const std::string& name, unsigned char type) {
  if (!searchable) return -EACCES;
  switch (type) {
    case DT_REG:
      return 1;
    case DT_LNK:
    case DT_UNKNOWN:
      return is_kind(fd, name.c_str(), S_IFREG);
    default:
      return 0;
  }
}

// The UTF-8 sequence starting at p (< end): its length, or 0 when the
// interpreter's strict decoder would reject it there.
std::size_t utf8_sequence(const unsigned char* p, const unsigned char* end) {
  const unsigned c = *p;
  if (c < 0x80) return 1;
  std::size_t n;
  unsigned lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 1;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 2;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 3;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (static_cast<std::size_t>(end - p) <= n) return 0;
  if (p[1] < lo || p[1] > hi) return 0;
  for (std::size_t i = 2; i <= n; ++i)
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  return n + 1;
}

// Appends to `key` bytes that compare like the code points of `name` as the
// file-system decoding reads it: valid UTF-8 as it is, and every other byte
// b as the UTF-8 form of the surrogate U+DC00+b that stands for it.
void append_order_key(std::string* key, std::string_view name) {
  const auto* p = reinterpret_cast<const unsigned char*>(name.data());
  const auto* end = p + name.size();
  while (p < end) {
    const std::size_t n = utf8_sequence(p, end);
    if (n) {
      key->append(reinterpret_cast<const char*>(p), n);
      p += n;
      continue;
    }
    const unsigned cp = 0xDC00u + *p++;
    key->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    key->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    key->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Whether the bytes are strict UTF-8, as the interpreter's decoder takes it.
bool valid_utf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = p + bytes.size();
  while (p < end && *p < 0x80) ++p;  // names are mostly ASCII
  while (p < end) {
    const std::size_t n = utf8_sequence(p, end);
    if (!n) return false;
    p += n;
  }
  return true;
}

// Directories of a tree reached one component at a time from the base,
// without following links; the chain to the last one is kept open, so a
// walk in tree order opens each directory once.
class Reach {
 public:
  Reach(const Tree& tree, int base) : tree_(tree), base_(base) {}

  // The descriptor of directory `dir`, or -errno.
  int fd(int dir) {
    if (dir == 0) return base_;
    if (!chain_.empty() && chain_.back().first == dir) return chain_.back().second.get();
    path_.clear();
    for (int d = dir; d > 0; d = tree_.dirs[d].parent) path_.push_back(d);
    std::reverse(path_.begin(), path_.end());
    std::size_t keep = 0;
    while (keep < chain_.size() && keep < path_.size() && chain_[keep].first == path_[keep])
      ++keep;
    chain_.resize(keep);
    for (std::size_t i = keep; i < path_.size(); ++i) {
      const int at = i == 0 ? base_ : chain_.back().second.get();
      Fd next;
      const int err = open_at(at, tree_.dirs[path_[i]].name.c_str(), kSearchFlags, &next);
      if (err) return -err;
      chain_.emplace_back(path_[i], std::move(next));
    }
    return chain_.back().second.get();
  }

 private:
  const Tree& tree_;
  int base_;
  std::vector<std::pair<int, Fd>> chain_;
  std::vector<int> path_;
};

}  // namespace

bool ignored(int err) {
  return err == ENOENT || err == ENOTDIR || err == EBADF || err == ELOOP;
}

void Fd::reset(int fd) noexcept {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

Failure Failure::at(int err, std::vector<std::string> below) {
  return {Kind::Errno, err, std::move(below)};
}

Failure& Failure::under(const std::vector<std::string>& prefix) {
  below.insert(below.begin(), prefix.begin(), prefix.end());
  return *this;
}

Poll::Poll(Hook hook, void* context) noexcept
    : hook_(hook), context_(context), countdown_(kPollStride), next_ns_(now_ns() + kPollIntervalNs) {}

bool Poll::stop() {
  if (stopped_) return true;
  if (!hook_ || --countdown_ > 0) return false;
  countdown_ = kPollStride;
  const std::uint64_t t = now_ns();
  if (t < next_ns_) return false;
  stopped_ = hook_(context_);
  next_ns_ = now_ns() + kPollIntervalNs;
  return stopped_;
}

int open_search(int at, const char* name, Fd* out) {
  return open_at(at, name, kSearchFlags & ~O_NOFOLLOW, out);
}

int is_kind(int at, const char* name, mode_t kind) {
  struct stat st;
  if (fstatat(at, name, &st, 0) != 0) return ignored(errno) ? 0 : -errno;
  return (st.st_mode & S_IFMT) == kind ? 1 : 0;
}

int open_base(int at, const char* name, Fd* out) {
  const int err = open_at(at, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC, out);
  return denied(err) ? open_search(at, name, out) : err;
}

int open_base_searchable(int at, const char* name, Fd* out) {
  std::string through_dot(name);
  through_dot += "/.";
  return open_at(at, through_dot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, out) ? -1 : 0;
}

Failure list_dirs(int base, std::vector<std::string>* dirs, Poll& poll) {
  // The listing (os.listdir), then is_dir() of every entry.
  std::vector<Entry> entries;
  if (const int err = list_base(base, &entries)) return Failure::at(err);
  const bool searchable = probe_searchable(base, entries, 0);
  dirs->reserve(dirs->size() + entries.size());
  for (Entry& e : entries) {
    if (poll.stop()) return Failure::interrupted();
    int dir = 0;
    if (!searchable) {
      dir = -EACCES;
    } else if (e.type == DT_DIR) {
      dir = 1;
    } else if (e.type == DT_LNK || e.type == DT_UNKNOWN) {
      dir = is_kind(base, e.name.c_str(), S_IFDIR);
    }
    if (dir < 0) return Failure::at(-dir, {e.name});
    if (dir) dirs->push_back(std::move(e.name));
  }
  return {};
}

Failure remove_tree(int at, const char* name, std::size_t depth_limit, Poll& poll) {
  struct Frame {
    Fd fd;
    std::vector<Entry> entries;
    std::size_t next = 0;
  };
  // Opens and lists a directory of the tree; 0 or an errno.
  auto open_frame = [](int parent, const char* child, Frame* frame) {
    if (const int err = open_at(parent, child, kListFlags, &frame->fd)) return err;
    return read_dir(frame->fd.get(), &frame->entries);
  };

  std::vector<Frame> stack(1);
  std::vector<std::string> chain;  // names of the frames below the base
  if (const int err = open_frame(at, name, &stack[0])) {
    // A link goes as a link (O_NOFOLLOW refuses to open it, with ELOOP or,
    // asked for a directory, ENOTDIR).
    struct stat st;
    if ((err != ELOOP && err != ENOTDIR) || fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISLNK(st.st_mode))
      return Failure::at(err);
    if (unlinkat(at, name, 0) != 0) return Failure::at(errno);
    return {};
  }

  while (!stack.empty()) {
    if (poll.stop()) return Failure::interrupted();
    Frame& frame = stack.back();
    const int fd = frame.fd.get();
    if (frame.next == frame.entries.size()) {
      stack.pop_back();
      if (stack.empty()) {
        if (unlinkat(at, name, AT_REMOVEDIR) != 0) return Failure::at(errno);
        return {};
      }
      std::string done = std::move(chain.back());
      chain.pop_back();
      if (unlinkat(stack.back().fd.get(), done.c_str(), AT_REMOVEDIR) != 0) {
        const int err = errno;
        chain.push_back(std::move(done));
        return Failure::at(err, chain);
      }
      continue;
    }
    const Entry& e = frame.entries[frame.next++];
    auto here = [&] {
      std::vector<std::string> below(chain);
      below.push_back(e.name);
      return below;
    };
    int dir = real_dir(fd, e);
    if (dir < 0) return Failure::at(-dir, here());
    if (e.type == DT_LNK) {
      // is_dir() follows the link: its errors are the method's errors, and
      // a link is removed as a link whatever it points at.
      const int followed = is_kind(fd, e.name.c_str(), S_IFDIR);
      if (followed < 0) return Failure::at(-followed, here());
    }
    if (dir) {
      if (stack.size() >= depth_limit) return Failure::too_deep();
      Frame child;
      const int err = open_frame(fd, e.name.c_str(), &child);
      if (!err) {
        chain.push_back(e.name);
        stack.push_back(std::move(child));  // `frame` and `e` are stale now
        continue;
      }
      // Swapped for a link or a file meanwhile: unlinked as such below.
      if (err != ELOOP && err != ENOTDIR) return Failure::at(err, here());
    }
    if (unlinkat(fd, e.name.c_str(), 0) != 0) return Failure::at(errno, here());
  }
  return {};
}

std::vector<std::string> Tree::components(int dir, const std::string* name) const {
  std::vector<std::string> out;
  for (int d = dir; d > 0; d = dirs[d].parent) out.push_back(dirs[d].name);
  std::reverse(out.begin(), out.end());
  if (name) out.push_back(*name);
  return out;
}

Failure scan(int base, bool base_cached, bool base_searchable, Scan what, Tree* tree,
             std::size_t depth_limit, Poll& poll) {
  struct Frame {
    int dir;
    Fd own;                             // the directory, opened below its parent
    int fd;                             // `own`, or the base; may only be searched
                                        // when it could not be listed
    std::vector<std::string> children;  // real sub-directories, listing order
    std::size_t next = 0;
    bool searchable = false;            // known to be searchable when opened
  };
  std::vector<Entry> listing;
  std::string through_dot;  // "name/." of the directory being opened
  bool openat2_available = true;

  // Lists directory `d` open as `frame.fd`, records its entries and finds
  // its sub-directories. `listable` is false when it could not be opened
  // for reading: rglob passes over what it may not list.
  auto visit = [&](Frame& frame, bool listable) -> Failure {
    Tree::Dir& dir = tree->dirs[frame.dir];
    listing.clear();
    if (listable) {
      const int err = frame.dir == 0 ? list_base(frame.fd, &listing)
                                     : read_dir(frame.fd, &listing);
      if (err) {
        if (!denied(err)) return Failure::at(err, tree->components(frame.dir));
        listing.clear();
        listable = false;
      }
    }
    const int fd = frame.fd;
    dir.searchable = frame.searchable || probe_searchable(fd, listing, 0);
    // Sweeping: exists(D / "__pycache__"), answered from the listing where
    // the entry's type is certain (refused access answers no), then
    // is_dir() of it; a cache directory goes at once, before anything below
    // D is looked at, so every cache still goes before any junk file.
    bool cache_removed = false;
    if (what == Scan::Sweep) {
      bool look = !listable;
      unsigned char type = DT_UNKNOWN;
      for (const Entry& e : listing) {
        if (e.name != rules::kPycache) continue;
        type = e.type;
        look = e.type == DT_LNK || e.type == DT_UNKNOWN;
        dir.has_cache = !look && dir.searchable;
        break;
      }
      if (look && dir.searchable) {
        struct stat st;
        if (fstatat(fd, rules::kPycache, &st, 0) == 0) {
          dir.has_cache = true;
        } else if (!ignored(errno) && !denied(errno)) {
          const std::string name = rules::kPycache;
          return Failure::at(errno, tree->components(frame.dir, &name));
        }
      }
      if (dir.has_cache) {
        const std::string name = rules::kPycache;
        const int is_dir = type == DT_DIR ? 1 : is_kind(fd, rules::kPycache, S_IFDIR);
        if (is_dir < 0) return Failure::at(-is_dir, tree->components(frame.dir, &name));
        if (is_dir) {
          if (Failure f = remove_tree(fd, rules::kPycache, depth_limit, poll))
            return f.kind == Failure::Kind::Errno ? f.under(tree->components(frame.dir, &name))
                                                  : f;
          cache_removed = true;
        }
      }
    }
    dir.first = static_cast<std::uint32_t>(tree->entries.size());
    const bool searchable = dir.searchable;
    for (const Entry& e : listing) {
      if (poll.stop()) return Failure::interrupted();
      if (cache_removed && e.name == rules::kPycache) continue;
      signed char file = -1;
      if (what == Scan::Files) {
        const int answer = entry_is_file(fd, searchable, e.name, e.type);
        if (answer < 0) return Failure::at(-answer, tree->components(frame.dir, &e.name));
        file = static_cast<signed char>(answer);
      }
      tree->entries.push_back({e.name, e.type, file});
    }
    dir.count = static_cast<std::uint32_t>(tree->entries.size()) - dir.first;
    for (const Entry& e : listing) {
      if (cache_removed && e.name == rules::kPycache) continue;
      const int real = real_dir(fd, e);
      if (real < 0) {
        if (denied(-real)) break;
        return Failure::at(-real, tree->components(frame.dir, &e.name));
      }
      if (real) frame.children.push_back(e.name);
    }
    return {};
  };

  tree->dirs.push_back({});
  tree->dirs[0].cached = base_cached;
  std::vector<Frame> stack;
  {
    Frame root{0, Fd(), base, {}, 0, base_searchable};
    if (Failure f = visit(root, true)) return f;
    stack.push_back(std::move(root));
  }
  while (!stack.empty()) {
    if (poll.stop()) return Failure::interrupted();
    Frame& top = stack.back();
    if (top.next == top.children.size()) {
      stack.pop_back();
      continue;
    }
    const std::string& name = top.children[top.next++];
    Tree::Dir child;
    child.parent = top.dir;
    child.name = name;
    child.cached = tree->dirs[top.dir].cached || name == rules::kPycache;
    tree->dirs.push_back(std::move(child));
    Frame frame{static_cast<int>(tree->dirs.size()) - 1, Fd(), -1, {}, 0};
    bool listable = true;
    frame.searchable = open_listed_and_searchable(top.fd, name, &through_dot, &frame.own,
                                                  &openat2_available) == 0;
    if (!frame.searchable) {
      int err = open_at(top.fd, name.c_str(), kListFlags, &frame.own);
      listable = !err;
      if (denied(err)) err = open_at(top.fd, name.c_str(), kSearchFlags, &frame.own);
      if (err == ELOOP || err == ENOTDIR) {
        // Swapped for a link since it was listed: its entries lie outside,
        // and it is passed over.
        struct stat st;
        if (fstatat(top.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
          continue;
      }
      if (denied(err)) continue;  // out of reach: passed over
      if (err) return Failure::at(err, tree->components(frame.dir));
    }
    frame.fd = frame.own.get();
    if (Failure f = visit(frame, listable)) return f;
    stack.push_back(std::move(frame));  // `top` and `name` are stale now
  }
  return {};
}

Failure remove_junk_files(int base, const Tree& tree, Poll& poll) {
  Reach reach(tree, base);
  for (std::size_t d = 0; d < tree.dirs.size(); ++d) {
    const Tree::Dir& dir = tree.dirs[d];
    const int index = static_cast<int>(d);
    for (std::uint32_t i = dir.first; i < dir.first + dir.count; ++i) {
      if (poll.stop()) return Failure::interrupted();
      const Tree::Item& item = tree.entries[i];
      // is_file() needs the directory only for what the listing leaves open.
      int file;
      if (!dir.searchable) {
        file = -EACCES;
      } else if (item.type == DT_LNK || item.type == DT_UNKNOWN) {
        const int fd = reach.fd(index);
        if (fd < 0) break;  // no longer a directory of the tree
        file = is_kind(fd, item.name.c_str(), S_IFREG);
      } else {
        file = item.type == DT_REG;
      }
      if (file < 0) return Failure::at(-file, tree.components(index, &item.name));
      if (!file || packable(tree, index, item)) continue;
      const int fd = reach.fd(index);
      if (fd < 0) break;
      if (unlinkat(fd, item.name.c_str(), 0) != 0)
        return Failure::at(errno, tree.components(index, &item.name));
    }
  }
  return {};
}

bool packable(const Tree& tree, int dir, const Tree::Item& item) {
  return !tree.dirs[dir].cached && item.name != rules::kPycache &&
         !rules::junk_file_name(item.name);
}

std::vector<File> packable_files(const Tree& tree) {
  // Paths order component by component, so a walk that takes every
  // directory's files and sub-directories by name yields them in order: no
  // key per file, and only the names of one directory sorted together.
  struct Child {
    const std::string* name;
    bool utf8;
    int dir;              // a sub-directory, or -1 for a file
    std::uint32_t entry;  // the file's entry
  };
  std::vector<std::vector<Child>> children(tree.dirs.size());
  for (std::size_t d = 1; d < tree.dirs.size(); ++d) {
    const std::string& name = tree.dirs[d].name;
    children[tree.dirs[d].parent].push_back({&name, valid_utf8(name), static_cast<int>(d), 0});
  }
  for (std::size_t d = 0; d < tree.dirs.size(); ++d) {
    const Tree::Dir& dir = tree.dirs[d];
    for (std::uint32_t i = dir.first; i < dir.first + dir.count; ++i) {
      const Tree::Item& item = tree.entries[i];
      if (item.file == 1 && packable(tree, static_cast<int>(d), item))
        children[d].push_back({&item.name, valid_utf8(item.name), -1, i});
    }
  }
  const auto by_name = [](const Child& a, const Child& b) {
    if (a.utf8 && b.utf8) return *a.name < *b.name;
    std::string ka, kb;
    append_order_key(&ka, *a.name);
    append_order_key(&kb, *b.name);
    return ka < kb;
  };
  for (std::vector<Child>& list : children) std::sort(list.begin(), list.end(), by_name);

  std::vector<File> files;
  std::vector<std::pair<int, std::size_t>> stack{{0, 0}};  // directory, next child
  while (!stack.empty()) {
    auto& [dir, next] = stack.back();
    if (next == children[dir].size()) {
      stack.pop_back();
      continue;
    }
    const Child& child = children[dir][next++];
    if (child.dir < 0) {
      files.push_back({dir, child.entry});
    } else {
      stack.push_back({child.dir, 0});  // `dir` and `next` are stale now
    }
  }
  return files;
}

void sort_names(std::vector<std::string>* names) {
  // The strings stay where they are while their places are sorted, each by
  // its first 16 bytes read as two big-endian numbers (zero-padded, so a
  // name sorts before the longer names it begins); only names that share
  // those bytes are compared further. Strict UTF-8 orders by its bytes as
  // by its code points: such names (nearly always all of them, most of them
  // ASCII) are compared as they are; only a listing with a name that is not
  // UTF-8 needs order keys.
  struct Place {
    std::uint64_t high, low;
    std::size_t at;
  };
  const std::size_t count = names->size();
  std::vector<Place> order(count);
  const auto place = [&order](std::size_t i, std::string_view by) {
    unsigned char head[16] = {};
    std::memcpy(head, by.data(), std::min(by.size(), sizeof head));
    std::uint64_t high = 0, low = 0;
    for (int b = 0; b < 8; ++b) {
      high = high << 8 | head[b];
      low = low << 8 | head[8 + b];
    }
    order[i] = {high, low, i};
  };
  bool ascii = true;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string& name = (*names)[i];
    unsigned char seen = 0;
    for (const char c : name) seen |= static_cast<unsigned char>(c);
    ascii = ascii && seen < 0x80;
    place(i, name);
  }
  std::vector<std::string> keys;
  if (!ascii && !std::all_of(names->begin(), names->end(),
                             [](const std::string& name) { return valid_utf8(name); })) {
    keys.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
      append_order_key(&keys[i], (*names)[i]);
      place(i, keys[i]);
    }
  }
  const std::vector<std::string>& by = keys.empty() ? *names : keys;
  std::sort(order.begin(), order.end(), [&by](const Place& x, const Place& y) {
    if (x.high != y.high) return x.high < y.high;
    if (x.low != y.low) return x.low < y.low;
    return by[x.at] < by[y.at];
  });
  std::vector<std::string> sorted;
  sorted.reserve(count);
  for (const Place& p : order) sorted.push_back(std::move((*names)[p.at]));
  *names = std::move(sorted);
}


}  // namespace zavrik::walk

#endif  // !_WIN32
