// The frame of the readers: one object of several accepted drel_ml classes, read
// under its shared borrow. The reader copies what it needs while the borrow is
// held; the Python result is built after the borrow is released.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "bindings/borrow.hpp"
#include "bound_classes.hpp"
#include "bindings/guard.hpp"
#include "bindings/python.hpp"
#include "instance_arg.hpp"

namespace drel::py {

// "intercept() takes a LinearRegression, ..., not 'Mean'"
inline void raise_not_accepted(PyObject* o, const char* function, const char* accepted,
                               bool taken_class) {
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(o)));
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "%s takes %s, not '%U'%s", function, accepted, name.get(),
               class_itself_note(o, taken_class).c_str());
}

// Reader has `function` and `accepted` texts and an operator() per accepted
// class, returning a copy; Convert turns that copy into a new Python object.
template <class Reader, class Core, class Convert>
bool read_one(PyObject* o, Convert& convert, PyObject*& result) {
  auto* instance = exact_instance<Core>(o);
  if (instance == nullptr) return false;
  using Copy = decltype(Reader{}(instance->value));
  std::optional<Copy> copy;
  {
    Borrow<Access::Shared> borrow(instance->borrow);
    if (borrow) copy.emplace(Reader{}(instance->value));
  }
  result = copy ? convert(std::move(*copy)) : nullptr;
  return true;
}

template <class Reader, class... Cores, class Convert>
PyObject* read_shared(PyObject* o, Convert convert) {
  return guarded([&]() -> PyObject* {
    PyObject* result = nullptr;
    if (!(read_one<Reader, Cores>(o, convert, result) || ...))
      raise_not_accepted(o, Reader::function, Reader::accepted,
                         ((o == reinterpret_cast<PyObject*>(class_object<Cores>())) || ...));
    return result;
  });
}

}  // namespace drel::py
