#include "bound_classes.hpp"

#include <string>

namespace drel::py {
namespace {

// Strong references, set once by bind_drel_ml_classes and never released: the
// classes of drel_ml live as long as the process does.
template <class Core>
PyTypeObject* bound_class = nullptr;

template <class Core>
int bind_one(PyObject* module) {
  constexpr const char* name = name_in_module<Core>();
  Ref attr = Ref::steal(PyObject_GetAttrString(module, name));
  if (!attr) return -1;
  if (!PyType_Check(attr.get())) {
    PyErr_Format(PyExc_ImportError, "drel_ml.%s is not a class", name);
    return -1;
  }
  auto* type = reinterpret_cast<PyTypeObject*>(attr.get());
  const auto expected = static_cast<Py_ssize_t>(sizeof(Instance<Core>));
  if (type->tp_basicsize != expected) {
    PyErr_Format(PyExc_ImportError,
                 "drel_ml_ext does not match the installed drel_ml: its %s instances are %zd "
                 "bytes, this build expects %zd; reinstall both from one distribution",
                 name, type->tp_basicsize, expected);
    return -1;
  }
  if (bound_class<Core> == nullptr) bound_class<Core> = reinterpret_cast<PyTypeObject*>(attr.release());
  return 0;
}

template <class... Cores>
int bind_all(PyObject* module, TypeList<Cores...>) {
  return ((bind_one<Cores>(module) == 0) && ...) ? 0 : -1;
}

}  // namespace

int bind_drel_ml_classes() {
  Ref module = Ref::steal(PyImport_ImportModule("drel_ml"));
  if (!module) return -1;
  return bind_all(module.get(), StatefulClasses{});
}

// Objects this extension creates are instances of drel_ml's own classes.
#define DREL_BOUND_CLASS_OBJECT_(Core, Name) \
  template <>                          \
  PyTypeObject* class_object<Core>() { \
    return bound_class<Core>;          \
  }
DREL_STATEFUL_CLASSES(DREL_BOUND_CLASS_OBJECT_)
#undef DREL_BOUND_CLASS_OBJECT_

}  // namespace drel::py
