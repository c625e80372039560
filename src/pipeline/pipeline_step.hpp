// The fast form of a pipeline's learning step and prediction (see
// common/step_outcome.hpp), shared by its one-sample operations and the bulk
// loops: the scaler's Welford pass writes the scaled features straight into
// `scaled` (feature_count doubles), which the model's step reads.
#pragma once

#include <span>

#include "common/step_outcome.hpp"
#include "linear/learn_step.hpp"
#include "linear/linear_regression.hpp"
#include "linear/logistic_regression.hpp"
#include "preprocessing/scaler_step.hpp"

namespace drel {

// `validated`: the scaler state is known to be valid (InPlace requires it).
// CheckThenWrite checks the scaler, then the model; only when both pass does
// it write the model and then the scaler (whose pass cannot fail a second
// time). Any doubt defers to the checked form, which commits the scaler on its
// own when the model rejects the sample, as a pipeline does.
template <Commit kCommit, class Pipeline, class Target>
[[gnu::always_inline]] inline StepOutcome pipeline_step(Pipeline& p, std::span<const double> x,
                                                        Target y, double* scaled,
                                                        bool validated) {
  StandardScalerState& s = p.transformer;
  if (!fit_ready(s, x.size(), validated)) [[unlikely]] return StepOutcome::Defer;
  const std::span<const double> z{scaled, x.size()};
  if constexpr (kCommit == Commit::CheckThenWrite) {
    if (!scaler_fit_pass<false, true, true>(s, x.data(), scaled)) [[unlikely]]
      return StepOutcome::Defer;
    const StepOutcome model = learn_step<Commit::CheckThenWrite>(p.model, z, y);
    if (model != StepOutcome::Done) [[unlikely]] return model;
    (void)scaler_fit_pass<true, false, false>(s, x.data(), nullptr);
    return StepOutcome::Done;
  } else {
    if (!scaler_fit_pass<true, false, true>(s, x.data(), scaled)) [[unlikely]]
      return StepOutcome::Spoiled;
    if (learn_step<Commit::InPlace>(p.model, z, y) != StepOutcome::Done) [[unlikely]]
      return StepOutcome::Spoiled;
    return StepOutcome::Done;
  }
}

// The model's output for x scaled into `scaled`, if every check passes.
template <class Pipeline>
[[gnu::always_inline]] inline bool pipeline_output(const Pipeline& p, std::span<const double> x,
                                                   double* scaled, double& out) {
  return transform_ready(p.transformer, x.size()) &&
         transform_pass(p.transformer, x.data(), scaled) &&
         fast_output(p.model, std::span<const double>{scaled, x.size()}, out);
}

}  // namespace drel
