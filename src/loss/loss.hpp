// Loss records held by the models. Only gradients with respect to the model's
// raw output are ever computed; the caller checks them.
#pragma once

#include <variant>

namespace drel {

struct HuberLoss {
  double delta = 1.0;
};

struct SquaredError {};

struct RegressionLoss {
  std::variant<SquaredError, HuberLoss> variant;

  // prediction and target are finite. Never fails.
  double gradient(double prediction, double target) const;
};

struct BinaryLogLoss {
  double epsilon = 1e-15;  // stored and written only; the gradient needs no clamp

  double gradient(double probability, bool target) const;
};

}  // namespace drel
