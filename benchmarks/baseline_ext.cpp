// drel_bench_baseline: the floor that the benchmarks compare drel_ml against.
//
// Each function does only what any native method with the same argument must
// do: enter through a vector call, convert its argument to C++ values, and
// return None. Whatever drel_ml spends beyond that is its own overhead (the
// argument descriptor, the borrow flag, the fault guard and the core's work).
//
// The floors of the one-sample calls (same conversion and arithmetic, nothing
// else) live in floors.cpp.
//
// Built only for the benchmarks (DREL_BUILD_BENCH_EXT); never installed.
#include <vector>

#include "floors.hpp"

namespace {

// Keeps the compiler from discarding a value the baseline pretends to use.
template <class T>
inline void keep(const T& value) {
  asm volatile("" : : "g"(&value) : "memory");
}

bool expect_one_argument(const char* name, Py_ssize_t nargs) {
  if (nargs == 1) [[likely]] return true;
  PyErr_Format(PyExc_TypeError, "%s() takes exactly one argument (%zd given)", name, nargs);
  return false;
}

// noop_float(x): x converted to a double, then dropped.
PyObject* noop_float(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!expect_one_argument("noop_float", nargs)) return nullptr;
  const double x = PyFloat_AsDouble(args[0]);
  if (x == -1.0 && PyErr_Occurred()) return nullptr;
  keep(x);
  Py_RETURN_NONE;
}

// convert_list(x): a list of floats copied into a std::vector<double> sized
// once, then dropped.
PyObject* convert_list(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!expect_one_argument("convert_list", nargs)) return nullptr;
  PyObject* list = args[0];
  if (!PyList_Check(list)) {
    PyErr_SetString(PyExc_TypeError, "convert_list() expects a list");
    return nullptr;
  }
  const Py_ssize_t n = PyList_GET_SIZE(list);
  std::vector<double> values;
  values.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    const double v = PyFloat_AsDouble(PyList_GET_ITEM(list, i));
    if (v == -1.0 && PyErr_Occurred()) return nullptr;
    values.push_back(v);
  }
  keep(values.data());
  Py_RETURN_NONE;
}

// Entered the way drel_ml's members are: as methods of an instance.
PyMethodDef methods[] = {
    {"noop_float", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&noop_float)),
     METH_FASTCALL, "noop_float($self, x, /)\n--\n\nConvert x to a double and return None."},
    {"convert_list", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&convert_list)),
     METH_FASTCALL,
     "convert_list($self, x, /)\n--\n\nConvert a list of floats to a vector of doubles and "
     "return None."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot baseline_slots[] = {
    {Py_tp_doc, const_cast<char*>("Baseline()\n--\n\nDo-nothing native methods.")},
    {Py_tp_methods, methods},
    {Py_tp_new, reinterpret_cast<void*>(&PyType_GenericNew)},
    {0, nullptr},
};

PyType_Spec baseline_spec = {"drel_bench_baseline.Baseline", 0, 0, Py_TPFLAGS_DEFAULT,
                             baseline_slots};

int exec_module(PyObject* module) {
  PyObject* type = PyType_FromSpec(&baseline_spec);
  if (type == nullptr) return -1;
  const int status = PyModule_AddObjectRef(module, "Baseline", type);
  Py_DECREF(type);
  return status != 0 ? status : add_floors(module);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "drel_bench_baseline",
    "Do-nothing native methods: the baselines of the drel_ml benchmarks.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_drel_bench_baseline() { return PyModuleDef_Init(&module_def); }
