// Loss records held by the models. Only gradients with respect to the model's
// raw output are ever computed; the caller checks them. Inline: every learning
// step computes one.
#pragma once

#include <cmath>
#include <variant>

#include "common/visit.hpp"

namespace drel {

struct HuberLoss {
  double delta = 1.0;

  // Ordered comparison: |r| == delta keeps r, and a NaN delta falls through to NaN.
  double gradient(double residual) const {
    if (delta >= std::fabs(residual)) return residual;
    return delta * std::copysign(1.0, residual);
  }
};

struct SquaredError {
  double gradient(double residual) const { return residual; }
};

struct RegressionLoss {
  std::variant<SquaredError, HuberLoss> variant;

  // prediction and target are finite. Never fails.
  double gradient(double prediction, double target) const {
    const double residual = prediction - target;
    return visit_in_order(variant, [residual](const auto& loss) __attribute__((always_inline)) {
      return loss.gradient(residual);
    });
  }
};

struct BinaryLogLoss {
  double epsilon = 1e-15;  // stored and written only; the gradient needs no clamp

  double gradient(double probability, bool target) const {
    const double t = target ? 1.0 : 0.0;
    return probability - t;
  }
};

}  // namespace drel
