// The one place where the C API of each supported CPython (3.11 to 3.15) is
// chosen. Everything else calls these names and never tests PY_VERSION_HEX
// itself: when an interpreter deprecates a call, only this header changes.
// Where a newer interpreter has the call, the name and contract are its
// own, given to the older ones.
//
// Failure idiom, as in the C API they stand for: a new reference, or null
// with an exception set; the `int` lookups return 1 (found, `*result` a new
// reference), 0 (absent, no exception) or -1 (exception set).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
// Before 3.12 the member types and flags live only in this header.
#include <structmember.h>
#endif


namespace zavrik::compat {

// PyMemberDef types and flags under their 3.12 names.
#if PY_VERSION_HEX >= 0x030C0000
inline constexpr int kMemberObjectEx = Py_T_OBJECT_EX;
inline constexpr int kMemberPySsizeT = Py_T_PYSSIZET;
inline constexpr int kMemberReadonly = Py_READONLY;
#else
inline constexpr int kMemberObjectEx = T_OBJECT_EX;
inline constexpr int kMemberPySsizeT = T_PYSSIZET;
inline constexpr int kMemberReadonly = READONLY;
#endif

// Takes the exception now set out of the thread state, normalised and with
// its traceback attached (PyErr_GetRaisedException): a new reference, or
// null when none is set; no exception is set afterwards.
inline PyObject* take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb && value) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return value;
#endif
}

// Sets `exc` (taken with take_raised_exception; stolen) as the current
// exception again, as it is: no context is chained
// (PyErr_SetRaisedException). A null `exc` clears the exception indicator.
inline void set_raised_exception(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  if (!exc) {
    PyErr_Restore(nullptr, nullptr, nullptr);
    return;
  }
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc,
                PyException_GetTraceback(exc));
#endif
}

// Whether the interpreter has begun to finalize (Py_IsFinalizing, 3.13): one
// flag of the runtime, read atomically, so that a thread may ask without
// holding the GIL. Once it is set, no thread but the one finalizing takes
// the GIL again: the interpreter ends a thread that tries (pthread_exit,
// its stack unwound: 3.11 to 3.13) or parks it for ever inside the attempt
// (3.14 and later).
inline bool is_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// The exception for work refused because the interpreter is finalizing
// (PythonFinalizationError, 3.13; RuntimeError before, as the interpreter
// itself raised there).
inline PyObject* finalization_error() {
#if PY_VERSION_HEX >= 0x030D0000
  return PyExc_PythonFinalizationError;
#else
  return PyExc_RuntimeError;
#endif
}

// Whether this thread holds the GIL. Outside finalization a thread that
// runs the module's code always does. Once the interpreter finalizes (and
// after), a daemon thread may be unwound on its way to take the GIL (3.11
// to 3.13): that is told from the thread state the thread runs, never from
// PyGILState_Check, which answers yes for every thread once the interpreter
// is finalized. From 3.12 the running thread state is the thread's own
// (none while it waits for the GIL or is unwound); 3.11 keeps one for the
// process, the GIL holder's, which is this thread's own state only when
// this thread holds it. From 3.14 such a thread never comes back from the
// attempt: nothing of it runs again, and the answer is only ever asked of
// threads that hold the GIL.
inline bool holds_gil() {
  if (!is_finalizing()) return true;
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
  return _PyThreadState_UncheckedGet() != nullptr;
#else
  PyThreadState* running = _PyThreadState_UncheckedGet();
  return running && running == PyGILState_GetThisThreadState();
#endif
}

// getattr(obj, name) where a missing attribute is an answer, not an error:
// only AttributeError means absent (PyObject_GetOptionalAttr, 3.13).
inline int get_optional_attr(PyObject* obj, PyObject* name, PyObject** result) {
#if PY_VERSION_HEX >= 0x030D0000
  return PyObject_GetOptionalAttr(obj, name, result);
#else
  *result = PyObject_GetAttr(obj, name);
  if (*result) return 1;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  return 0;
#endif
}

// The attribute `name` as the type's MRO defines it, before descriptors are
// applied (borrowed; nullptr when no class defines it; never raises). The
// interpreter offers this only as a private call on every version.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
  return _PyType_Lookup(type, name);
}

// How many more nested calls the running thread may make before the
// interpreter raises RecursionError, counted as Py_EnterRecursiveCall counts
// them: on 3.11 the one limit Python frames share (sys.getrecursionlimit()
// less the depth in use); on 3.12 and 3.13 the separate C limit, which
// Python frames do not use (a call into Python from C takes two). -1 where
// the interpreter keeps no such count (from 3.14 it measures the C stack).
inline constexpr bool kFramesShareRecursionLimit = PY_VERSION_HEX < 0x030C0000;
inline int recursion_remaining() {
#if PY_VERSION_HEX >= 0x030E0000
  return -1;
#elif PY_VERSION_HEX >= 0x030C0000
  return PyThreadState_Get()->c_recursion_remaining;
#else
  return PyThreadState_Get()->recursion_remaining;
#endif
}

}  // namespace zavrik::compat
