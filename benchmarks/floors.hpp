// The floors of the one-sample calls (benchmarks/floors.cpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Adds the Floor class and native_ns() to the baseline module; -1 on failure.
int add_floors(PyObject* module);
