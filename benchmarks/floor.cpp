// The floor: the packaging operations reduced to the system calls they need.
//
// No Python objects and no decisions beyond the file-system rules: the
// benchmark works out which Skills are admitted (or release-admitted) and
// passes their names in a file, one per line. Directories are read with
// getdents64 on descriptors, an entry's kind is taken from d_type and asked
// with fstatat only when d_type is unknown or the entry is a link that has to
// be followed; deletions are unlinkat on the parent's descriptor.
//
//   floor list     REPEAT ROOT
//   floor selected REPEAT ROOT                    (manifest read + listing)
//   floor collect  REPEAT ROOT NAMES              (walk, filter, sort, pairs)
//   floor validate REPEAT ROOT NAMES              (manifest read, listing, 2 stats per name)
//   floor sweep    COPY...                        (one run per fresh copy)
//   floor prune    MANIFEST_ROOT NAMES COPY...    (one run per fresh copy)
//   floor remove   COPY...                        (one run per fresh copy)
//
// Prints one JSON object: {"op", "runs", "median_ns", "count"}; `count` is
// the size of the operation's result, so the benchmark can check that the
// floor did the same work as the module. The runs are timed on the monotonic
// clock, or on the process's CPU clock when FLOOR_CLOCK=cpu. FLOOR_LIST_FIRST=1
// makes the sweep (and prune's) list the whole tree before it deletes.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "floor: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

clockid_t timing_clock = CLOCK_MONOTONIC;

std::int64_t now_ns() {
  timespec ts;
  clock_gettime(timing_clock, &ts);
  return std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct linux_dirent64 {
  ino64_t d_ino;
  off64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[];
};

struct Entry {
  std::string name;
  unsigned char type;
};

// Every entry of the directory open on `fd` but "." and "..".
std::vector<Entry> read_dir(int fd) {
  std::vector<Entry> entries;
  alignas(8) static char buffer[1 << 16];
  for (;;) {
    long n = syscall(SYS_getdents64, fd, buffer, sizeof buffer);
    if (n < 0) die("getdents64");
    if (n == 0) break;
    for (long at = 0; at < n;) {
      auto* d = reinterpret_cast<linux_dirent64*>(buffer + at);
      at += d->d_reclen;
      const char* name = d->d_name;
      if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
      entries.push_back({name, d->d_type});
    }
  }
  return entries;
}

int open_dir(int parent, const char* name) {
  return openat(parent, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
}

// The entry's own kind (links not followed), from d_type when it is known.
unsigned char own_kind(int dirfd, const Entry& e) {
  if (e.type != DT_UNKNOWN) return e.type;
  struct stat st;
  if (fstatat(dirfd, e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) < 0) return DT_UNKNOWN;
  if (S_ISDIR(st.st_mode)) return DT_DIR;
  if (S_ISREG(st.st_mode)) return DT_REG;
  if (S_ISLNK(st.st_mode)) return DT_LNK;
  return DT_UNKNOWN;
}

// The kind of what the entry names, links followed (is_file / is_dir).
unsigned char followed_kind(int dirfd, const Entry& e) {
  unsigned char kind = own_kind(dirfd, e);
  if (kind != DT_LNK) return kind;
  struct stat st;
  if (fstatat(dirfd, e.name.c_str(), &st, 0) < 0) return DT_UNKNOWN;
  if (S_ISDIR(st.st_mode)) return DT_DIR;
  if (S_ISREG(st.st_mode)) return DT_REG;
  return DT_UNKNOWN;
}

bool is_pycache(const std::string& name) { return name == "__pycache__"; }

// A file name that the packable rule rejects by itself: ".DS_Store", or a
// final suffix ".pyc"/".pyo" (a suffix needs a dot after the first character
// and something after the dot).
bool junk_name(const std::string& name) {
  if (name == ".DS_Store" || is_pycache(name)) return true;
  auto dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) return false;
  const char* s = name.c_str() + dot;
  return std::strcmp(s, ".pyc") == 0 || std::strcmp(s, ".pyo") == 0;
}

// Path order: component by component, so '/' sorts before every other byte.
bool path_less(const std::string& a, const std::string& b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] == b[i]) continue;
    if (a[i] == '/') return true;
    if (b[i] == '/') return false;
    return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
  }
  return a.size() < b.size();
}

std::size_t read_file(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) die("open " + path);
  struct stat st;
  if (fstat(fd, &st) < 0) die("fstat " + path);
  std::string data(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t got = 0;
  while (got < data.size()) {
    ssize_t n = read(fd, data.data() + got, data.size() - got);
    if (n < 0) die("read " + path);
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  close(fd);
  return got;
}

// The sorted names of the root's sub-directories (links to directories too).
std::vector<std::string> list_dirs(const std::string& root) {
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) die("open " + root);
  std::vector<std::string> names;
  for (const Entry& e : read_dir(fd))
    if (followed_kind(fd, e) == DT_DIR) names.push_back(e.name);
  close(fd);
  std::sort(names.begin(), names.end());
  return names;
}

// Packable files below the directory open on `fd`, as paths relative to the
// Skill directory. Cache directories hold nothing packable and are skipped;
// links to directories are not descended.
void walk_packable(int fd, const std::string& prefix, std::vector<std::string>& out) {
  for (const Entry& e : read_dir(fd)) {
    const unsigned char own = own_kind(fd, e);
    if (own == DT_DIR) {
      if (is_pycache(e.name)) continue;
      int child = open_dir(fd, e.name.c_str());
      if (child < 0) continue;  // unreadable: passed over, as the walk does
      walk_packable(child, prefix + e.name + "/", out);
      close(child);
    } else if (!junk_name(e.name) &&
               (own == DT_REG || (own == DT_LNK && followed_kind(fd, e) == DT_REG))) {
      out.push_back(prefix + e.name);
    }
  }
}

std::size_t collect(const std::string& root, const std::vector<std::string>& names) {
  read_file(root + "/manifest.json");
  list_dirs(root);
  std::vector<std::pair<std::string, std::string>> datas;
  int root_fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root_fd < 0) die("open " + root);
  for (const std::string& name : names) {
    std::vector<std::string> files;
    int fd = open_dir(root_fd, name.c_str());
    if (fd < 0) die("open " + name);
    walk_packable(fd, "", files);
    close(fd);
    std::sort(files.begin(), files.end(), path_less);
    for (const std::string& rel : files) {
      auto slash = rel.rfind('/');
      std::string dest = "zavrik/skills/templates/" + name;
      if (slash != std::string::npos) dest += "/" + rel.substr(0, slash);
      datas.emplace_back(root + "/" + name + "/" + rel, std::move(dest));
    }
  }
  struct stat st;
  if (fstatat(root_fd, "manifest.json", &st, 0) == 0)
    datas.emplace_back(root + "/manifest.json", "zavrik/skills/templates");
  close(root_fd);
  return datas.size();
}

std::size_t validate(const std::string& root, const std::vector<std::string>& names) {
  read_file(root + "/manifest.json");
  list_dirs(root);
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) die("open " + root);
  std::size_t missing = 0;
  struct stat st;
  for (const std::string& name : names) {
    missing += fstatat(fd, (name + "/SKILL.md").c_str(), &st, 0) != 0;
    missing += fstatat(fd, (name + "/data/VERSION.json").c_str(), &st, 0) != 0;
  }
  close(fd);
  return missing;
}

// Removes the directory `name` of `parent` with everything below it; a link
// is removed as a link.
void remove_tree(int parent, const std::string& name) {
  int fd = open_dir(parent, name.c_str());
  if (fd < 0) {
    if (errno == ELOOP || errno == ENOTDIR) {
      if (unlinkat(parent, name.c_str(), 0) < 0) die("unlinkat " + name);
      return;
    }
    die("open " + name);
  }
  for (const Entry& e : read_dir(fd)) {
    if (own_kind(fd, e) == DT_DIR) {
      remove_tree(fd, e.name);
    } else if (unlinkat(fd, e.name.c_str(), 0) < 0) {
      die("unlinkat " + e.name);
    }
  }
  close(fd);
  if (unlinkat(parent, name.c_str(), AT_REMOVEDIR) < 0) die("rmdir " + name);
}

// The junk sweep as its two phases: every cache directory goes whole, then
// every junk file (a link to a junk file, or one named "__pycache__" to a
// directory, as a link); other directories stay, even empty. Each phase
// works from a listing taken before it deletes, and the second phase from
// the first one's, so no junk file goes before the last cache. Where rglob
// raises a failed listing (3.11: FLOOR_LIST_FIRST=1) a failure anywhere must
// come before the first deletion, so the whole tree, caches included, is
// listed first and each cache's parent opened again by its path to remove
// it; else a cache goes when the walk meets it, its parent still open.
bool list_first = false;

struct Listed {
  std::string path;               // relative to the root: "" or ending in '/'
  std::vector<std::string> junk;  // its junk files, for the second phase
};

struct Sweep {
  std::vector<Listed> dirs;         // outside the caches, in walk order
  std::vector<std::string> caches;  // outermost caches left for later (list_first)
  std::size_t removed = 0;

  void walk(int fd, const std::string& path, bool in_cache) {
    const std::size_t me = dirs.size();
    if (!in_cache) dirs.push_back({path, {}});
    for (const Entry& e : read_dir(fd)) {
      unsigned char own = own_kind(fd, e);
      if (own == DT_DIR) {
        const bool cache = !in_cache && is_pycache(e.name);
        if (cache && !list_first) {
          remove_tree(fd, e.name);
          ++removed;
          continue;
        }
        if (cache) caches.push_back(path + e.name);
        int child = open_dir(fd, e.name.c_str());
        if (child < 0) continue;
        walk(child, path + e.name + "/", in_cache || cache);
        close(child);
        continue;
      }
      if (in_cache || !junk_name(e.name)) continue;
      unsigned char kind = own == DT_LNK ? followed_kind(fd, e) : own;
      const bool cache_link = own == DT_LNK && kind == DT_DIR && is_pycache(e.name);
      if (kind == DT_REG || cache_link) dirs[me].junk.push_back(e.name);
    }
  }
};

int open_below(int root, const std::string& path) {
  if (path.empty()) return root;
  int fd = openat(root, path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) die("open " + path);
  return fd;
}

std::size_t sweep(const std::string& root) {
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) die("open " + root);
  Sweep s;
  s.walk(fd, "", false);
  for (const std::string& cache : s.caches) {
    const auto slash = cache.rfind('/');
    const std::string parent = slash == std::string::npos ? "" : cache.substr(0, slash + 1);
    int at = open_below(fd, parent);
    remove_tree(at, cache.substr(parent.size()));
    ++s.removed;
    if (at != fd) close(at);
  }
  for (const Listed& dir : s.dirs) {
    if (dir.junk.empty()) continue;
    int at = open_below(fd, dir.path);
    for (const std::string& name : dir.junk) {
      if (unlinkat(at, name.c_str(), 0) < 0) die("unlinkat " + name);
      ++s.removed;
    }
    if (at != fd) close(at);
  }
  close(fd);
  return s.removed;
}

std::size_t prune(const std::string& manifest_root, const std::vector<std::string>& names,
                  const std::string& target) {
  read_file(manifest_root + "/manifest.json");
  list_dirs(manifest_root);
  sweep(target);
  const std::unordered_set<std::string> admitted(names.begin(), names.end());
  int fd = open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) die("open " + target);
  for (const Entry& e : read_dir(fd))
    if (followed_kind(fd, e) == DT_DIR && !admitted.count(e.name)) remove_tree(fd, e.name);
  std::vector<std::string> kept;
  struct stat st;
  for (const std::string& name : names)
    if (fstatat(fd, name.c_str(), &st, 0) == 0) kept.push_back(name);
  close(fd);
  std::sort(kept.begin(), kept.end());
  return kept.size();
}

std::size_t remove_all(const std::string& root) {
  remove_tree(AT_FDCWD, root);
  return 1;
}

std::vector<std::string> read_names(const std::string& path) {
  std::ifstream in(path);
  if (!in) die("open " + path);
  std::vector<std::string> names;
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) names.push_back(line);
  return names;
}

template <typename Run>
void report(const char* op, int runs, Run run) {
  std::vector<std::int64_t> times;
  std::size_t count = 0;
  for (int i = 0; i < runs; ++i) {
    const std::int64_t start = now_ns();
    count = run(i);
    times.push_back(now_ns() - start);
  }
  std::sort(times.begin(), times.end());
  const std::size_t n = times.size();
  const std::int64_t median = n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
  std::printf("{\"op\": \"%s\", \"runs\": %d, \"median_ns\": %lld, \"count\": %zu}\n", op,
              runs, static_cast<long long>(median), count);
}

[[noreturn]] void usage() {
  std::fputs("usage: floor list|selected REPEAT ROOT | collect|validate REPEAT ROOT NAMES |"
             " sweep|remove COPY... | prune MANIFEST_ROOT NAMES COPY...\n",
             stderr);
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) usage();
  const char* clock_name = std::getenv("FLOOR_CLOCK");
  if (clock_name && std::strcmp(clock_name, "cpu") == 0) timing_clock = CLOCK_PROCESS_CPUTIME_ID;
  const char* listed = std::getenv("FLOOR_LIST_FIRST");
  list_first = listed && std::strcmp(listed, "1") == 0;
  const std::string op = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (op == "list" || op == "selected") {
    const int repeat = std::atoi(args[0].c_str());
    const std::string root = args.at(1);
    const bool manifest = op == "selected";
    report(op.c_str(), repeat, [&](int) {
      if (manifest) read_file(root + "/manifest.json");
      return list_dirs(root).size();
    });
  } else if (op == "collect" || op == "validate") {
    if (args.size() != 3) usage();
    const int repeat = std::atoi(args[0].c_str());
    const std::vector<std::string> names = read_names(args[2]);
    const bool is_collect = op == "collect";
    report(op.c_str(), repeat, [&](int) {
      return is_collect ? collect(args[1], names) : validate(args[1], names);
    });
  } else if (op == "sweep" || op == "remove") {
    const bool is_sweep = op == "sweep";
    report(op.c_str(), static_cast<int>(args.size()), [&](int i) {
      return is_sweep ? sweep(args[i]) : remove_all(args[i]);
    });
  } else if (op == "prune") {
    if (args.size() < 3) usage();
    const std::vector<std::string> names = read_names(args[1]);
    report(op.c_str(), static_cast<int>(args.size()) - 2,
           [&](int i) { return prune(args[0], names, args[2 + i]); });
  } else {
    usage();
  }
  return 0;
}
