// drel_ml_ext.FeatureHasher: the core's hashing trick as a class of the
// companion extension. Names and values are read from Python objects, so the
// whole call holds the interpreter lock.
#pragma once

#include "bindings/python.hpp"
#include "features/feature_hasher.hpp"
#include "hashed_samples.hpp"

namespace drel::py {

// The core hasher and input type of a FeatureHasher of this module (kept by
// `o`); null with TypeError set when `o` is anything else.
struct HasherSettings {
  const features::FeatureHasher* hasher;
  InputType input_type;
};
const HasherSettings* hasher_settings(PyObject* o);

// Adds the class to the module; -1 with an exception set on failure.
int add_feature_hasher(PyObject* module);

}  // namespace drel::py
