// The C API of each supported interpreter version, chosen in one place.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zavrik::compat {

// Whether the interpreter has begun to finalize.
inline bool is_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing();
#else
  return _Py_IsFinalizing();
#endif
}

}  // namespace zavrik::compat
