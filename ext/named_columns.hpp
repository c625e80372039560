// drel_ml_ext._native.NamedColumns: a dict sample as the row of a model whose
// columns are a fixed list of names (river's adapters), read in one call.
#pragma once

#include "bindings/python.hpp"

namespace drel::py {

// Adds the class to the module; -1 with an exception set on failure.
int add_named_columns(PyObject* module);

}  // namespace drel::py
