// Reading a text file as `path.read_text(encoding="utf-8")` reads it,
// without blocking on a file that is not a regular one.
#pragma once

#include "function.hpp"

namespace zavrik {

// path.read_text(encoding="utf-8"): for a pathlib path whose reading
// methods are pathlib's own, read here through a descriptor checked to be a
// regular file, the text decoded exactly as read_text decodes it; for any
// other path object, its own read_text, after a check by name. Empty with
// the exception read_text would raise (or the refusal of a special file)
// set.
Ref read_text_utf8(const Env& env, PyObject* path);

}  // namespace zavrik
