// The native operations (see nativefs.hpp).
#include "nativefs.hpp"

#include <cerrno>
#include <cstring>

#include "pathorder.hpp"
#include "pathseam.hpp"
#include "removal.hpp"
#include "rglob.hpp"
#include "rules.hpp"

#if !defined(_WIN32)
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace zavrik::fast {
#if !defined(_WIN32)
namespace {

// The Native answer of an entry point that stopped before doing anything:
// declined, or failed with the exception set.
Native not_done(int ok) { return ok < 0 ? Native(Ref()) : std::nullopt; }

// Whether `names` is an exact list of simple components, each then in
// `*out`: 1, 0, or -1 with an exception set.
int simple_components(PyObject* names, std::vector<std::string>* out) {
  if (!PyList_CheckExact(names)) return 0;
  out->resize(static_cast<size_t>(PyList_GET_SIZE(names)));
  for (size_t i = 0; i < out->size(); ++i)
    if (!simple_component(PyList_GET_ITEM(names, static_cast<Py_ssize_t>(i)), &(*out)[i]))
      return PyErr_Occurred() ? -1 : 0;
  return 1;
}

// A list of `item(name)` for each name.
template <class Item>
Ref item_list(const std::vector<std::string>& names, Item&& item) {
  Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
  if (!result) return {};
  for (size_t i = 0; i < names.size(); ++i) {
    Ref made = item(names[i]);
    if (!made) return {};
    PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), made.release());
  }
  return result;
}

// A list of the str of each name.
Ref str_list(const std::vector<std::string>& names) {
  return item_list(names, [](const std::string& name) { return seam::decode(name); });
}

}  // namespace
#endif  // !_WIN32

// --- Names ------------------------------------------------------------------------

Ref name_str(std::string_view bytes) { return seam::decode(bytes); }

NamePlaces::NamePlaces(PyObject* names) : names_(names) {
  const size_t count = static_cast<size_t>(PyList_GET_SIZE(names));
  size_t size = 8;
  while (size < 2 * count) size *= 2;
  mask_ = size - 1;
  slots_.assign(size, Slot{0, -1});
  for (size_t i = 0; i < count; ++i) {
    PyObject* name = PyList_GET_ITEM(names, static_cast<Py_ssize_t>(i));
    const Py_hash_t hash = PyObject_Hash(name);  // a str's hash cannot fail
    size_t at = static_cast<size_t>(hash) & mask_;
    while (slots_[at].place >= 0) at = (at + 1) & mask_;
    slots_[at] = {hash, static_cast<Py_ssize_t>(i)};
  }
}

Py_ssize_t NamePlaces::find(PyObject* key) const {
  const Py_hash_t hash = PyObject_Hash(key);
  const Py_ssize_t length = PyUnicode_GET_LENGTH(key);
  const int kind = PyUnicode_KIND(key);
  for (size_t at = static_cast<size_t>(hash) & mask_;; at = (at + 1) & mask_) {
    const Slot& slot = slots_[at];
    if (slot.place < 0) return -1;
    if (slot.hash != hash) continue;
    PyObject* name = PyList_GET_ITEM(names_, slot.place);
    if (name == key ||
        (PyUnicode_GET_LENGTH(name) == length && PyUnicode_KIND(name) == kind &&
         std::memcmp(PyUnicode_DATA(name), PyUnicode_DATA(key),
                     static_cast<size_t>(length) * static_cast<size_t>(kind)) == 0))
      return slot.place;
  }
}

Native Anchor::decline() {
  declined_ = true;
  fd_.reset();
  walk_.give_back();
  return std::nullopt;
}

int Anchor::exists() const {
  if (!stat_err_) return exists_ ? 1 : 0;
  walk_.raise(walk::Failure::at(stat_err_));
  return -1;
}

#if defined(_WIN32)

Native list_template_dirs(const Env&, PyObject*) { return std::nullopt; }
Native template_dir_names(const Env&, PyObject*, std::vector<std::string>*) { return std::nullopt; }
Native collect_skill_datas(const Env&, PyObject*, PyObject*) { return std::nullopt; }
Native exists_below(const Env&, PyObject*, const std::vector<std::string_view>&,
                    std::span<const char* const>, std::vector<int>*) {
  return std::nullopt;
}
void raise_exists_error(const Env&, PyObject*, std::string_view, const char*, int) {
  PyErr_SetString(PyExc_SystemError, "no native file system");
}
Native remove_tree(const Env&, PyObject*) { return std::nullopt; }
Native remove_packaging_junk(const Env&, PyObject*) { return std::nullopt; }
Native Anchor::open(PyObject*) { return std::nullopt; }
Native Anchor::sweep() { return std::nullopt; }
Native Anchor::child_names() { return std::nullopt; }
Native Anchor::remove_children_except(PyObject*) { return std::nullopt; }
Native Anchor::child_exists(PyObject*) { return std::nullopt; }

#else

namespace {

// The sorted sub-directories of the directory `fd` (or, with fd < 0, of
// the target, which is then first asked exists()), the Iterdir announced
// as iterdir() announces its listing. `*there` false: no such directory.
walk::Failure sorted_dirs(walk::Predicates predicates, Walk& walk, const Target& target, int fd,
                          int fd_err, bool* there, std::vector<std::string>* names) {
  return walk.run([&](walk::Poll& poll, walk::Watch* watch) {
    walk::Fd opened;
    *there = true;
    if (fd < 0 && fd_err == 0) {
      // exists(), links followed, then the listing.
      struct stat st;
      if (stat(target.bytes.c_str(), &st) != 0) {
        if (const int err = walk::raised_by(predicates, errno)) return walk::Failure::at(err);
        *there = false;
        return walk::Failure();
      }
      fd_err = walk::open_base(AT_FDCWD, target.bytes.c_str(), &opened);
      fd = opened.get();
    }
    // Out of descriptors: declined before the listing is announced.
    if (fd < 0 && walk::exhausted(fd_err)) return walk::Failure::at(fd_err);
    if (walk::tell(watch, walk::Watch::Step::Iterdir, [] { return walk::Place(); }) ==
        walk::Watch::Answer::Stop)
      return walk::Failure::stopped();
    if (fd < 0) return walk::Failure::at(fd_err);
    walk::Failure failure = walk::list_dirs(predicates, fd, target.prefix(), names, poll);
    if (!failure) walk::sort_names(names);
    return failure;
  });
}


// The sorted sub-directories of a ready root (none where it does not
// exist), each made into an item of the result by `item(target, bytes)`;
// with `encoded`, their bytes are kept there.
template <class Item>
Native sorted_children(const Env& env, PyObject* root, Item&& item,
                       std::vector<std::string>* encoded) {
  Target target;
  if (const int ok = make_target(root, &target); ok <= 0) return not_done(ok);
  Walk walk(env);
  walk.at(target);
  std::vector<std::string> names;
  bool there;
  walk::Failure f = sorted_dirs(env.seam.dialect.predicates, walk, target, -1, 0, &there, &names);
  if (f) return f.exhausted() ? Native() : Native(walk.raise(f));
  Ref result = item_list(names, [&](const std::string& name) { return item(target, name); });
  if (result && encoded) *encoded = std::move(names);
  return result;
}

}  // namespace

Native list_template_dirs(const Env& env, PyObject* root) {
  return sorted_children(
      env, root,
      [&](const Target& target, const std::string& name) {
        return seam::make_path(env.seam, root, target.bytes, {name});
      },
      nullptr);
}

Native template_dir_names(const Env& env, PyObject* root, std::vector<std::string>* encoded) {
  return sorted_children(
      env, root, [](const Target&, const std::string& name) { return seam::decode(name); },
      encoded);
}

namespace {

// rglob("*") of the Skill `skill` of the root (open as `root_fd`, or the
// error `root_err` of opening it) and its packable files in path order.
walk::Failure walk_skill(const Env& env, int root_fd, int root_err, const Target& skill,
                         const std::string& name, walk::Tree* tree, std::vector<walk::File>* files,
                         walk::Poll& poll, walk::Watch* watch) {
  const walk::Dialect& dialect = env.seam.dialect;
  walk::ScanPlan plan{dialect, walk::Scan::Files};
  plan.base_cached = skill.cached;
  plan.base_prefix = skill.prefix();
  walk::Fd fd;
  if (!walk::nameable(skill.bytes.size())) {
    plan.base_err = ENAMETOOLONG;
  } else if (root_err) {
    plan.base_err = root_err;
  } else if (walk::with_spare(poll, [&] {
               return walk::open_base_proven(root_fd, name.c_str(), &fd);
             }) == 0) {
    // A directory that opens through its "." is one (is_dir() says so) and
    // may be listed and searched.
    plan.base_searchable = true;
  } else {
    plan.base_err =
        walk::with_spare(poll, [&] { return walk::open_base(root_fd, name.c_str(), &fd); });
  }
  // Out of descriptors is no directory rglob passes over.
  if (walk::exhausted(plan.base_err)) return walk::Failure::at(plan.base_err);
  if (dialect.checks_base && plan.base_err) {
    // rglob asks is_dir() of the Skill first: nothing where it is no
    // directory, its failure where that is not a "no".
    return walk::ignored(plan.base_err) ? walk::Failure() : walk::Failure::at(plan.base_err);
  }
  walk::Failure failure = walk::scan(fd.get() >= 0 ? fd.get() : -1, plan, tree, poll, watch);
  if (!failure) *files = walk::packable_files(*tree);
  return failure;
}

// Appends (str(file), str(destination directory)) for each file: the source
// is the Skill directory's text and the file's relative path, the
// destination `destination_dir` and the file's relative directory. Each
// string is decoded once: a source per file, a destination per directory.
bool append_pairs(PyObject* datas, std::string source_dir, const std::string& destination_dir,
                  const walk::Tree& tree, const std::vector<walk::File>& files) {
  // Relative directory of every walked directory, "" or ending in '/'.
  std::vector<std::string> relative(tree.dirs.size());
  for (size_t d = 1; d < tree.dirs.size(); ++d)
    relative[d] = relative[static_cast<size_t>(tree.dirs[d].parent)] + tree.dirs[d].name + '/';
  std::vector<Ref> destinations(tree.dirs.size());
  source_dir += '/';
  const size_t prefix = source_dir.size();
  for (const walk::File& file : files) {
    const std::string& rel = relative[static_cast<size_t>(file.dir)];
    Ref& destination = destinations[static_cast<size_t>(file.dir)];
    if (!destination) {
      destination = rel.empty()
                        ? seam::decode(destination_dir)
                        : seam::decode(destination_dir + '/' + rel.substr(0, rel.size() - 1));
      if (!destination) return false;
    }
    source_dir.resize(prefix);
    source_dir += rel;
    source_dir += tree.entries[file.entry].name;
    Ref source = seam::decode(source_dir);
    if (!source) return false;
    Ref pair = Ref::steal(PyTuple_New(2));
    if (!pair) return false;
    PyTuple_SET_ITEM(pair.get(), 0, source.release());
    PyTuple_SET_ITEM(pair.get(), 1, Py_NewRef(destination.get()));
    if (PyList_Append(datas, pair.get()) < 0) return false;
  }
  return true;
}

}  // namespace

Native collect_skill_datas(const Env& env, PyObject* root, PyObject* names) {
  // Only simple Skill names: `root / name` is then one more component.
  std::vector<std::string> skills;
  if (const int ok = simple_components(names, &skills); ok <= 0) return not_done(ok);
  Target base;
  if (const int ok = make_target(root, &base); ok <= 0) return not_done(ok);

  // The root is opened once, for search only: each Skill is reached from it.
  walk::Fd root_fd;
  int root_err = 0;
  Py_BEGIN_ALLOW_THREADS
  root_err = walk::open_search(AT_FDCWD, base.bytes.c_str(), &root_fd);
  Py_END_ALLOW_THREADS
  // Out of descriptors, now or for the walks (a Skill's own, and the two a
  // walk below it holds at once): declined before anything is announced.
  if (walk::exhausted(root_err)) return std::nullopt;
  std::string bundle = rules::kBundleTop;
  (((bundle += '/') += rules::kBundleMiddle) += '/') += rules::kBundleLeaf;

  Walk walk(env);
  if (!walk.set_aside(3)) return std::nullopt;
  Ref datas = Ref::steal(PyList_New(0));
  if (!datas) return Ref();
  for (const std::string& skill : skills) {
    Target dir;
    dir.bytes = seam::join_bytes(base.bytes, {skill});
    dir.cached = base.cached || skill == rules::kPycache;
    Ref skill_dir = seam::make_path(env.seam, root, base.bytes, {skill});
    if (!skill_dir) return Ref();
    dir.path = skill_dir.get();
    walk.at(dir);
    if (!walk.announce_rglob(skill_dir.get(), env.s.star)) return Ref();

    walk::Tree tree;
    std::vector<walk::File> files;
    walk::Failure f = walk.run([&](walk::Poll& poll, walk::Watch* watch) {
      return walk_skill(env, root_fd.get(), root_err, dir, skill, &tree, &files, poll, watch);
    });
    if (f) return f.exhausted() ? Native() : Native(walk.raise(f));
    if (files.empty()) continue;
    if (!append_pairs(datas.get(), dir.bytes, bundle + '/' + skill, tree, files)) return Ref();
  }
  return datas;
}

Native exists_below(const Env& env, PyObject* root, const std::vector<std::string_view>& names,
                    std::span<const char* const> files, std::vector<int>* answers) {
  Target target;
  if (const int ok = make_target(root, &target); ok <= 0) return not_done(ok);
  answers->assign(names.size() * files.size(), 0);
  if (names.empty()) return Ref::none();
  Walk walk(env);
  walk.quiet();
  walk.at(target);
  const std::size_t prefix = target.prefix();
  const walk::Predicates predicates = env.seam.dialect.predicates;
  walk::Failure f = walk.run([&](walk::Poll& poll, walk::Watch*) {
    walk::Fd fd;
    const int root_err = walk::open_search(AT_FDCWD, target.bytes.c_str(), &fd);
    std::string path;  // one buffer for every "name/file"
    size_t k = 0;
    for (const std::string_view skill : names) {
      if (poll.stop()) return walk::Failure::stopped();
      for (const char* file : files) {
        path.assign(skill).append(1, '/').append(file);
        struct stat st;
        int& answer = (*answers)[k++];
        if (!walk::nameable(prefix + path.size()))
          answer = -walk::raised_by(predicates, ENAMETOOLONG);
        else if (root_err)  // what a stat of a path through the root gives
          answer = -walk::raised_by(predicates, root_err);
        else if (fstatat(fd.get(), path.c_str(), &st, 0) == 0)
          answer = 1;
        else
          answer = -walk::raised_by(predicates, errno);
      }
    }
    return walk::Failure();
  });
  if (f) return walk.raise(f);
  return Ref::none();
}

void raise_exists_error(const Env& env, PyObject* root, std::string_view name, const char* file,
                        int err) {
  Target target;
  if (const int ok = make_target(root, &target); ok <= 0) {
    if (ok == 0) PyErr_SetString(PyExc_SystemError, "no native root");
    return;
  }
  walk::Place below{std::string(name)};
  for (std::string_view rest = file;;) {
    const size_t slash = rest.find('/');
    below.emplace_back(rest.substr(0, slash));
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  Walk walk(env);
  walk.at(target);
  walk.raise(walk::Failure::at(err, below));
}

// --- Deleting --------------------------------------------------------------------

Native remove_tree(const Env& env, PyObject* path) {
  Target target;
  if (const int ok = make_target(path, &target); ok <= 0) return not_done(ok);
  // The tree is removed relative to its parent, opened once.
  const std::string& bytes = target.bytes;
  const size_t slash = bytes.rfind('/');
  const std::string parent = slash == std::string::npos ? "."
                             : slash == 0              ? "/"
                                                       : bytes.substr(0, slash);
  const std::string name = slash == std::string::npos ? bytes : bytes.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return std::nullopt;
  Walk walk(env);
  walk.at(target, 1);
  const walk::DepthLimit limit = depth_limit();
  const walk::Predicates predicates = env.seam.dialect.predicates;
  // The parent, and the two descriptors a removal holds at once below it:
  // where the process has fewer free, declined before anything is
  // announced.
  if (!walk.set_aside(2)) return std::nullopt;
  walk::Failure f = walk.run([&](walk::Poll& poll, walk::Watch* watch) {
    walk::Fd at;
    if (const int err = walk::open_search(AT_FDCWD, parent.c_str(), &at)) {
      if (walk::exhausted(err)) return walk::Failure::at(err, {name});
      // is_symlink() of the path answers "no" for what it ignores, and
      // iterdir() then fails; anything else fails at once.
      if (!walk::raised_by(predicates, err) &&
          walk::tell(watch, walk::Watch::Step::Iterdir, [&] { return walk::Place{name}; }) ==
              walk::Watch::Answer::Stop)
        return walk::Failure::stopped();
      return walk::Failure::at(err, {name});
    }
    return walk::remove_tree(predicates, at.get(), name, bytes.size(), limit, poll, watch);
  });
  if (f) return f.exhausted() ? Native() : Native(walk.raise(f));
  return Ref::none();
}

Native remove_packaging_junk(const Env& env, PyObject* root) {
  Anchor anchor(env);
  Native opened = anchor.open(root);
  if (!opened || !*opened) return opened;
  return anchor.sweep();
}

Native Anchor::open(PyObject* path) {
  if (const int ok = make_target(path, &target_); ok <= 0) return not_done(ok);
  walk_.at(target_);
  int err = 0;
  bool found = false, directory = false;
  Py_BEGIN_ALLOW_THREADS
  struct stat st;
  if (stat(target_.bytes.c_str(), &st) != 0) {
    err = errno;
  } else if (S_ISDIR(st.st_mode)) {
    found = directory = true;
    err = walk::open_base(AT_FDCWD, target_.bytes.c_str(), &fd_);
  } else {
    found = true;
    err = ENOTDIR;
  }
  Py_END_ALLOW_THREADS
  if (walk::exhausted(err)) return std::nullopt;  // out of descriptors: the method way
  err_ = err;
  // exists() and is_dir(): what the stat found, else its failure as the
  // predicates answer it.
  stat_err_ = found ? 0 : walk::raised_by(env_.seam.dialect.predicates, err);
  exists_ = found || stat_err_ != 0;
  is_dir_ = directory;
  return Ref::none();
}

Native Anchor::sweep() {
  // The walks below the target hold three descriptors at once (a
  // directory, its child being opened, a removal's next level).
  if (declined_ || !walk_.set_aside(3)) return decline();
  struct GiveBack {
    Walk& walk;
    ~GiveBack() { walk.give_back(); }
  } give_back{walk_};
  const walk::Dialect& dialect = env_.seam.dialect;
  const walk::DepthLimit limit = depth_limit();
  walk::ScanPlan plan{dialect, walk::Scan::Caches};
  plan.base_cached = target_.cached;
  plan.base_prefix = target_.prefix();
  plan.base_err = err_;
  const int base = fd_ ? fd_.get() : -1;
  // rglob's own test of its base where it makes one: is_dir(), which raises
  // what it does not ignore. 1: no directory, nothing found.
  auto skipped = [&]() -> int {
    if (!dialect.checks_base) return 0;
    if (stat_err_) {
      walk_.raise(walk::Failure::at(stat_err_));
      return -1;
    }
    return is_dir_ ? 0 : 1;
  };

  // Phase 1: every "__pycache__" rglob finds, all listed before any is
  // removed.
  if (!walk_.announce_rglob(target_.path, env_.s.pycache)) return Ref();
  const int skip = skipped();
  if (skip < 0) return Ref();
  walk::Tree tree;
  walk::Failure f;
  if (!skip) {
    f = walk_.run([&](walk::Poll& poll, walk::Watch* watch) {
      plan.remove_at_turn = !watch->listening() && !dialect.listing_errors_raise;
      plan.depth_limit = limit.levels;
      walk::Failure listed = walk::scan(base, plan, &tree, poll, watch);
      return listed ? listed
                    : walk::remove_caches(dialect.predicates, base, &tree, limit.levels, poll,
                                          watch);
    });
    if (f) return f.exhausted() ? decline() : Native(walk_.raise(f));
  }

  // Phase 2: every file that is not packable, again listed in full first:
  // from the first listing (without what went with the caches), or, where
  // the steps are announced, as rglob lists them again.
  if (!walk_.announce_rglob(target_.path, env_.s.star)) return Ref();
  if (const int again = skipped(); again != 0) return again < 0 ? Ref() : Ref::none();
  f = walk_.run([&](walk::Poll& poll, walk::Watch* watch) {
    if (watch->listening()) {
      tree = walk::Tree();
      plan.what = walk::Scan::Entries;
      if (walk::Failure listed = walk::scan(base, plan, &tree, poll, watch)) return listed;
    }
    return walk::remove_junk_files(dialect.predicates, base, tree, poll, watch);
  });
  if (f) return f.exhausted() ? decline() : Native(walk_.raise(f));
  return Ref::none();
}

Native Anchor::child_names() {
  if (declined_ || !walk_.set_aside(1)) return decline();  // a listing may open "." below it
  std::vector<std::string> names;
  bool there;
  walk::Failure f = sorted_dirs(env_.seam.dialect.predicates, walk_, target_, fd_ ? fd_.get() : -1,
                                fd_ ? 0 : err_, &there, &names);
  walk_.give_back();
  if (f) return f.exhausted() ? decline() : Native(walk_.raise(f));
  return str_list(names);
}

Native Anchor::remove_children_except(PyObject* admitted) {
  if (declined_) return decline();
  // The listing, then removals that hold two descriptors at once below it.
  if (!walk_.set_aside(2)) return decline();
  struct GiveBack {
    Walk& walk;
    ~GiveBack() { walk.give_back(); }
  } give_back{walk_};
  // iterdir(): every entry, announced as it announces its listing, also
  // where the listing then fails.
  if (!walk_.announce_iterdir({})) return Ref();
  if (!fd_) return walk_.raise(walk::Failure::at(err_));
  std::vector<walk::Entry> entries;
  bool searchable = true;
  walk::Failure f = walk_.run([&](walk::Poll& poll, walk::Watch*) {
    if (const int err = walk::with_spare(poll, [&] { return walk::list_dir(fd_.get(), &entries); }))
      return walk::Failure::at(err);
    searchable = walk::probe_searchable(fd_.get(), entries);
    return walk::Failure();
  });
  if (f) return f.exhausted() ? decline() : Native(walk_.raise(f));
  // Which names are admitted, asked of the set before anything goes.
  std::vector<char> keep(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    Ref name = seam::decode(entries[i].name);
    if (!name) return Ref();
    const int member = PySet_Contains(admitted, name.get());
    if (member < 0) return Ref();
    keep[i] = static_cast<char>(member);
  }
  // Then each directory that is not admitted, as `_remove_tree` removes it.
  const size_t prefix = target_.prefix();
  const walk::DepthLimit limit = depth_limit();
  const walk::Predicates predicates = env_.seam.dialect.predicates;
  f = walk_.run([&](walk::Poll& poll, walk::Watch* watch) {
    for (size_t i = 0; i < entries.size(); ++i) {
      if (poll.stop()) return walk::Failure::stopped();
      const walk::Entry& e = entries[i];
      bool dir;
      if (const int err =
              walk::entry_is(predicates, S_IFDIR, fd_.get(), prefix, searchable, e.name, e.type, &dir))
        return walk::Failure::at(err, {e.name});
      if (!dir || keep[i]) continue;
      if (walk::Failure removed = walk::remove_tree(predicates, fd_.get(), e.name,
                                                    prefix + e.name.size(), limit, poll, watch))
        return removed;
    }
    return walk::Failure();
  });
  if (f) return f.exhausted() ? decline() : Native(walk_.raise(f));
  return Ref::none();
}

Native Anchor::child_exists(PyObject* name) {
  std::string component;
  if (!fd_ || !simple_component(name, &component)) return not_done(PyErr_Occurred() ? -1 : 0);
  const walk::Predicates predicates = env_.seam.dialect.predicates;
  int err = ENAMETOOLONG;
  if (walk::nameable(target_.prefix() + component.size())) {
    struct stat st;
    if (fstatat(fd_.get(), component.c_str(), &st, 0) == 0) return Ref::borrow(Py_True);
    err = errno;
  }
  if (!walk::raised_by(predicates, err)) return Ref::borrow(Py_False);
  return walk_.raise(walk::Failure::at(err, {component}));
}

#endif  // _WIN32

}  // namespace zavrik::fast
