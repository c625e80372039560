// The last sample a HashedSteps hashed, recognised when it comes again: river's
// progressive validation predicts on a dict and then learns from the same dict,
// and the second hashing would cost as much as the first.
//
// A sample is recognised by identity, item by item: an exact dict at the same
// address holding the same name and value objects in the same order. It is
// remembered only when every name is an exact str and every value an exact
// str, float, int or bool, which nothing can change in place, so the same
// objects make the same row. Those objects are held meanwhile (none of them
// can be freed and its address taken by another), until another sample
// replaces them. The dict itself is not held: it may come to hold the steps
// (or what holds them), a cycle that nothing would collect, and another dict
// at its address holding the same objects makes the same row.
#pragma once

#include <cstddef>
#include <vector>

#include "bindings/python.hpp"

namespace drel::py {

class LastSample {
 public:
  bool holds(PyObject* x) const {
    if (x != dict_ || !PyDict_CheckExact(x) ||
        PyDict_GET_SIZE(x) != static_cast<Py_ssize_t>(items_.size() / 2))
      return false;
    Py_ssize_t position = 0;
    PyObject* name;
    PyObject* value;
    for (std::size_t i = 0; PyDict_Next(x, &position, &name, &value); i += 2)
      if (name != items_[i].get() || value != items_[i + 1].get()) return false;
    return true;
  }

  // Remembers x when it is a plain dict (see above), else forgets.
  void remember(PyObject* x) {
    forget();
    if (!PyDict_CheckExact(x)) return;
    Py_ssize_t position = 0;
    PyObject* name;
    PyObject* value;
    while (PyDict_Next(x, &position, &name, &value)) {
      if (!PyUnicode_CheckExact(name) || !plain_value(value)) {
        forget();
        return;
      }
      items_.push_back(Ref::borrow(name));
      items_.push_back(Ref::borrow(value));
    }
    dict_ = x;
  }

  // Releasing plain objects runs no Python code.
  void forget() {
    dict_ = nullptr;
    items_.clear();
  }

 private:
  static bool plain_value(PyObject* v) {
    return PyUnicode_CheckExact(v) || PyFloat_CheckExact(v) || PyLong_CheckExact(v) ||
           PyBool_Check(v);
  }

  const PyObject* dict_ = nullptr;  // its address, compared only
  std::vector<Ref> items_;          // name, value, name, value, ...
};

}  // namespace drel::py
