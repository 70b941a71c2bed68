// Removing a tree as `_remove_tree` removes it, on descriptors.
#pragma once

#include "reach.hpp"
#include "walker.hpp"

namespace zavrik::walk {

#if !defined(_WIN32)

// Removes the tree `name` relative to the open directory `at` as
// `_remove_tree` does: children first, then the directory. A link is
// unlinked, never followed, whether it is `name` itself or met on the way.
// `length` is the length of the text of `name`'s path; deeper than
// `depth_limit` allows it stops with Kind::TooDeep. `watch` may be null.
// Places (for failures and the watch) are given below `above`; is_dir() of
// each entry answers as `predicates` says.
Failure remove_tree(Predicates predicates, int at, const std::string& name, std::size_t length,
                    DepthLimit depth_limit, Poll& poll, Watch* watch, const Place& above = {});

#endif  // !_WIN32

}  // namespace zavrik::walk
