// drel_ml's own class objects, as the companion extension sees them: taken from
// the imported `drel_ml` module once, checked against the instance layout this
// extension was compiled for, and kept for the life of the process. Why the
// two extensions may both define class_object<Core>: bindings/classes.hpp.
#pragma once

#include "bindings/classes.hpp"  // drel_ml's class_object<Core> declarations
#include "bindings/instance.hpp"
#include "bindings/python.hpp"

namespace drel::py {

// Imports drel_ml and binds every class; -1 with ImportError set when a class
// is missing or its instances are laid out differently from this build's.
int bind_drel_ml_classes();

// The instance behind `o` when its type is exactly Core's class, else null.
// No subclass can exist (the classes are final), so an exact check is the check.
template <class Core>
Instance<Core>* exact_instance(PyObject* o) {
  return Py_IS_TYPE(o, class_object<Core>()) ? instance_of<Core>(o) : nullptr;
}

}  // namespace drel::py
