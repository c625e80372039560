#include "preprocessing/standard_scaler.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "error/float_text.hpp"
#include "error/guards.hpp"
#include "preprocessing/scaler_step.hpp"
#include "stats/welford.hpp"

namespace drel {
namespace {

constexpr WelfordNames kFitNames{"standard scaler delta", "standard scaler mean",
                                 "standard scaler M2"};

// Construction and validation share the first three checks.
Status check_shape_and_epsilon(std::uint64_t feature_count, double epsilon) {
  if (feature_count == 0) return fail(Error::empty_features());
  DREL_CHECK_FINITE("epsilon", epsilon);
  if (epsilon < 0.0) return fail(Error::invalid_parameter("epsilon", epsilon));
  return {};
}

Error scaler_state_error(const char* text) { return Error::invalid_model_state(text); }

// "standard scaler {vector}[{i}] must be 0 when count == {c}, got {value}"
Error nonzero_at_count_error(const char* vector, std::size_t index, int count, double value) {
  std::string text = "standard scaler ";
  text += vector;
  text += '[';
  text += std::to_string(index);
  text += "] must be 0 when count == ";
  text += std::to_string(count);
  text += ", got ";
  append_message_float(text, value);
  return Error::invalid_model_state(std::move(text));
}

// The first element that is not zero (negative zero counts as zero), as an error.
Status check_all_zero(std::span<const double> values, const char* vector, int count) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (values[i] != 0.0) [[unlikely]]
      return fail(nonzero_at_count_error(vector, i, count, values[i]));
  }
  return {};
}

bool all_finite(std::span<const double> values) {
  return std::ranges::all_of(values, [](double v) { return is_finite(v); });
}

}  // namespace

Result<StandardScalerState> StandardScalerState::create(std::uint64_t feature_count,
                                                        StandardScalerConfig config) {
  DREL_TRY(check_shape_and_epsilon(feature_count, config.epsilon));
  StandardScalerState state;
  state.feature_count = feature_count;
  state.config = config;
  state.counts.assign(feature_count, 0);
  state.means.assign(feature_count, 0.0);
  state.m2s.assign(feature_count, 0.0);
  return state;
}

Status StandardScalerState::validate() const {
  DREL_TRY(check_shape_and_epsilon(feature_count, config.epsilon));
  if (counts.size() != feature_count || means.size() != feature_count ||
      m2s.size() != feature_count)
    return fail(scaler_state_error("standard scaler feature_count does not match state lengths"));
  if (!all_finite(means) || !all_finite(m2s))
    return fail(scaler_state_error("standard scaler state must contain only finite values"));
  if (std::ranges::any_of(m2s, [](double s) { return s < 0.0; }))
    return fail(scaler_state_error("standard scaler m2s must be non-negative"));
  if (std::ranges::adjacent_find(counts, std::ranges::not_equal_to{}) != counts.end())
    return fail(scaler_state_error("standard scaler feature counts must stay synchronized"));
  const std::uint64_t common = counts.front();
  if (common == 0) {
    DREL_TRY(check_all_zero(means, "means", 0));
    DREL_TRY(check_all_zero(m2s, "m2s", 0));
  } else if (common == 1) {
    DREL_TRY(check_all_zero(m2s, "m2s", 1));
  }
  return {};
}

Status StandardScalerState::fit_one(std::span<const double> x) {
  if (fit_ready(*this, x.size(), false)) [[likely]] {
    FitScratch saved(2 * x.size());
    if (scaler_fit_pass<FitPass::Trial>(*this, x.data(), nullptr, &saved[0], Scaling::Identity))
        [[likely]] {
      confirm_fit(*this);
      return {};
    }
  }
  return fit_one_checked(x);
}

Status StandardScalerState::fit_one_checked(std::span<const double> x) {
  DREL_TRY(validate());
  DREL_TRY(check_features(x, feature_count));
  std::vector<std::uint64_t> new_counts = counts;
  std::vector<double> new_means = means;
  std::vector<double> new_m2s = m2s;
  // validate() has established that every vector holds feature_count == x.size() elements.
  for (std::size_t i = 0; i < x.size(); ++i) {
    DREL_ASSIGN_OR_RETURN(const std::uint64_t next,
                          checked_increment(new_counts[i], "standard scaler sample"));
    DREL_ASSIGN_OR_RETURN(const WelfordMoments moments,
                          welford_step(x[i], {new_means[i], new_m2s[i]}, next, kFitNames));
    new_counts[i] = next;
    new_means[i] = moments.mean;
    new_m2s[i] = moments.m2;
  }
  counts = std::move(new_counts);
  means = std::move(new_means);
  m2s = std::move(new_m2s);
  return {};
}

Result<std::vector<double>> StandardScalerState::transform_one(std::span<const double> x) const {
  if (transform_ready(*this, x.size())) [[likely]] {
    std::vector<double> y(x.size());
    if (ScalePlan(*this).apply(x, y.data())) [[likely]] return y;
  }
  return transform_one_checked(x);
}

Result<std::vector<double>> StandardScalerState::transform_one_checked(
    std::span<const double> x) const {
  DREL_TRY(check_features(x, feature_count));
  // The state is not validated here, so the statistics may be shorter than x. A feature
  // without statistics is treated as one that has seen no sample yet (mean 0, scale 1):
  // it passes through unchanged, which keeps the output at feature_count elements
  // without reading past any vector.
  const std::size_t common =
      std::min({x.size(), counts.size(), means.size(), m2s.size()});
  std::vector<double> y;
  y.reserve(x.size());
  for (std::size_t i = 0; i < common; ++i) {
    const double out = scaled_feature(x[i], counts[i], means[i], m2s[i], config);
    DREL_CHECK_FINITE("transformed feature", out);
    y.push_back(out);
  }
  y.insert(y.end(), x.begin() + static_cast<std::ptrdiff_t>(common), x.end());
  return y;
}

std::uint64_t StandardScalerState::samples_seen() const {
  return counts.empty() ? 0 : std::ranges::max(counts);
}

}  // namespace drel
