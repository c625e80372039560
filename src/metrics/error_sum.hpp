// A count and the exact sum of one checked term per sample: the state of every
// metric that is a mean of per-sample terms (MAE, MSE, RMSE, log loss).
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>

#include "error/error.hpp"
#include "error/guards.hpp"
#include "merge/merge_rules.hpp"
#include "metrics/exact_sum.hpp"

namespace drel {

[[nodiscard]] Status validate_error_sum(std::uint64_t count, const ExactSum& sum);

inline double identity(double x) { return x; }
inline double square_root(double x) { return std::sqrt(x); }

// A count and the exact sum of one term per sample. Term(y_true, y_pred)
// gives the checked term; the value is Finish(the mean of the terms). Each
// metric is its own instantiation (a plain aggregate, as snapshot records are).
template <auto Term, class TruthType = double, double (*Finish)(double) = &identity>
struct ErrorSum {
  using Truth = TruthType;
  using Prediction = double;
  static constexpr auto term = Term;
  std::uint64_t count = 0;
  ExactSum sum;

  [[nodiscard, gnu::always_inline]] inline Status update(Truth y_true, double y_pred) {
    DREL_ASSIGN_OR_RETURN(const double term, Term(y_true, y_pred));
    DREL_ASSIGN_OR_RETURN(const std::uint64_t next, checked_increment(count, "metric sample"));
    count = next;
    sum.add(term);
    return {};
  }
  // Undoes update(y_true, y_pred) of an accepted sample.
  void remove(Truth y_true, double y_pred) {
    sum.remove(*Term(y_true, y_pred));
    --count;
  }
  [[nodiscard]] Status merge(const ErrorSum& other) {
    DREL_ASSIGN_OR_RETURN(const std::uint64_t total,
                          checked_sum(count, other.count, "metric sample"));
    count = total;
    sum.add(other.sum);
    return {};
  }
  // A stored state: its terms are never negative, and none without samples.
  [[nodiscard]] Status validate() const { return validate_error_sum(count, sum); }
  std::optional<double> mean() const {
    if (count == 0) return std::nullopt;
    return sum.divided_by(count);
  }
  std::optional<double> value() const { return mean().transform(Finish); }
};

}  // namespace drel
