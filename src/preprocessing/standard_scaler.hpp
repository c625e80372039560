// Online standard scaler: per-feature Welford statistics.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "error/error.hpp"

namespace drel {

struct StandardScalerConfig {
  bool with_mean = true;
  bool with_std = true;
  double epsilon = 1e-12;
};

struct StandardScalerState {
  std::uint64_t feature_count = 0;
  StandardScalerConfig config;
  std::vector<std::uint64_t> counts;
  std::vector<double> means;
  std::vector<double> m2s;

  [[nodiscard]] static Result<StandardScalerState> create(std::uint64_t feature_count,
                                                          StandardScalerConfig config = {});

  // Every invariant of a state that came from outside.
  [[nodiscard]] Status validate() const;
  [[nodiscard]] Status fit_one(std::span<const double> x);
  [[nodiscard]] Result<std::vector<double>> transform_one(std::span<const double> x) const;

  // The checked forms: every check in its order, scratch copies, commit last.
  // The operations above run them only when their fast form
  // (preprocessing/scaler_step.hpp) cannot vouch for every check.
  [[nodiscard]] Status fit_one_checked(std::span<const double> x);
  [[nodiscard]] Result<std::vector<double>> transform_one_checked(std::span<const double> x) const;
  std::uint64_t samples_seen() const;
};

using StandardScaler = StandardScalerState;

}  // namespace drel
