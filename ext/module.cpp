// drel_ml_ext._native: the companion extension. Its functions work on genuine
// drel_ml instances through the same instance layout, call frame and
// conversions as drel_ml itself, and create objects only through drel_ml's
// class objects.
#include <vector>

#include "bound_classes.hpp"
#include "bindings/guard.hpp"
#include "feature_hasher.hpp"
#include "hashed_steps.hpp"
#include "metric_units.hpp"
#include "named_columns.hpp"
#include "units.hpp"

namespace drel::py {
namespace {

// The module's function table, gathered from the units once; it must outlive
// the module, so it lives as long as the process.
PyMethodDef* function_table() {
  static std::vector<PyMethodDef> table = [] {
    std::vector<PyMethodDef> all;
    for (auto unit : {bulk_functions(), merge_functions(), config_functions(),
                      progressive_functions(), progressive_by_key_functions(),
                      state_bytes_functions(), bulk_by_key_functions(),
                      record_key_functions()})
      all.insert(all.end(), unit.begin(), unit.end());
    all.push_back({nullptr, nullptr, 0, nullptr});
    return all;
  }();
  return table.data();
}

int exec_module(PyObject* module) {
  return guarded([module]() -> int {
    if (bind_drel_ml_classes() != 0 || add_metric_classes(module) != 0) return -1;
    if (add_feature_hasher(module) != 0 || add_named_columns(module) != 0 ||
        add_hashed_steps(module) != 0)
      return -1;
    return PyModule_AddFunctions(module, function_table());
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "drel_ml_ext._native",
    "Native helpers of drel_ml_ext; use the functions drel_ml_ext exports.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace drel::py

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&drel::py::module_def); }
