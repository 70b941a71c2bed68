// Directory walks and removals on POSIX file systems: the primitives (see
// walker.hpp).
//
// Failures travel as values: every step returns a `Failure` (or an errno,
// or -errno where a yes/no answer rides along), and a caller that cannot go
// on returns it unchanged, adding the components above the place it
// concerns. Nothing here throws on its own; memory exhaustion (std::bad_alloc
// from a container) is turned into ENOMEM by the caller that runs a walk.
#include "walker.hpp"

#include <ctime>

#if defined(_WIN32)
#include <io.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/syscall.h>
#if defined(SYS_openat2)
#include <linux/openat2.h>
#endif
#endif
#include <algorithm>
#include <cstring>
#endif

namespace zavrik::walk {

void Fd::reset(int fd) noexcept {
#if defined(_WIN32)
  if (fd_ >= 0) _close(fd_);
#else
  if (fd_ >= 0) close(fd_);
#endif
  fd_ = fd;
}

Failure Failure::at(int err, Place below) { return {Kind::Errno, err, std::move(below)}; }

Failure& Failure::under(const Place& prefix) {
  below.insert(below.begin(), prefix.begin(), prefix.end());
  return *this;
}

bool exhausted(int err) noexcept { return err == EMFILE || err == ENFILE; }

bool Failure::exhausted() const noexcept { return kind == Kind::Errno && walk::exhausted(err); }

namespace {

std::uint64_t now_ns() {
  struct timespec ts;
#if defined(_WIN32)
  timespec_get(&ts, TIME_UTC);
#else
  clock_gettime(CLOCK_MONOTONIC, &ts);
#endif
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u +
         static_cast<std::uint64_t>(ts.tv_nsec);
}

// How often a walk offers to stop: every few milliseconds, checked on the
// clock once per so many steps.
constexpr std::uint64_t kPollIntervalNs = 5'000'000;
constexpr unsigned kPollStride = 4;

}  // namespace

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

bool Spare::give_back() {
  if (fds_.empty()) return false;
  fds_.pop_back();
  return true;
}

#if defined(_WIN32)

int Spare::take(std::size_t) { return 0; }  // no walks: nothing to set aside

#else

int Spare::take(std::size_t count) {
  fds_.reserve(count);
  while (fds_.size() < count) {
    Fd fd;
    if (const int err = open_search(AT_FDCWD, "/", &fd)) {
      fds_.clear();
      return err;
    }
    fds_.push_back(std::move(fd));
  }
  return 0;
}

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

}  // namespace

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
      if (!dot_or_dotdot(d->name)) out->push_back({d->name, d->type, d->ino});
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
    if (!dot_or_dotdot(e->d_name)) out->push_back({e->d_name, e->d_type, e->d_ino});
  }
#endif
}

bool ignored(int err) {
  return err == ENOENT || err == ENOTDIR || err == EBADF || err == ELOOP;
}

int raised_by(Predicates predicates, int err) {
  return predicates == Predicates::AnswerNo || ignored(err) ? 0 : err;
}

bool denied(int err) { return err == EACCES || err == EPERM; }

bool nameable(std::size_t length) { return length < PATH_MAX; }

int open_search(int at, const char* name, Fd* out) {
  return open_at(at, name, kSearchFlags & ~O_NOFOLLOW, out);
}

int open_base(int at, const char* name, Fd* out) {
  const int err = open_at(at, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC, out);
  return denied(err) ? open_search(at, name, out) : err;
}

int open_base_proven(int at, const char* name, Fd* out) {
  std::string through_dot(name);
  through_dot += "/.";
  return open_at(at, through_dot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, out);
}

int open_listing(int at, const char* name, Fd* out) { return open_at(at, name, kListFlags, out); }

int open_searching(int at, const char* name, Fd* out) {
  return open_at(at, name, kSearchFlags, out);
}

int open_proven(int at, const std::string& name, Fd* out, bool* available) {
#if defined(__linux__) && defined(SYS_openat2)
  if (!*available) return ENOSYS;
  const std::string through_dot = name + "/.";
  struct open_how how;
  std::memset(&how, 0, sizeof how);
  how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  for (;;) {
    const long fd = syscall(SYS_openat2, at, through_dot.c_str(), &how, sizeof how);
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
    return errno;
  }
#else
  static_cast<void>(at);
  static_cast<void>(name);
  static_cast<void>(out);
  *available = false;
  return ENOSYS;
#endif
}

int entry_is(Predicates predicates, mode_t kind, int fd, std::size_t prefix, bool searchable,
             const std::string& name, unsigned char type, bool* yes) {
  *yes = false;
  if (!nameable(prefix + name.size())) return raised_by(predicates, ENAMETOOLONG);
  if (!searchable) return raised_by(predicates, EACCES);
  if (type != DT_LNK && type != DT_UNKNOWN) {
    *yes = type == (kind == S_IFDIR ? DT_DIR : DT_REG);
    return 0;
  }
  struct stat st;
  if (fstatat(fd, name.c_str(), &st, 0) != 0) return raised_by(predicates, errno);
  *yes = (st.st_mode & S_IFMT) == kind;
  return 0;
}

int list_dir(int fd, std::vector<Entry>* out) {
  // Through the descriptor itself when it was opened for listing, else
  // through "." below it, which needs the right to search it.
  if (lseek(fd, 0, SEEK_SET) == 0) {
    const int err = read_dir(fd, out);
    if (err != EBADF) return err;
  }
  Fd again;
  if (const int err = open_at(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, &again)) return err;
  return read_dir(again.get(), out);
}

bool probe_searchable(int fd, const std::vector<Entry>& entries) {
  if (entries.empty()) return true;
  struct stat st;
  return fstatat(fd, entries.front().name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ||
         !denied(errno);
}

// --- Listing and removal ----------------------------------------------------

Failure list_dirs(Predicates predicates, int base, std::size_t prefix,
                  std::vector<std::string>* dirs, Poll& poll) {
  // The listing (os.listdir), then is_dir() of every entry.
  std::vector<Entry> entries;
  if (const int err = with_spare(poll, [&] { return list_dir(base, &entries); }))
    return Failure::at(err);
  const bool searchable = probe_searchable(base, entries);
  dirs->reserve(dirs->size() + entries.size());
  for (Entry& e : entries) {
    if (poll.stop()) return Failure::stopped();
    bool dir;
    if (const int err = entry_is(predicates, S_IFDIR, base, prefix, searchable, e.name, e.type, &dir))
      return Failure::at(err, {e.name});
    if (dir) dirs->push_back(std::move(e.name));
  }
  return {};
}

#endif  // !_WIN32

}  // namespace zavrik::walk
