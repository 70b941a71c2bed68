// Owned references and the few call helpers every unit uses.
//
// `Ref` owns exactly one strong reference (or nothing). Every boundary says
// which it is: `Ref::steal` takes over a new reference that the C API returned,
// `Ref::borrow` adds a reference to a borrowed pointer. No raw owned
// `PyObject*` lives past the statement that produced it; the only way out of a
// `Ref` is `release()`, used where the reference is handed to the interpreter.
//
// Helpers return an empty `Ref` when the C API failed; the Python exception is
// then already set, so callers only test and return.
//
// Dropping a reference can run Python code (a finalizer, a collection), and
// at exit the interpreter ends a daemon thread that runs Python code by
// unwinding its stack. So nothing that drops a reference is `noexcept`: the
// unwinding passes through instead of ending in std::terminate. While it
// passes, the thread no longer holds the GIL, and the references its frames
// own are left alone, as the interpreter's own C frames leave theirs.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <utility>

#include "compat.hpp"

namespace zavrik {

class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref&& other) {
    if (this != &other) {
      PyObject* old = p_;
      p_ = other.p_;
      other.p_ = nullptr;
      drop(old);
    }
    return *this;
  }
  ~Ref() noexcept(false) { drop(p_); }

  static Ref steal(PyObject* p) noexcept {
    Ref r;
    r.p_ = p;
    return r;
  }
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return steal(p);
  }
  static Ref none() noexcept { return borrow(Py_None); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void reset() { drop(std::exchange(p_, nullptr)); }

  // Whether this thread may touch the interpreter: only while it holds the
  // GIL, which it always does but while it is unwound at exit.
  static bool may_touch_interpreter() noexcept { return compat::holds_gil(); }

 private:
  static void drop(PyObject* p) {
    if (p && may_touch_interpreter()) Py_DECREF(p);
  }

  PyObject* p_ = nullptr;
};

// An answer that may not apply: no value, it does not apply (nothing was
// done, no exception is set); an empty `Ref`, it failed with an exception
// set; else the object.
using Maybe = std::optional<Ref>;

// obj.name
inline Ref attr(PyObject* obj, PyObject* name) {
  return Ref::steal(PyObject_GetAttr(obj, name));
}

// callable(*args) or callable(*args, **kw) with the keyword names in `kwnames`
// (a tuple of str naming the trailing entries of `args`).
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args,
                PyObject* kwnames = nullptr) {
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  Py_ssize_t npos = static_cast<Py_ssize_t>(args.size()) - nkw;
  return Ref::steal(PyObject_Vectorcall(
      callable, const_cast<PyObject* const*>(args.begin()),
      static_cast<size_t>(npos), kwnames));
}

// obj.name(*args): the attribute is fetched first, as Python's method call
// does, then called.
inline Ref call_method(PyObject* obj, PyObject* name,
                       std::initializer_list<PyObject*> args = {},
                       PyObject* kwnames = nullptr) {
  Ref bound = attr(obj, name);
  if (!bound) return {};
  return call(bound.get(), args, kwnames);
}

// Truth value as Python's `if`: 1, 0, or -1 with an exception set.
inline int truth(PyObject* obj) {
  if (obj == Py_True) return 1;
  if (obj == Py_False || obj == Py_None) return 0;
  return PyObject_IsTrue(obj);
}

// `a == b` used as a condition: the rich comparison, then its truth value.
inline int equals(PyObject* a, PyObject* b) {
  Ref r = Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
  return r ? truth(r.get()) : -1;
}

}  // namespace zavrik
