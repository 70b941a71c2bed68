#include "nativefs.hpp"

namespace zavrik::fast {

bool plain_path(const Env&, PyObject*) { return false; }
int capture_originals(PyObject*) { return 0; }

PyObject* list_template_dirs(const Env&, PyObject*) { return nullptr; }
PyObject* remove_tree(const Env&, PyObject*) { return nullptr; }
PyObject* remove_packaging_junk(const Env&, PyObject*) { return nullptr; }
PyObject* collect_skill_datas(const Env&, PyObject*, PyObject*) { return nullptr; }

}  // namespace zavrik::fast
