// zavrik.skills._engine: whether the native engine runs on this interpreter,
// and why not where it does not.
//
// The packaging module decides that once, at its import, by capturing the
// running pathlib (pathseam). Its namespace is its public surface and
// carries nothing more; this module is built from the same seam units and
// makes the same capture when asked, so that on the same interpreter, with
// pathlib as it was imported, it reaches the same decision, and says why.
#include "pathseam.hpp"

namespace zavrik {
namespace {

constexpr const char kStatusDoc[] =
    "status() -> (active, reason)\n\n"
    "Whether the native engine of zavrik.skills.packaging runs on this interpreter\n"
    "(pathlib being as it is now), and, when it does not, why, in one line\n"
    "(None while it runs).";

PyObject* status(PyObject*, PyObject*) {
  seam::PathSeam captured;
  if (seam::capture(&captured) < 0) return nullptr;
  Ref reason = captured.active ? Ref::none()
                               : Ref::steal(PyUnicode_DecodeUTF8(
                                     captured.reason.data(),
                                     static_cast<Py_ssize_t>(captured.reason.size()), "replace"));
  if (!reason) return nullptr;
  return PyTuple_Pack(2, captured.active ? Py_True : Py_False, reason.get());
}

PyMethodDef engine_methods[] = {
    {"status", status, METH_NOARGS, kStatusDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot engine_slots[] = {
#ifdef Py_mod_multiple_interpreters
    // No state of its own: each call captures afresh.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef engine_def = {
    PyModuleDef_HEAD_INIT,
    "_engine",
    "Whether zavrik.skills.packaging runs its native engine here, and why not.",
    0,
    engine_methods,
    engine_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace zavrik

PyMODINIT_FUNC PyInit__engine(void) {
  return PyModuleDef_Init(&zavrik::engine_def);
}
