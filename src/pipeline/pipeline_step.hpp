// The fast form of a pipeline's learning step and prediction (see
// common/step_outcome.hpp), shared by its one-sample operations and the bulk
// loops: the scaler's Welford pass writes the scaled features straight into
// scratch, which the model's step reads.
#pragma once

#include <span>

#include "common/step_outcome.hpp"
#include "linear/learn_step.hpp"
#include "linear/linear_regression.hpp"
#include "linear/logistic_regression.hpp"
#include "preprocessing/scaler_step.hpp"

namespace drel {

// `validated`: the scaler state is known to be valid (InPlace requires it).
// `scaling`: the scaler's, read once by the caller. `scratch` holds
// feature_count doubles for InPlace, three times as many for CheckThenWrite.
//
// CheckThenWrite runs the scaler's trial (its new statistics in place, the
// old ones saved in scratch), then the model's step, which writes only when
// every check passes; the scaler's statistics are put back unless the model
// took the sample too. Nothing else can read the pipeline meanwhile. Any
// doubt defers to the checked form, which commits the scaler on its own when
// the model rejects the sample, as a pipeline does.
template <Commit kCommit, class Pipeline, class Target>
[[gnu::always_inline]] inline StepOutcome pipeline_step(Pipeline& p, std::span<const double> x,
                                                        Target y, double* scratch,
                                                        bool validated, Scaling scaling) {
  StandardScalerState& s = p.transformer;
  if (!fit_ready(s, x.size(), validated)) [[unlikely]] return StepOutcome::Defer;
  double* const scaled = scratch;
  const std::span<const double> z{scaled, x.size()};
  if constexpr (kCommit == Commit::CheckThenWrite) {
    double* const saved = scratch + x.size();
    if (!scaler_fit_pass<FitPass::TrialAndScale>(s, x.data(), scaled, saved, scaling))
        [[unlikely]]
      return StepOutcome::Defer;
    const StepOutcome model = learn_step<Commit::CheckThenWrite>(p.model, z, y);
    if (model != StepOutcome::Done) [[unlikely]] {
      undo_fit(s, saved);
      return model;
    }
    confirm_fit(s);
    return StepOutcome::Done;
  } else {
    if (!scaler_fit_pass<FitPass::WriteAndScale>(s, x.data(), scaled, nullptr, scaling))
        [[unlikely]]
      return StepOutcome::Spoiled;
    if (learn_step<Commit::InPlace>(p.model, z, y) != StepOutcome::Done) [[unlikely]]
      return StepOutcome::Spoiled;
    return StepOutcome::Done;
  }
}

// The model's output for x scaled by `plan` (the pipeline's scaler's) into
// `scaled`, if every check passes.
template <class Pipeline>
[[gnu::always_inline]] inline bool pipeline_output(const Pipeline& p, const ScalePlan& plan,
                                                   std::span<const double> x, double* scaled,
                                                   double& out) {
  return plan.apply(x, scaled) &&
         fast_output(p.model, std::span<const double>{scaled, x.size()}, out);
}

}  // namespace drel
