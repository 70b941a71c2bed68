// The order in which pathlib sorts paths (see pathorder.hpp).
#include "pathorder.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace zavrik::walk {
namespace {

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

}  // namespace

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


#if !defined(_WIN32)

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

#endif  // !_WIN32

}  // namespace zavrik::walk
