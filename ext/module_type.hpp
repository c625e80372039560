// A class of the companion module defined by a PyType_Spec.
#pragma once

#include "bindings/python.hpp"

namespace drel::py {

// Creates the heap type of `spec` for `module` and adds it to the module as
// `name`. The type, which the module keeps alive, or nullptr with an
// exception set.
inline PyTypeObject* add_module_type(PyObject* module, PyType_Spec& spec, const char* name) {
  Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &spec, nullptr));
  if (!type || PyModule_AddObjectRef(module, name, type.get()) != 0) return nullptr;
  return reinterpret_cast<PyTypeObject*>(type.get());
}

}  // namespace drel::py
