// What the native engine knows of the running pathlib (see pathseam.hpp).
#include "pathseam.hpp"

#include <cstdio>
#include <initializer_list>
#include <iterator>
#include <new>

#include "compat.hpp"
#include "rules.hpp"

namespace zavrik::seam {
namespace {

// The object field at `offset` of `obj`.
PyObject*& field(PyObject* obj, Py_ssize_t offset) {
  return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
}

// Whether `type` resolves every member as recorded, and none of the absent.
bool resolves_as(PyTypeObject* type, PyObject* members, PyObject* absent) {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(members); ++i) {
    PyObject* pair = PyTuple_GET_ITEM(members, i);
    if (compat::type_lookup(type, PyTuple_GET_ITEM(pair, 0)) != PyTuple_GET_ITEM(pair, 1))
      return false;
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(absent); ++i)
    if (compat::type_lookup(type, PyTuple_GET_ITEM(absent, i))) return false;
  return true;
}

// Whether `ns[name]` is still `module`, and its functions as recorded: 1,
// 0, or -1 with an exception set. A lookup may fail: a key of the namespace
// that compares with the name may raise, or run out of memory.
int module_intact(PyObject* ns, PyObject* name, PyObject* module, PyObject* functions) {
  if (!ns || !name || !module) return 0;
  PyObject* now = PyDict_GetItemWithError(ns, name);
  if (!now && PyErr_Occurred()) return -1;
  if (now != module || !PyModule_Check(module)) return 0;
  PyObject* dict = PyModule_GetDict(module);
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(functions); ++i) {
    PyObject* pair = PyTuple_GET_ITEM(functions, i);
    PyObject* function = PyDict_GetItemWithError(dict, PyTuple_GET_ITEM(pair, 0));
    if (!function && PyErr_Occurred()) return -1;
    if (function != PyTuple_GET_ITEM(pair, 1)) return 0;
  }
  return 1;
}

}  // namespace

std::string join_bytes(std::string_view base_bytes, const walk::Place& components) {
  std::string text(base_bytes);
  for (const std::string& c : components) {
    if (text == ".")
      text.clear();
    else if (text.empty() || text.back() != '/')
      text += '/';
    text += c;
  }
  return text;
}

Ref decode(std::string_view bytes) {
  return Ref::steal(PyUnicode_DecodeFSDefaultAndSize(bytes.data(),
                                                     static_cast<Py_ssize_t>(bytes.size())));
}

namespace {

// Says why the seam stays inactive; returns 0 (capture()'s "inactive").
// The reason only informs: where its memory cannot be had it stays empty.
int inactive(PathSeam* seam, std::initializer_list<std::string_view> parts) {
  try {
    seam->reason.clear();
    for (std::string_view part : parts) seam->reason += part;
  } catch (const std::bad_alloc&) {
    seam->reason.clear();
  }
  return 0;
}

// Whether the fields that pathlib sets when it makes a path are set.
bool fields_set(const Layout& layout, PyObject* path) {
  if (layout.kind == Layout::Kind::Text) {
    PyObject* raw = field(path, layout.raw_paths);
    return raw && PyList_CheckExact(raw);
  }
  PyObject* drv = field(path, layout.drv);
  PyObject* root = field(path, layout.root);
  PyObject* parts = field(path, layout.parts);
  return drv && root && parts && PyUnicode_CheckExact(drv) && PyUnicode_CheckExact(root) &&
         PyList_CheckExact(parts);
}

// Whether the class `type` is the concrete one or a subclass of it, and
// resolves every member pathlib uses as pathlib did at import.
bool class_eligible(const PathSeam& seam, PyTypeObject* type) {
  auto* concrete = reinterpret_cast<PyTypeObject*>(seam.concrete.get());
  return (type == concrete ||
          (PyType_IsSubtype(type, concrete) && type->tp_getattro == concrete->tp_getattro)) &&
         resolves_as(type, PyTuple_GET_ITEM(seam.members.get(), 0),
                     PyTuple_GET_ITEM(seam.members.get(), 1));
}

// Whether `path` has instance attributes that would hide its class's: 1,
// 0, -1.
int has_own_attributes(PyObject* path) {
  PyTypeObject* type = Py_TYPE(path);
  if (type->tp_dictoffset == 0 && !(type->tp_flags & Py_TPFLAGS_MANAGED_DICT)) return 0;
  Ref dict = Ref::steal(PyObject_GenericGetDict(path, nullptr));
  if (!dict) return -1;
  return !PyDict_Check(dict.get()) || PyDict_GET_SIZE(dict.get()) != 0;
}

#if !defined(_WIN32)
// --- What is read and checked of pathlib at import (the native walks are POSIX) ---

// Class bookkeeping that a subclass always has of its own: never compared.
constexpr const char* kBookkeeping[] = {
    "__module__", "__qualname__", "__doc__", "__slots__", "__dict__", "__weakref__",
    "__firstlineno__", "__static_attributes__", "__annotations__", "__orig_bases__",
    "__parameters__", "__type_params__", "__abstractmethods__", "_abc_impl",
};

bool bookkeeping(PyObject* name) {
  for (const char* b : kBookkeeping)
    if (PyUnicode_CompareWithASCIIString(name, b) == 0) return true;
  return false;
}

// Members pathlib's classes take from `object`, which a subclass may still
// override: attribute access and construction.
constexpr const char* kFromObject[] = {
    "__getattribute__", "__getattr__", "__setattr__", "__delattr__", "__init__", "__new__",
};
// The os functions pathlib's methods call.
constexpr const char* kOsFunctions[] = {"stat", "lstat", "listdir", "scandir",
                                        "unlink", "rmdir", "fspath"};
// The io functions open() and read_text() call.
constexpr const char* kIoFunctions[] = {"open", "text_encoding"};

// Where rglob finds the class whose callables list the tree.
struct Globber {
  enum class Where : unsigned char {
    None,       // rglob has no globber (CPython 3.11, 3.12)
    Member,     // a member of the path's class (CPython 3.13: Path._globber)
    Namespace,  // a global that pathlib's glob() reads (CPython 3.14: _StringGlobber)
  };
  Where where;
  const char* name;
};

// What each interpreter's pathlib does (see rglob.hpp for the dialects).
// Another interpreter is another row, once its pathlib has been read.
struct Known {
  int minor;
  walk::Dialect dialect;
  Announcements announces;
  Layout::Kind layout;
  Globber globber;
  // The os.path functions that pathlib's predicates call (none where they
  // call the path's own stat()).
  const char* os_path[6];
};
constexpr Known kKnown[] = {
    {11,
     {walk::Dialect::Order::Preorder, walk::Dialect::Caches::Exists, true, false, true,
      walk::Predicates::RaiseOthers, false},
     {"os.listdir", false, false, false, false},
     Layout::Kind::Parsed,
     {Globber::Where::None, nullptr},
     {}},
    {12,
     {walk::Dialect::Order::Groups, walk::Dialect::Caches::Listed, false, true, true,
      walk::Predicates::RaiseOthers, false},
     {"os.listdir", false, false, false, false},
     Layout::Kind::Text,
     {Globber::Where::None, nullptr},
     {}},
    {13,
     {walk::Dialect::Order::GroupsLastFirst, walk::Dialect::Caches::Lstat, false, false, false,
      walk::Predicates::RaiseOthers, false},
     {"os.scandir", true, true, true, false},
     Layout::Kind::Text,
     {Globber::Where::Member, "_globber"},
     {}},
    // pathlib became a package; glob() hands glob's _StringGlobber the text
    // "**/pattern" and names each sub-directory it lists with a trailing
    // separator; exists(), is_dir() and is_file() are os.path's, which
    // answer "no" for every failure. The walk itself is 3.13's.
    {14,
     {walk::Dialect::Order::GroupsLastFirst, walk::Dialect::Caches::Lstat, false, false, false,
      walk::Predicates::AnswerNo, true},
     {"os.scandir", true, true, true, true},
     Layout::Kind::Text,
     {Globber::Where::Namespace, "_StringGlobber"},
     {"isdir", "isfile", "exists", "lexists", "islink"}},
    // As 3.14 (_StringGlobber is a lazy import there: it is resolved when
    // captured).
    {15,
     {walk::Dialect::Order::GroupsLastFirst, walk::Dialect::Caches::Lstat, false, false, false,
      walk::Predicates::AnswerNo, true},
     {"os.scandir", true, true, true, true},
     Layout::Kind::Text,
     {Globber::Where::Namespace, "_StringGlobber"},
     {"isdir", "isfile", "exists", "lexists", "islink"}},
};

// The offset of the object field `name` of `type` (a member descriptor of
// an object), or -1 where there is none.
Py_ssize_t member_offset(PyTypeObject* type, const char* name) {
  Ref key = Ref::steal(PyUnicode_InternFromString(name));
  if (!key) return -2;
  PyObject* descr = compat::type_lookup(type, key.get());
  if (!descr || !Py_IS_TYPE(descr, &PyMemberDescr_Type)) return -1;
  const PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member;
  return member->type == compat::kMemberObjectEx ? member->offset : -1;
}

// ((name, value), ...) of every member the classes of `type`'s MRO (but
// `object`) define, as `type` resolves them, with `extra` names too; the
// names `type` does not resolve go to `absent`.
int resolved_members(PyTypeObject* type, std::initializer_list<const char*> extra, Ref* members,
                     Ref* absent) {
  Ref names = Ref::steal(PySet_New(nullptr));
  if (!names) return -1;
  PyObject* mro = type->tp_mro;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    auto* cls = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
    if (cls == &PyBaseObject_Type) continue;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(cls->tp_dict, &pos, &key, &value))
      if (PyUnicode_CheckExact(key) && !bookkeeping(key) && PySet_Add(names.get(), key) < 0)
        return -1;
  }
  for (const char* name : extra) {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    if (!key || PySet_Add(names.get(), key.get()) < 0) return -1;
  }
  Ref found = Ref::steal(PyList_New(0));
  Ref missing = Ref::steal(PyList_New(0));
  if (!found || !missing) return -1;
  Ref it = Ref::steal(PyObject_GetIter(names.get()));
  if (!it) return -1;
  while (Ref next = Ref::steal(PyIter_Next(it.get()))) {
    PyObject* interned = next.release();
    PyUnicode_InternInPlace(&interned);
    Ref name = Ref::steal(interned);
    PyObject* value = compat::type_lookup(type, name.get());
    Ref item = value ? Ref::steal(PyTuple_Pack(2, name.get(), value)) : Ref::borrow(name.get());
    if (!item || PyList_Append(value ? found.get() : missing.get(), item.get()) < 0) return -1;
  }
  if (PyErr_Occurred()) return -1;
  *members = Ref::steal(PyList_AsTuple(found.get()));
  *absent = Ref::steal(PyList_AsTuple(missing.get()));
  return *members && *absent ? 0 : -1;
}

// ((name, module.name), ...) for each name the module has (a null name
// ends the list).
template <std::size_t N>
Ref module_functions(PyObject* module, const char* const (&names)[N]) {
  Ref pairs = Ref::steal(PyList_New(0));
  if (!pairs) return {};
  for (const char* name : names) {
    if (!name) break;
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    if (!key) return {};
    PyObject* raw = nullptr;
    const int found = compat::get_optional_attr(module, key.get(), &raw);
    Ref value = Ref::steal(raw);
    if (found < 0) return {};
    if (!found) continue;
    Ref pair = Ref::steal(PyTuple_Pack(2, key.get(), value.get()));
    if (!pair || PyList_Append(pairs.get(), pair.get()) < 0) return {};
  }
  return Ref::steal(PyList_AsTuple(pairs.get()));
}

// The namespace a pathlib method reads its globals from.
PyObject* globals_of(PyTypeObject* type, const char* method) {
  Ref key = Ref::steal(PyUnicode_InternFromString(method));
  PyObject* fn = key ? compat::type_lookup(type, key.get()) : nullptr;
  return fn && PyFunction_Check(fn) ? PyFunction_GetGlobals(fn) : nullptr;
}

// Whether two objects compare as the check needs: 1 yes, 0 no, -1 error.
int same(PyObject* a, PyObject* b, int op = Py_EQ) { return PyObject_RichCompareBool(a, b, op); }

// Whether a natively made path equals pathlib's own for `base / name`:
// 1, 0 (`*differs` names what differs), -1.
int agrees(const PathSeam& seam, PyObject* base, const walk::Place& below, const char** differs) {
  Ref text = Ref::steal(PyObject_Str(base));
  Ref bytes = text ? Ref::steal(PyUnicode_EncodeFSDefault(text.get())) : Ref();
  if (!bytes) return -1;
  const std::string_view view(PyBytes_AS_STRING(bytes.get()),
                              static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
  Ref made = make_path(seam, base, view, below);
  if (!made) return -1;
  Ref expected = Ref::borrow(base);
  for (const std::string& c : below) {
    Ref name = decode(c);
    if (!name) return -1;
    expected = Ref::steal(PyNumber_TrueDivide(expected.get(), name.get()));
    if (!expected) return -1;
  }
  Ref b_name = Ref::steal(PyUnicode_FromString("b"));
  Ref sibling = b_name ? Ref::steal(PyNumber_TrueDivide(base, b_name.get())) : Ref();
  if (!sibling) return -1;
  *differs = "type";
  if (Py_TYPE(made.get()) != Py_TYPE(expected.get())) return 0;
  int ok = 1;
  for (const char* attribute : {"parts", "name", "parent", "suffix"}) {
    *differs = attribute;
    Ref a = Ref::steal(PyObject_GetAttrString(made.get(), attribute));
    Ref b = a ? Ref::steal(PyObject_GetAttrString(expected.get(), attribute)) : Ref();
    if (!b) return -1;
    if ((ok = same(a.get(), b.get())) <= 0) return ok;
  }
  *differs = "str()";
  Ref a = Ref::steal(PyObject_Str(made.get()));
  Ref b = a ? Ref::steal(PyObject_Str(expected.get())) : Ref();
  if (!b) return -1;
  if ((ok = same(a.get(), b.get())) <= 0) return ok;
  *differs = "hash";
  const Py_hash_t ha = PyObject_Hash(made.get());
  const Py_hash_t hb = ha == -1 ? -1 : PyObject_Hash(expected.get());
  if (hb == -1) return -1;
  if (ha != hb) return 0;
  *differs = "equality";
  if ((ok = same(made.get(), expected.get())) <= 0 || (ok = same(expected.get(), made.get())) <= 0)
    return ok;
  *differs = "ordering";
  for (int op : {Py_LT, Py_GT}) {
    const int x = same(made.get(), sibling.get(), op);
    const int y = x < 0 ? -1 : same(expected.get(), sibling.get(), op);
    if (y < 0) return -1;
    if (x != y) return 0;
    if ((ok = same(made.get(), expected.get(), op)) != 0) return ok < 0 ? -1 : 0;
  }
  return 1;
}

// Whether the native paths agree with pathlib's on a few bases and names:
// 1, 0 (`*differs` names what differs), -1 (what raised too).
int verify(const PathSeam& seam, const char** differs) {
  const char* bases[] = {"/", "/srv/t", "rel/x", ".", "//net", "a"};
  const walk::Place names[] = {{"c"}, {"\xc3\xa9"}, {"bad\xff"}, {"c", "d.txt"}, {".hidden"}};
  for (const char* text : bases) {
    Ref arg = Ref::steal(PyUnicode_FromString(text));
    Ref base = arg ? call(seam.path_class.get(), {arg.get()}) : Ref();
    *differs = "construction";
    if (!base) return -1;
    for (const walk::Place& below : names) {
      const int ok = agrees(seam, base.get(), below, differs);
      if (ok <= 0) return ok;
    }
  }
  return 1;
}

// Fills what capture() reads off pathlib; 0 where it is not what the seam
// knows (the seam stays inactive), -1 with an exception set.
int read_pathlib(PathSeam* seam) {
  const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
  const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
  const Known* known = nullptr;
  for (const Known& k : kKnown)
    if (major == 3 && k.minor == minor) known = &k;
  if (!known) {
    char text[128];
    std::snprintf(text, sizeof text,
                  "this CPython's pathlib (%d.%d) is not one the engine knows (3.%d to 3.%d)",
                  major, minor, kKnown[0].minor, std::end(kKnown)[-1].minor);
    return inactive(seam, {text});
  }
  seam->dialect = known->dialect;
  seam->announces = known->announces;

  Ref pathlib = Ref::steal(PyImport_ImportModule("pathlib"));
  if (!pathlib) return -1;
  seam->path_class = Ref::steal(PyObject_GetAttrString(pathlib.get(), "Path"));
  if (!seam->path_class) return -1;
  Ref sample = call(seam->path_class.get(), {});
  if (!sample) return -1;
  auto* concrete = Py_TYPE(sample.get());
  seam->concrete = Ref::borrow(reinterpret_cast<PyObject*>(concrete));

  // The fields a path is made of.
  Layout& layout = seam->layout;
  layout.kind = known->layout;
  struct Field {
    Py_ssize_t* offset;
    const char* name;
  };
  const Field text_fields[] = {{&layout.raw_paths, "_raw_paths"}, {&layout.str, "_str"}, {}};
  const Field parsed_fields[] = {
      {&layout.drv, "_drv"}, {&layout.root, "_root"}, {&layout.parts, "_parts"}};
  const Field* wanted = layout.kind == Layout::Kind::Text ? text_fields : parsed_fields;
  for (int i = 0; i < 3 && wanted[i].offset; ++i) {
    const Field& f = wanted[i];
    *f.offset = member_offset(concrete, f.name);
    if (*f.offset == -2) return -1;
    if (*f.offset < 0)
      return inactive(seam, {"pathlib's path objects keep no field ", f.name,
                             " where the engine reads it"});
  }

  // Every member, and what pathlib reads from other modules.
  Ref members, absent;
  if (resolved_members(concrete, {kFromObject[0], kFromObject[1], kFromObject[2],
                                  kFromObject[3], kFromObject[4], kFromObject[5]},
                       &members, &absent) < 0)
    return -1;
  seam->members = Ref::steal(PyTuple_Pack(2, members.get(), absent.get()));
  if (!seam->members) return -1;
  PyObject* os_ns = globals_of(concrete, "iterdir");
  PyObject* io_ns = globals_of(concrete, "open");
  if (!os_ns || !io_ns)
    return inactive(seam, {"pathlib's iterdir() or open() is not the Python function the engine knows"});
  seam->os_namespace = Ref::borrow(os_ns);
  seam->io_namespace = Ref::borrow(io_ns);
  seam->os_name = Ref::steal(PyUnicode_InternFromString("os"));
  seam->io_name = seam->os_name ? Ref::steal(PyUnicode_InternFromString("io")) : Ref();
  seam->path_name = seam->io_name ? Ref::steal(PyUnicode_InternFromString("path")) : Ref();
  if (!seam->path_name) return -1;
  seam->os_module = Ref::borrow(PyDict_GetItemWithError(os_ns, seam->os_name.get()));
  if (!seam->os_module && PyErr_Occurred()) return -1;
  seam->io_module = Ref::borrow(PyDict_GetItemWithError(io_ns, seam->io_name.get()));
  if (!seam->io_module && PyErr_Occurred()) return -1;
  if (!seam->os_module || !seam->io_module)
    return inactive(seam, {"pathlib's methods find no os or io module where the engine looks"});
  seam->os_functions = module_functions(seam->os_module.get(), kOsFunctions);
  seam->io_functions = module_functions(seam->io_module.get(), kIoFunctions);
  if (!seam->os_functions || !seam->io_functions) return -1;
  if (known->os_path[0]) {
    PyObject* os_path =
        PyDict_GetItemWithError(PyModule_GetDict(seam->os_module.get()), seam->path_name.get());
    if (!os_path && PyErr_Occurred()) return -1;
    if (!os_path || !PyModule_Check(os_path))
      return inactive(seam, {"pathlib's os module has no os.path module"});
    seam->os_path_module = Ref::borrow(os_path);
    seam->os_path_functions = module_functions(os_path, known->os_path);
    if (!seam->os_path_functions) return -1;
  }

  // The globber whose callables rglob's walk calls, and where each of
  // them is read from.
  PyObject* globber = nullptr;
  Ref globber_key = known->globber.name
                        ? Ref::steal(PyUnicode_InternFromString(known->globber.name))
                        : Ref();
  if (known->globber.name && !globber_key) return -1;
  Ref globber_ref;
  switch (known->globber.where) {
    case Globber::Where::None:
      break;
    case Globber::Where::Member:
      globber = compat::type_lookup(concrete, globber_key.get());
      break;
    case Globber::Where::Namespace: {
      PyObject* glob_ns = globals_of(concrete, "glob");
      if (!glob_ns)
        return inactive(seam, {"pathlib's glob() is not the Python function the engine knows"});
      PyObject* raw = PyDict_GetItemWithError(glob_ns, globber_key.get());
      if (!raw) {
        if (PyErr_Occurred()) return -1;
        return inactive(seam, {"pathlib's glob() finds no ", known->globber.name});
      }
      if (!PyType_Check(raw)) {
        // A lazy import not yet resolved: read it as glob() would, which
        // resolves it, and the namespace then holds the class itself.
        globber_ref = Ref::steal(PyObject_GetAttr(pathlib.get(), globber_key.get()));
        if (!globber_ref) {
          if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
          PyErr_Clear();
          return inactive(seam, {"pathlib's glob() finds no ", known->globber.name});
        }
        raw = PyDict_GetItemWithError(glob_ns, globber_key.get());
        if (raw != globber_ref.get()) {
          if (PyErr_Occurred()) return -1;
          return inactive(seam, {"pathlib's ", known->globber.name, " is not one class"});
        }
      }
      globber = raw;
      seam->globber_namespace = Ref::borrow(glob_ns);
      seam->globber_name = Ref::borrow(globber_key.get());
      break;
    }
  }
  if (known->globber.where != Globber::Where::None && (!globber || !PyType_Check(globber)))
    return inactive(seam, {"pathlib's rglob() has no class ", known->globber.name,
                           " where the engine looks"});
  if (globber) {
    auto* globber_type = reinterpret_cast<PyTypeObject*>(globber);
    Ref globber_members, globber_absent;
    if (resolved_members(globber_type, {}, &globber_members, &globber_absent) < 0) return -1;
    seam->globber = Ref::steal(PyTuple_Pack(3, globber, globber_members.get(), globber_absent.get()));
    if (!seam->globber) return -1;
    // A listing written in Python (3.14's staticmethod scandir) reads `os`
    // from its own module: that must be pathlib's os, with its functions.
    Ref scandir_key = Ref::steal(PyUnicode_InternFromString("scandir"));
    if (!scandir_key) return -1;
    PyObject* scandir = compat::type_lookup(globber_type, scandir_key.get());
    if (scandir && Py_IS_TYPE(scandir, &PyStaticMethod_Type)) {
      Ref fn = Ref::steal(PyObject_GetAttrString(scandir, "__func__"));
      if (!fn) return -1;
      if (PyFunction_Check(fn.get())) {
        PyObject* ns = PyFunction_GetGlobals(fn.get());
        PyObject* os_there = PyDict_GetItemWithError(ns, seam->os_name.get());
        if (!os_there && PyErr_Occurred()) return -1;
        if (os_there != seam->os_module.get())
          return inactive(seam, {"rglob()'s listing calls another os module than pathlib's"});
        seam->globber_os_namespace = Ref::borrow(ns);
      }
    }
  }
  return 1;
}

#endif  // !_WIN32

}  // namespace

int capture(PathSeam* seam) {
#if defined(_WIN32)
  // The native walks are POSIX: every path takes the method path here.
  return inactive(seam, {"the native walks are POSIX-only: no engine on this platform"});
#else
  const int read = read_pathlib(seam);
  if (read <= 0) return read;
  seam->active = true;
  const char* differs = "";
  const int ok = verify(*seam, &differs);
  if (ok > 0) return 0;
  seam->active = false;
  if (ok == 0)
    return inactive(seam, {"a path the engine makes differs from pathlib's in its ", differs});
  // A comparison that raised is a disagreement too, unless it is not one
  // that comparing paths raises.
  const char* raised = PyErr_ExceptionMatches(PyExc_AttributeError) ? "AttributeError"
                       : PyErr_ExceptionMatches(PyExc_TypeError)    ? "TypeError"
                       : PyErr_ExceptionMatches(PyExc_ValueError)   ? "ValueError"
                                                                    : nullptr;
  if (!raised) return -1;
  PyErr_Clear();
  return inactive(seam, {"comparing a path the engine makes with pathlib's raised ", raised,
                         " (", differs, ")"});
#endif
}

int intact(const PathSeam& seam, PyObject* module_path) {
  if (!seam.active || module_path != seam.path_class.get()) return 0;
  if (const int os_intact = module_intact(seam.os_namespace.get(), seam.os_name.get(),
                                          seam.os_module.get(), seam.os_functions.get());
      os_intact <= 0)
    return os_intact;
  if (PyObject* os_path = seam.os_path_module.get()) {
    if (const int path_intact =
            module_intact(PyModule_GetDict(seam.os_module.get()), seam.path_name.get(), os_path,
                          seam.os_path_functions.get());
        path_intact <= 0)
      return path_intact;
  }
  if (PyObject* g = seam.globber.get()) {
    if (!resolves_as(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(g, 0)),
                     PyTuple_GET_ITEM(g, 1), PyTuple_GET_ITEM(g, 2)))
      return 0;
    if (PyObject* ns = seam.globber_namespace.get()) {
      PyObject* now = PyDict_GetItemWithError(ns, seam.globber_name.get());
      if (!now && PyErr_Occurred()) return -1;
      if (now != PyTuple_GET_ITEM(g, 0)) return 0;
    }
    if (PyObject* ns = seam.globber_os_namespace.get()) {
      if (const int os_intact = module_intact(ns, seam.os_name.get(), seam.os_module.get(),
                                              seam.os_functions.get());
          os_intact <= 0)
        return os_intact;
    }
  }
  return 1;
}

int eligible(const PathSeam& seam, PyObject* path) {
  if (!seam.active || !class_eligible(seam, Py_TYPE(path))) return 0;
  if (Py_TYPE(path) != reinterpret_cast<PyTypeObject*>(seam.concrete.get())) {
    const int own = has_own_attributes(path);
    if (own != 0) return own < 0 ? -1 : 0;
  }
  return fields_set(seam.layout, path) ? 1 : 0;
}

int reads_like_pathlib(const PathSeam& seam, PyObject* path) {
  if (!seam.active || !class_eligible(seam, Py_TYPE(path))) return 0;
  const int own = has_own_attributes(path);
  if (own != 0) return own < 0 ? -1 : 0;
  return module_intact(seam.io_namespace.get(), seam.io_name.get(), seam.io_module.get(),
                       seam.io_functions.get());
}

Ref make_path(const PathSeam& seam, PyObject* base, std::string_view base_bytes,
              const walk::Place& components) {
  if (components.empty()) return Ref::borrow(base);
  const Layout& layout = seam.layout;
  PyTypeObject* type = Py_TYPE(base);
  if (layout.kind == Layout::Kind::Text) {
    // As pathlib makes a child: from its text alone.
    Ref text = decode(join_bytes(base_bytes, components));
    Ref raw = text ? Ref::steal(PyList_New(1)) : Ref();
    if (!raw) return {};
    PyList_SET_ITEM(raw.get(), 0, Py_NewRef(text.get()));
    Ref path = Ref::steal(type->tp_alloc(type, 0));
    if (!path) return {};
    field(path.get(), layout.raw_paths) = raw.release();
    field(path.get(), layout.str) = text.release();
    return path;
  }
  // As pathlib makes a child: the parent's drive and root, its parts and
  // the new ones.
  PyObject* parts = field(base, layout.parts);
  Ref extended = Ref::steal(PyList_GetSlice(parts, 0, PyList_GET_SIZE(parts)));
  if (!extended) return {};
  for (const std::string& c : components) {
    Ref name = decode(c);
    if (!name || PyList_Append(extended.get(), name.get()) < 0) return {};
  }
  Ref path = Ref::steal(type->tp_alloc(type, 0));
  if (!path) return {};
  field(path.get(), layout.drv) = Py_NewRef(field(base, layout.drv));
  field(path.get(), layout.root) = Py_NewRef(field(base, layout.root));
  field(path.get(), layout.parts) = extended.release();
  return path;
}

Ref text_below(std::string_view base_bytes, const walk::Place& components) {
  return decode(join_bytes(base_bytes, components));
}

Ref name_of(const PathSeam& seam, PyObject* path) {
  const Layout& layout = seam.layout;
  if (layout.kind == Layout::Kind::Parsed && fields_set(layout, path)) {
    PyObject* drv = field(path, layout.drv);
    PyObject* root = field(path, layout.root);
    PyObject* parts = field(path, layout.parts);
    const Py_ssize_t anchored = (PyUnicode_GET_LENGTH(drv) || PyUnicode_GET_LENGTH(root)) ? 1 : 0;
    const Py_ssize_t n = PyList_GET_SIZE(parts);
    if (n == anchored) return Ref::steal(PyUnicode_FromString(""));
    return Ref::borrow(PyList_GET_ITEM(parts, n - 1));
  }
  return Ref::steal(PyObject_GetAttrString(path, "name"));
}

}  // namespace zavrik::seam
