// Merging of the running statistics and of the standard scaler.
#include "merge/merge.hpp"

#include <cstddef>

#include "merge/merge_rules.hpp"
#include "merge/moments.hpp"

namespace drel {
namespace {

constexpr MomentNames kMeanNames{"mean sample", "mean delta", "mean", nullptr};
constexpr MomentNames kVarianceNames{"variance sample", "variance delta", "variance mean",
                                     "variance M2"};
constexpr MomentNames kScalerNames{"standard scaler sample", "standard scaler delta",
                                   "standard scaler mean", "standard scaler M2"};

// a together with what b saw after `start` (b without start: all of b), so that
// the start's own samples are counted once.
Result<Moments> merged_moments(const Moments* start, const Moments& a, const Moments& b,
                               const MomentNames& names) {
  if (start == nullptr) return combine(a, b, names);
  if (a.count < start->count) return fewer_than_start();
  DREL_ASSIGN_OR_RETURN(const Moments rest, remove_part(b, *start, names));
  return combine(a, rest, names);
}

Result<Mean> merge_means(const Mean* start, const Mean& a, const Mean& b) {
  const Moments s = start != nullptr ? Moments{start->count, start->mean, 0.0} : Moments{};
  DREL_ASSIGN_OR_RETURN(const Moments m,
                        merged_moments(start != nullptr ? &s : nullptr, {a.count, a.mean, 0.0},
                                       {b.count, b.mean, 0.0}, kMeanNames));
  return Mean{m.count, m.mean};
}

const char* kind_text(VarianceKind kind) {
  return kind == VarianceKind::Population ? "population" : "sample";
}

Status same_kind(const Variance& a, const Variance& b) {
  if (a.kind == b.kind) return {};
  return differing("variance kinds", kind_text(a.kind), kind_text(b.kind));
}

Moments moments_of(const Variance& v) { return {v.count, v.mean, v.m2}; }

Result<Variance> merge_variances(const Variance* start, const Variance& a, const Variance& b) {
  DREL_TRY(same_kind(a, b));
  if (start != nullptr) DREL_TRY(same_kind(*start, a));
  const Moments s = start != nullptr ? moments_of(*start) : Moments{};
  DREL_ASSIGN_OR_RETURN(const Moments m, merged_moments(start != nullptr ? &s : nullptr,
                                                        moments_of(a), moments_of(b),
                                                        kVarianceNames));
  return Variance{m.count, m.mean, m.m2, a.kind};
}

Status same_scaler_config(const StandardScalerState& a, const StandardScalerState& b) {
  DREL_TRY(require_same("feature counts", a.feature_count, b.feature_count));
  DREL_TRY(require_same("with_mean settings", a.config.with_mean, b.config.with_mean));
  DREL_TRY(require_same("with_std settings", a.config.with_std, b.config.with_std));
  return require_same("epsilons", a.config.epsilon, b.config.epsilon);
}

Moments feature_moments(const StandardScalerState& s, std::size_t i) {
  return {s.counts[i], s.means[i], s.m2s[i]};
}

// Both states (and the start) are validated first, so every vector holds
// feature_count entries and the per-feature counts agree: the merged counts
// agree as well.
Result<StandardScalerState> merge_scalers(const StandardScalerState* start,
                                          const StandardScalerState& a,
                                          const StandardScalerState& b) {
  DREL_TRY(same_scaler_config(a, b));
  if (start != nullptr) DREL_TRY(same_scaler_config(*start, a));
  DREL_TRY(a.validate());
  DREL_TRY(b.validate());
  if (start != nullptr) DREL_TRY(start->validate());
  StandardScalerState out = a;
  for (std::size_t i = 0; i < out.counts.size(); ++i) {
    const Moments s = start != nullptr ? feature_moments(*start, i) : Moments{};
    DREL_ASSIGN_OR_RETURN(const Moments m,
                          merged_moments(start != nullptr ? &s : nullptr, feature_moments(a, i),
                                         feature_moments(b, i), kScalerNames));
    out.counts[i] = m.count;
    out.means[i] = m.mean;
    out.m2s[i] = m.m2;
  }
  return out;
}

std::unexpected<Error> order_dependent() {
  return fail(Error::invalid_model_state(
      "an exponentially weighted mean cannot be merged: its value depends on the order of the "
      "values"));
}

}  // namespace

Result<Mean> merge(const Mean& a, const Mean& b) { return merge_means(nullptr, a, b); }
Result<Mean> merge_from(const Mean& start, const Mean& a, const Mean& b) {
  return merge_means(&start, a, b);
}

Result<Variance> merge(const Variance& a, const Variance& b) {
  return merge_variances(nullptr, a, b);
}
Result<Variance> merge_from(const Variance& start, const Variance& a, const Variance& b) {
  return merge_variances(&start, a, b);
}

Result<StandardScalerState> merge(const StandardScalerState& a, const StandardScalerState& b) {
  return merge_scalers(nullptr, a, b);
}
Result<StandardScalerState> merge_from(const StandardScalerState& start,
                                       const StandardScalerState& a,
                                       const StandardScalerState& b) {
  return merge_scalers(&start, a, b);
}

Result<ExponentiallyWeightedMean> merge(const ExponentiallyWeightedMean&,
                                        const ExponentiallyWeightedMean&) {
  return order_dependent();
}
Result<ExponentiallyWeightedMean> merge_from(const ExponentiallyWeightedMean&,
                                             const ExponentiallyWeightedMean&,
                                             const ExponentiallyWeightedMean&) {
  return order_dependent();
}

}  // namespace drel
