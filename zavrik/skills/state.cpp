// The module's state (see state.hpp).
#include "state.hpp"

#include <new>

namespace zavrik {
namespace {

constexpr const char kStateCapsule[] = "zavrik.skills.packaging.state";

void free_state(PyObject* capsule) {
  // Tested first so that no exception is raised here: this may run while
  // another one is on its way.
  if (PyCapsule_IsValid(capsule, kStateCapsule))
    delete static_cast<State*>(PyCapsule_GetPointer(capsule, kStateCapsule));
}

// A tuple of the given names.
Ref keywords(std::initializer_list<PyObject*> names) {
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  if (!tuple) return {};
  Py_ssize_t i = 0;
  for (PyObject* name : names) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(name));
  return tuple;
}

}  // namespace

Ref new_state(const State** out) {
  auto* state = new (std::nothrow) State();
  if (!state) {
    PyErr_NoMemory();
    return {};
  }
  Ref capsule = Ref::steal(PyCapsule_New(state, kStateCapsule, free_state));
  if (!capsule) {
    delete state;
    return {};
  }
  // From here on the capsule owns `state` and everything put into it.
  Names& n = state->names;
#define ZAVRIK_NAME_INIT(field, text)                                              \
  n.field.reset(Ref::steal(PyUnicode_InternFromString(text)));                     \
  if (!n.field) return {};
  ZAVRIK_NAMES(ZAVRIK_NAME_INIT)
#undef ZAVRIK_NAME_INIT
  n.kw_encoding.reset(keywords({n.encoding}));
  n.kw_skill_allowed.reset(keywords({n.profile, n.artifact, n.manifest, n.templates_dir}));
  n.kw_selected.reset(keywords({n.profile, n.artifact, n.templates_dir}));
  if (!n.kw_encoding || !n.kw_skill_allowed || !n.kw_selected) return {};
  if (seam::capture(&state->seam) < 0) return {};
  *out = state;
  return capsule;
}

}  // namespace zavrik
