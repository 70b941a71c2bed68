// The packaging rules that both ways of running an operation share.
//
// An operation runs either method by method on the path objects it was
// given, or natively on directory descriptors (walker.hpp) when the objects
// are plain platform paths. Both read the vocabulary of build junk, the
// Skill-name test and the bundle's templates directory from here, so that
// the two cannot drift apart.
#pragma once

#include <string_view>

namespace zavrik::rules {

// Build junk: cache directories, Finder metadata and compiled bytecode.
inline constexpr char kPycache[] = "__pycache__";
inline constexpr char kDsStore[] = ".DS_Store";
inline constexpr char kPyc[] = ".pyc";
inline constexpr char kPyo[] = ".pyo";

// Where the bundle keeps the templates: zavrik/skills/templates.
inline constexpr char kBundleTop[] = "zavrik";
inline constexpr char kBundleMiddle[] = "skills";
inline constexpr char kBundleLeaf[] = "templates";

// The suffix of a final path component as pathlib computes it: from the
// last dot, unless that dot begins or ends the name.
constexpr std::string_view suffix(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return {};
  return name.substr(dot);
}

// Whether a file of this name is junk by its name alone (the cache
// directories along its path are the caller's to check).
constexpr bool junk_file_name(std::string_view name) {
  const std::string_view s = suffix(name);
  return name == kDsStore || s == kPyc || s == kPyo;
}

// Whether `root / name` adds exactly one component `name` to `root`: not
// empty, not ".", no separator and no NUL. Only such Skill names are taken
// natively; anything else keeps pathlib's own joining rules.
constexpr bool simple_name(std::string_view name) {
  return !name.empty() && name != "." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

}  // namespace zavrik::rules
