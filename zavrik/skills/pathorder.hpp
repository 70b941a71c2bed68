// The order in which pathlib sorts paths, on the byte names of a walk.
//
// Paths order component by component, each component by the code points of
// its text as the file-system decoding reads it (undecodable bytes as the
// surrogates that stand for them). Strict UTF-8 orders by its bytes as by
// its code points, so nearly every name is compared as it is; only a name
// that is not UTF-8 needs an order key.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "rglob.hpp"

namespace zavrik::walk {

// Whether the bytes are strict UTF-8, as the interpreter's decoder takes it.
bool valid_utf8(std::string_view bytes);

// Sorts names in code-point order of their decoded form.
void sort_names(std::vector<std::string>* names);

#if !defined(_WIN32)

// A packable file of a Files scan: its directory and entry.
struct File {
  int dir;
  std::uint32_t entry;
};

// The packable files of a Files scan, sorted as pathlib sorts paths: by
// components, each in code-point order.
std::vector<File> packable_files(const Tree& tree);

#endif  // !_WIN32

}  // namespace zavrik::walk
