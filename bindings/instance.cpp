#include "bindings/instance.hpp"

#include <array>

namespace drel::py {

PyObject* create_class(const ClassSpec& spec) {
  std::array<PyType_Slot, 6> slots{};
  std::size_t n = 0;
  slots[n++] = {Py_tp_doc, const_cast<char*>(spec.doc)};
  slots[n++] = {Py_tp_methods, spec.methods};
  if (spec.properties != nullptr) slots[n++] = {Py_tp_getset, spec.properties};
  if (spec.constructor != nullptr) slots[n++] = {Py_tp_new, reinterpret_cast<void*>(spec.constructor)};
  if (spec.dealloc != nullptr) slots[n++] = {Py_tp_dealloc, reinterpret_cast<void*>(spec.dealloc)};
  slots[n] = {0, nullptr};

  unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
  if (spec.constructor == nullptr) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
  PyType_Spec type_spec{spec.name, static_cast<int>(spec.basic_size), 0, flags, slots.data()};
  return PyType_FromSpec(&type_spec);
}

}  // namespace drel::py
