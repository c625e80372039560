#include "bulk_items.hpp"

namespace drel::py {

bool ItemSource::open(PyObject* o) {
  if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
    object_ = Ref::borrow(o);
    known_length_ = static_cast<std::size_t>(Py_SIZE(o));
    return true;
  }
  iterator_ = Ref::steal(PyObject_GetIter(o));
  return static_cast<bool>(iterator_);
}

Fetched ItemSource::next(Ref& item) {
  if (iterator_) {
    item = Ref::steal(PyIter_Next(iterator_.get()));
    if (item) return Fetched::Item;
    return PyErr_Occurred() ? Fetched::Failed : Fetched::End;
  }
  PyObject* o = object_.get();
  if (PyList_CheckExact(o)) {
    if (index_ >= PyList_GET_SIZE(o)) return Fetched::End;
    item = Ref::borrow(PyList_GET_ITEM(o, index_++));
  } else {
    if (index_ >= PyTuple_GET_SIZE(o)) return Fetched::End;
    item = Ref::borrow(PyTuple_GET_ITEM(o, index_++));
  }
  return Fetched::Item;
}

}  // namespace drel::py
