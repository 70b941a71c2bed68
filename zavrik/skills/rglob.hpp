// The walks that stand for pathlib's `rglob`, on directory descriptors.
//
// `rglob("*")` and `rglob("__pycache__")` yield what they find directory by
// directory, in an order that differs between interpreters; which
// directories they pass over, and which failures they raise, differ too. A
// `Dialect` describes one interpreter's rglob in those terms (the path seam
// holds the one of the running interpreter), and `scan` walks a tree the
// way that rglob does: the same directories in the same order, the same
// entries, the same failures at the same step, and, when a `Watch` listens,
// the same listings announced.
#pragma once

#include "reach.hpp"
#include "removal.hpp"
#include "walker.hpp"

namespace zavrik::walk {

struct Dialect {
  enum class Order : unsigned char {
    // Each directory, then the whole walk below each of its
    // sub-directories in turn (a depth-first preorder).
    Preorder,
    // The root, then, for each directory of a preorder walk, all of its
    // sub-directories together.
    Groups,
    // The same, the walk taking a directory's last sub-directory first.
    GroupsLastFirst,
  };
  enum class Caches : unsigned char {
    // exists() of D / "__pycache__": links followed; an error other than a
    // refused permission is raised.
    Exists,
    // The entries of D's listing of that name, whatever they are.
    Listed,
    // lstat() of D / "__pycache__": whatever is there; errors pass.
    Lstat,
  };
  Order order;
  Caches caches;
  // Whether a listing that fails for another reason than a refused
  // permission raises (else every failed listing is passed over).
  bool listing_errors_raise;
  // Whether rglob announces its walk below the base.
  bool announces_walk;
  // Whether rglob asks is_dir() of its base first, and yields nothing when
  // it is not a directory (else it lists the base as any directory).
  bool checks_base;
  // How pathlib's predicates answer a failure, in rglob's callers and in
  // the removals that stand for them.
  Predicates predicates;
  // Whether rglob names each sub-directory it lists with a separator at
  // its end: the text of that listing, and so what it may be named by, is
  // one byte longer.
  bool listing_slash;
};

enum class Scan : unsigned char {
  Files,    // rglob("*") with is_file() of each entry as the walk yields it
  Entries,  // rglob("*"), listed only
  Caches,   // rglob("__pycache__"): where the caches are, in order (and the
            // entries listed on the way, for a sweep's second phase)
};

// A walked tree, in rglob's order.
struct Tree final : DirMap {
  struct Dir {
    int parent = -1;          // -1 for the base
    std::string name;         // empty for the base
    std::size_t prefix = 0;   // length of its text and separator
    bool cached = false;      // "__pycache__" among its components
    bool searchable = true;   // its entries may be looked at
    bool removed = false;     // a cache that remove_caches removed
    int cache = -1;           // its walked sub-directory "__pycache__"
    std::uint64_t ino = 0;    // as its parent's listing gave it
    std::uint32_t first = 0;  // the entries rglob yields: entries[first, first + count)
    std::uint32_t count = 0;
  };
  struct Item {
    std::string name;
    unsigned char type;     // d_type
    signed char file = -1;  // is_file(), when the walk resolved it
  };
  std::vector<Dir> dirs;
  std::vector<Item> entries;
  // Scan::Caches: the directories whose "__pycache__" rglob yields, each
  // with its type where the walk saw it (DT_UNKNOWN where not).
  struct Cache {
    int dir;
    unsigned char type;
  };
  std::vector<Cache> caches;

  Place components(int dir, const std::string* name = nullptr) const;
  int parent(int dir) const override { return dirs[static_cast<std::size_t>(dir)].parent; }
  const std::string& name(int dir) const override {
    return dirs[static_cast<std::size_t>(dir)].name;
  }
  std::uint64_t ino(int dir) const override { return dirs[static_cast<std::size_t>(dir)].ino; }
};

struct ScanPlan {
  Dialect dialect;
  Scan what;
  bool base_cached = false;      // "__pycache__" among the base's components
  bool base_searchable = false;  // the base is known to be searchable
  std::size_t base_prefix = 0;   // length of the text before a child's name
  int base_err = 0;              // why the base could not be opened (base < 0)
  // Scan::Caches: remove each cache at its turn (with this depth limit)
  // instead of only noting it. The same removals as after the whole
  // listing, where no later step of it can fail and nobody listens.
  bool remove_at_turn = false;
  std::size_t depth_limit = 0;
};

#if !defined(_WIN32)

// Walks the tree below `base` (from open_base or open_base_proven, or
// -1 with the error in `plan.base_err`) as rglob does for `plan.what`,
// recording it in `tree`. `watch` may be null.
Failure scan(int base, const ScanPlan& plan, Tree* tree, Poll& poll, Watch* watch);

// The first phase of the junk sweep, after Scan::Caches has listed every
// cache (as rglob lists them all before any is removed): each in order,
// is_dir() of it, then removed with remove_tree's rules, and marked so.
Failure remove_caches(Predicates predicates, int base, Tree* tree, std::size_t depth_limit,
                      Poll& poll, Watch* watch);

// The second phase: every file of a listed tree that is not packable (but
// those the first phase removed with their cache).
Failure remove_junk_files(Predicates predicates, int base, const Tree& tree, Poll& poll,
                          Watch* watch);

// Whether an entry is a packable file by its name and place: not junk by
// name, and no "__pycache__" along its path.
bool packable(const Tree& tree, int dir, const Tree::Item& item);

#endif  // !_WIN32

}  // namespace zavrik::walk
