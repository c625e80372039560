// drel_ml_ext._native.HashedSteps: a bare linear model's one-sample calls on
// a sample hashed by a FeatureHasher, reading the row's non-zeros only.
//
// learn_one(model, x, y), predict_one(model, x) and predict_proba_one(model, x)
// give what the model's own call on hasher.transform_one(x) gives, bit for bit,
// errors included, and change nothing when they fail. The hashed row never
// becomes dense unless the model's state needs every column (see
// linear/sparse_one.hpp), in which case the model's own dense call runs.
#pragma once

#include "bindings/python.hpp"

namespace drel::py {

// Adds the class to the module; -1 with an exception set on failure.
int add_hashed_steps(PyObject* module);

}  // namespace drel::py
