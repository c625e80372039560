// A sample's features as (name, value) items, read from Python objects the
// way a Python loop `for name, value in x.items()` reads them: any iterable
// of items, each item anything that unpacks into exactly two. Every reader of
// named samples goes through here; each says only what it does with a
// feature and how it words an item of the wrong length.
//
// The readers return false with an exception set when Python code raises
// (calling items(), iterating, unpacking) or when the caller's `each` returns
// false, which stops the reading. `each` gets borrowed references, held for
// the length of its call. It is taken by value (a caller's small lambda): the
// loops keep a copy in registers, where a reference may be read from memory
// at every item.
#pragma once

#include "bindings/convert.hpp"
#include "bindings/python.hpp"
#include "without_gil.hpp"

namespace drel::py {

// The value of a feature that is not a string, converted as a model converts
// a number: through __float__ or __index__, never by parsing text (bytes). A
// value with neither is refused with a TypeError that names the feature,
// after `who` (a prefix such as "FeatureHasher: ", or ""); what the value's
// own __float__ or __index__ raises is passed on as it is.
inline bool feature_number(PyObject* name, PyObject* value, const char* who, double& out) {
  RaisedBy raised_by;
  if (to_double(value, out, raised_by)) return true;
  if (raised_by != RaisedBy::Value) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "%sthe value of feature %R must be a real number or a string, not '%.200s'", who,
                 name, Py_TYPE(value)->tp_name);
  }
  return false;
}

// each(item) for every item of `iterable`, in order. Ctrl-C is answered on
// the way, as a Python loop answers it: an iterator of C code
// (itertools.repeat) runs no Python code that would, and may never end.
template <class Each>
bool for_each_item(PyObject* iterable, Each each) {
  SignalBudget signals;
  if (PyList_CheckExact(iterable)) {
    // What the list's iterator does, without it: the length is read anew at
    // each step, and each item is held while it is read.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); ++i) {
      Ref item = Ref::borrow(PyList_GET_ITEM(iterable, i));
      if (!each(item.get()) || !signals.spend(1)) return false;
    }
    return true;
  }
  Ref iterator = Ref::steal(PyObject_GetIter(iterable));
  if (!iterator) return false;
  while (Ref item = Ref::steal(PyIter_Next(iterator.get())))
    if (!each(item.get()) || !signals.spend(1)) return false;
  return !PyErr_Occurred();
}

// `item` unpacked into a tuple of two (a new reference); null with an
// exception set when it does not unpack, or holds another number of
// elements: a ValueError from `wrong_length`, a format of one %zd (the count).
// A tuple, list, str or bytes is counted whole; any other iterable is read as
// Python's unpacking reads it, no further than a third element, which is
// "too many values" (an endless iterator ends there too).
inline PyObject* unpacked_pair(PyObject* item, const char* wrong_length) {
  if (PyTuple_CheckExact(item) || PyList_CheckExact(item) || PyUnicode_CheckExact(item) ||
      PyBytes_CheckExact(item)) {
    Ref pair = Ref::steal(PySequence_Tuple(item));
    if (!pair) return nullptr;
    if (PyTuple_GET_SIZE(pair.get()) != 2) {
      PyErr_Format(PyExc_ValueError, wrong_length, PyTuple_GET_SIZE(pair.get()));
      return nullptr;
    }
    return pair.release();
  }
  Ref elements = Ref::steal(PyObject_GetIter(item));
  if (!elements) return nullptr;
  Ref taken[3];
  Py_ssize_t count = 0;
  while (count < 3) {
    taken[count] = Ref::steal(PyIter_Next(elements.get()));
    if (!taken[count]) break;
    ++count;
  }
  if (PyErr_Occurred()) return nullptr;
  if (count == 2) return PyTuple_Pack(2, taken[0].get(), taken[1].get());
  if (count == 3) {
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    return nullptr;
  }
  PyErr_Format(PyExc_ValueError, wrong_length, count);
  return nullptr;
}

// each(name, value) for every item of `iterable`, each unpacked as
// unpacked_pair does it.
template <class Each>
bool for_each_pair(PyObject* iterable, const char* wrong_length, Each each) {
  return for_each_item(iterable, [each, wrong_length](PyObject* item) {
    // The common item, an exact tuple of two: the caller holds it, and with
    // it its elements.
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) [[likely]]
      return each(PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1));
    Ref pair = Ref::steal(unpacked_pair(item, wrong_length));
    return pair && each(PyTuple_GET_ITEM(pair.get(), 0), PyTuple_GET_ITEM(pair.get(), 1));
  });
}

// sample.items(), a new reference; null with an exception set.
inline Ref items_of(PyObject* sample) {
  return Ref::steal(PyObject_CallMethod(sample, "items", nullptr));
}

// each(name, value) for every item of sample.items().
template <class Each>
bool for_each_named_value(PyObject* sample, const char* wrong_length, Each each) {
  Ref items = items_of(sample);
  return items && for_each_pair(items.get(), wrong_length, each);
}

}  // namespace drel::py
