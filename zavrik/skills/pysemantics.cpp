// Python's statements and built-ins the bodies stand for (see the header).
#include "pysemantics.hpp"

#include "compat.hpp"

namespace zavrik {

int except_matches(PyObject* exc, PyObject* clause) {
  bool classes = true;
  if (PyTuple_Check(clause)) {
    for (Py_ssize_t i = 0; classes && i < PyTuple_GET_SIZE(clause); ++i)
      classes = PyExceptionClass_Check(PyTuple_GET_ITEM(clause, i));
  } else {
    classes = PyExceptionClass_Check(clause);
  }
  if (!classes) {
    PyErr_SetString(PyExc_TypeError,
                    "catching classes that do not inherit from BaseException is "
                    "not allowed");
    return -1;
  }
  return PyErr_GivenExceptionMatches(exc, clause);
}

Ref new_exception(PyObject* cls, PyObject* message) {
  Ref error = call(cls, {message});
  if (error && !PyExceptionInstance_Check(error.get())) {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    return {};
  }
  return error;
}

PyObject* raise_instance(PyObject* exc) {
  // PyErr_SetObject, not PyErr_SetRaisedException: `raise` chains the new
  // exception to the one being handled, and so does this.
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
  return nullptr;
}

PyObject* raise_new(PyObject* cls, PyObject* message) {
  Ref error = new_exception(cls, message);
  return error ? raise_instance(error.get()) : nullptr;
}

PyObject* raise_from(Ref error, Ref cause) {
  PyException_SetCause(error.get(), Py_NewRef(cause.get()));
  raise_instance(error.get());
  // Raising chained `error` to whatever the caller was handling; inside
  // the `except` block that caught `cause` the context is `cause`.
  PyException_SetContext(error.get(), cause.release());
  return nullptr;
}

Ref take_exception() { return Ref::steal(compat::take_raised_exception()); }

void reraise(Ref exc) { compat::set_raised_exception(exc.release()); }

void chain_context(Ref context) {
  Ref current = take_exception();
  if (!current) return;
  PyException_SetContext(current.get(), context.release());
  reraise(std::move(current));
}

Maybe fspath_of(PyObject* obj) {
  if (PyUnicode_Check(obj) || PyBytes_Check(obj)) return Ref::borrow(obj);
  // os.fspath looks the method up on the type, as every special method.
  Ref name = Ref::steal(PyUnicode_InternFromString("__fspath__"));
  if (!name) return Ref();
  PyTypeObject* type = Py_TYPE(obj);
  PyObject* method = compat::type_lookup(type, name.get());
  if (!method || method == Py_None) return std::nullopt;
  descrgetfunc get = Py_TYPE(method)->tp_descr_get;
  Ref bound = get ? Ref::steal(get(method, obj, reinterpret_cast<PyObject*>(type)))
                  : Ref::borrow(method);
  if (!bound) return Ref();
  Ref result = call(bound.get(), {});
  if (!result) return Ref();
  if (!PyUnicode_Check(result.get()) && !PyBytes_Check(result.get())) return std::nullopt;
  return result;
}

Ref format_concat(PyObject* left, PyObject* right) {
  if (!left || !right) return {};  // a failed argument: its error is set
  Ref empty = Ref::steal(PyUnicode_FromStringAndSize(nullptr, 0));
  if (!empty) return {};
  Ref a = Ref::steal(PyObject_Format(left, empty.get()));
  if (!a) return {};
  Ref b = Ref::steal(PyObject_Format(right, empty.get()));
  if (!b) return {};
  return Ref::steal(PyUnicode_Concat(a.get(), b.get()));
}

Ref fsencode(PyObject* fspath) {
  Ref bytes = PyBytes_Check(fspath) ? Ref::borrow(fspath)
                                    : Ref::steal(PyUnicode_EncodeFSDefault(fspath));
  if (!bytes) return {};
  if (std::strlen(PyBytes_AS_STRING(bytes.get())) !=
      static_cast<size_t>(PyBytes_GET_SIZE(bytes.get()))) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return {};
  }
  return bytes;
}

Maybe fsencode_or_refused(PyObject* fspath) {
  Ref bytes = fsencode(fspath);
  if (bytes || !PyErr_ExceptionMatches(PyExc_ValueError)) return bytes;
  PyErr_Clear();
  return std::nullopt;
}

}  // namespace zavrik
