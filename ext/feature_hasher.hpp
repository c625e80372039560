// drel_ml_ext.FeatureHasher: the core's hashing trick as a class of the
// companion extension. Names and values are read from Python objects, so the
// whole call holds the interpreter lock.
#pragma once

#include "bindings/python.hpp"

namespace drel::py {

// Adds the class to the module; -1 with an exception set on failure.
int add_feature_hasher(PyObject* module);

}  // namespace drel::py
