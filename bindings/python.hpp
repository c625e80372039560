// The one include of the interpreter's API, plus the few calls that 3.11 lacks.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace drel::py {

#if PY_VERSION_HEX >= 0x030C0000
inline PyObject* take_raised_exception() { return PyErr_GetRaisedException(); }
inline void restore_raised_exception(PyObject* exc) { PyErr_SetRaisedException(exc); }
inline void display_exception(PyObject* exc) { PyErr_DisplayException(exc); }
#else
// 3.11: the same single-object view of the pending exception, from the
// (type, value, traceback) triple.
inline PyObject* take_raised_exception() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
}
// Steals `exc`.
inline void restore_raised_exception(PyObject* exc) {
  if (exc == nullptr) {
    PyErr_Clear();
    return;
  }
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
  PyErr_Restore(type, exc, PyException_GetTraceback(exc));
}
inline void display_exception(PyObject* exc) {
  PyObject* traceback = PyException_GetTraceback(exc);
  PyErr_Display(nullptr, exc, traceback);
  Py_XDECREF(traceback);
}
#endif

// Owns one strong reference.
class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* o) { return Ref(o); }
  static Ref borrow(PyObject* o) { return Ref(Py_XNewRef(o)); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref old(std::move(*this));
    object_ = other.release();
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  PyObject* release() {
    PyObject* o = object_;
    object_ = nullptr;
    return o;
  }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* o) : object_(o) {}
  PyObject* object_ = nullptr;
};

}  // namespace drel::py
