#include "loss/loss.hpp"

#include <cmath>

namespace drel {
namespace {

struct RegressionGradient {
  double residual;

  double operator()(const SquaredError&) const { return residual; }
  // Ordered comparison: |r| == delta keeps r, and a NaN delta falls through to NaN.
  double operator()(const HuberLoss& huber) const {
    if (huber.delta >= std::fabs(residual)) return residual;
    return huber.delta * std::copysign(1.0, residual);
  }
};

}  // namespace

double RegressionLoss::gradient(double prediction, double target) const {
  return std::visit(RegressionGradient{prediction - target}, variant);
}

double BinaryLogLoss::gradient(double probability, bool target) const {
  const double t = target ? 1.0 : 0.0;
  return probability - t;
}

}  // namespace drel
