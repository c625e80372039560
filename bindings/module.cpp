// Module definition: multi-phase initialisation with a single exec slot that
// registers the classes of classes.hpp and `__all__`.
#include <array>
#include <string>

#include "bindings/classes.hpp"
#include "bindings/guard.hpp"
#include "bindings/once.hpp"
#include "bindings/python.hpp"

namespace drel::py {
namespace {

OnceObject all_name_cell;

struct ClassEntry {
  const char* name;
  PyTypeObject* (*get)();
};

// The stateful classes in list order, then Snapshot.
template <class... Cores>
constexpr std::array<ClassEntry, sizeof...(Cores) + 1> class_table(TypeList<Cores...>) {
  return {{{name_in_module<Cores>(), &class_object<Cores>}..., {"Snapshot", &snapshot_class_object}}};
}

constexpr auto kClasses = class_table(StatefulClasses{});

// The module's `__all__` list, created when absent; null with an exception set.
Ref all_list(PyObject* module) {
  PyObject* key = all_name_cell.get([] { return PyUnicode_InternFromString("__all__"); });
  if (key == nullptr) return {};
  Ref all = Ref::steal(PyObject_GetAttr(module, key));
  if (all) {
    if (PyList_Check(all.get())) return all;
    PyErr_SetString(PyExc_TypeError, "`__all__` must be a list");
    return {};
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
  PyErr_Clear();
  all = Ref::steal(PyList_New(0));
  if (!all || PyObject_SetAttr(module, key, all.get()) != 0) return {};
  return all;
}

int register_class(PyObject* module, const ClassEntry& entry) {
  PyTypeObject* type = entry.get();
  if (type == nullptr) return -1;
  Ref all = all_list(module);
  if (!all) return -1;
  Ref name = Ref::steal(PyUnicode_FromString(entry.name));
  if (!name) return -1;
  if (PyList_Append(all.get(), name.get()) != 0) {
    PyErr_Clear();
    throw InternalFault(std::string("could not append __name__ to __all__: ") + entry.name);
  }
  return PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(type));
}

int exec_module(PyObject* module) {
  return guarded([module]() -> int {
    for (const ClassEntry& entry : kClasses) {
      if (register_class(module, entry) != 0) return -1;
    }
    return 0;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "drel_ml",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace drel::py

PyMODINIT_FUNC PyInit_drel_ml() { return PyModuleDef_Init(&drel::py::module_def); }
