// Merging the states of two objects of one kind that learned from different
// parts of a stream (different partitions, workers or machines) into one new
// state. The inputs are never changed.
//
// Statistics (Mean, Variance, StandardScaler) combine exactly as if one object
// had seen both streams: counts add, means are count-weighted, and the sums of
// squared deviations combine by the parallel update (Chan, Golub and LeVeque).
// Merging with an empty state gives the other state bit for bit.
//
// Linear models are averaged, each side weighted by the samples it learned:
// weights, intercept and AdaGrad accumulators alike. A pipeline merges its
// scaler as a statistic and its model as a model.
//
// merge_from(start, a, b) is the form for training rounds: a and b are copies
// of the common `start` that each learned more. The sides are weighted by what
// they learned since `start`, counters become start's plus both increments,
// and statistics absorb only what b added to `start` (so `start` is counted
// once). A side that learned nothing since `start` contributes nothing: when
// one side learned nothing, the parameters are the other side's, bit for bit;
// when neither did, they are a's. Without a start, samples_seen plays the same
// part: a side that has seen nothing contributes nothing.
//
// Refusals, all before anything is computed: an exponentially weighted mean
// (its value depends on the order of the values, so no merge is order-free);
// states of different configurations (feature counts, losses, optimizers and
// their settings, variance kinds, scaler settings), named in the message; a
// counter that would pass 2^64 - 1; a side with fewer samples than `start`.
// Every computed value is checked to be finite under its own name, as every
// update checks its quantities.
#pragma once

#include "error/error.hpp"
#include "linear/linear_regression.hpp"
#include "linear/logistic_regression.hpp"
#include "pipeline/pipeline.hpp"
#include "preprocessing/standard_scaler.hpp"
#include "stats/ewmean.hpp"
#include "stats/mean.hpp"
#include "stats/variance.hpp"

namespace drel {

[[nodiscard]] Result<Mean> merge(const Mean& a, const Mean& b);
[[nodiscard]] Result<Variance> merge(const Variance& a, const Variance& b);
[[nodiscard]] Result<StandardScalerState> merge(const StandardScalerState& a,
                                                const StandardScalerState& b);
[[nodiscard]] Result<ExponentiallyWeightedMean> merge(const ExponentiallyWeightedMean& a,
                                                      const ExponentiallyWeightedMean& b);
[[nodiscard]] Result<LinearRegression> merge(const LinearRegression& a, const LinearRegression& b);
[[nodiscard]] Result<LogisticRegression> merge(const LogisticRegression& a,
                                               const LogisticRegression& b);
[[nodiscard]] Result<RegressionPipeline> merge(const RegressionPipeline& a,
                                               const RegressionPipeline& b);
[[nodiscard]] Result<ClassificationPipeline> merge(const ClassificationPipeline& a,
                                                   const ClassificationPipeline& b);

[[nodiscard]] Result<Mean> merge_from(const Mean& start, const Mean& a, const Mean& b);
[[nodiscard]] Result<Variance> merge_from(const Variance& start, const Variance& a,
                                          const Variance& b);
[[nodiscard]] Result<StandardScalerState> merge_from(const StandardScalerState& start,
                                                     const StandardScalerState& a,
                                                     const StandardScalerState& b);
[[nodiscard]] Result<ExponentiallyWeightedMean> merge_from(const ExponentiallyWeightedMean& start,
                                                           const ExponentiallyWeightedMean& a,
                                                           const ExponentiallyWeightedMean& b);
[[nodiscard]] Result<LinearRegression> merge_from(const LinearRegression& start,
                                                  const LinearRegression& a,
                                                  const LinearRegression& b);
[[nodiscard]] Result<LogisticRegression> merge_from(const LogisticRegression& start,
                                                    const LogisticRegression& a,
                                                    const LogisticRegression& b);
[[nodiscard]] Result<RegressionPipeline> merge_from(const RegressionPipeline& start,
                                                    const RegressionPipeline& a,
                                                    const RegressionPipeline& b);
[[nodiscard]] Result<ClassificationPipeline> merge_from(const ClassificationPipeline& start,
                                                        const ClassificationPipeline& a,
                                                        const ClassificationPipeline& b);

}  // namespace drel
