// The Python object around one core value, and the creation of class objects.
#pragma once

#include <new>
#include <utility>

#include "bindings/borrow.hpp"
#include "bindings/once.hpp"
#include "bindings/python.hpp"

namespace drel::py {

// Header, then the core value, then the borrow flag.
template <class Core>
struct Instance {
  PyObject_HEAD
  Core value;
  BorrowFlag borrow;
};

template <class Core>
Instance<Core>* instance_of(PyObject* self) {
  return reinterpret_cast<Instance<Core>*>(self);
}

// Allocates through the type's own allocation function and moves the core in.
template <class Core>
PyObject* make_instance(PyTypeObject* type, Core&& core) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  auto* instance = instance_of<Core>(self);
  new (&instance->value) Core(std::move(core));
  new (&instance->borrow) BorrowFlag();
  return self;
}

template <class Core>
void dealloc_instance(PyObject* self) {
  auto* instance = instance_of<Core>(self);
  PyTypeObject* type = Py_TYPE(self);
  instance->value.~Core();
  instance->borrow.~BorrowFlag();
  type->tp_free(self);
  Py_DECREF(type);
}

struct ClassSpec {
  const char* name;  // "builtins.X": __module__ is builtins
  const char* doc;   // begins with the text-signature line
  Py_ssize_t basic_size;
  newfunc constructor;  // null: cannot be instantiated
  destructor dealloc;   // null: no instances
  PyMethodDef* methods;
  PyGetSetDef* properties;  // may be null
};

// Not subclassable, no __dict__, no weakrefs, no GC. A new reference or null.
PyObject* create_class(const ClassSpec& spec);

// The class object of each core value's Python class (borrowed; null with an
// exception set on failure). Each extension defines it: see classes.hpp.
template <class Core>
PyTypeObject* class_object();

// The class of Core's instances, kept in `cell` once created.
template <class Core>
PyTypeObject* class_in_cell(OnceObject& cell, const char* name, const char* doc,
                            newfunc constructor, PyMethodDef* methods, PyGetSetDef* properties) {
  return reinterpret_cast<PyTypeObject*>(cell.get([&] {
    return create_class(ClassSpec{name, doc, static_cast<Py_ssize_t>(sizeof(Instance<Core>)),
                                  constructor, &dealloc_instance<Core>, methods, properties});
  }));
}

}  // namespace drel::py
