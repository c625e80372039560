// The readers of drel_ml_ext: what drel_ml's classes keep hidden (the intercept,
// the feature count, the optimizer's, loss's and scaler's settings, a pipeline's
// two stages), each read under the object's shared borrow.
#pragma once

#include <span>

#include "bindings/python.hpp"

namespace drel::py {

std::span<const PyMethodDef> config_readers();

}  // namespace drel::py
