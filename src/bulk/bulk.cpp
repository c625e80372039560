#include "bulk/bulk.hpp"

#include <algorithm>
#include <utility>

namespace drel {
namespace {

// Runs `step(work, i)` over every row on a private copy of `state` and commits
// the copy only when every row has passed.
template <class State, class Step>
BulkStatus on_private_copy(State& state, std::size_t count, Step&& step) {
  State work = state;
  for (std::size_t i = 0; i < count; ++i) {
    if (auto done = step(work, i); !done) [[unlikely]]
      return std::unexpected(RowError{i, std::move(done).error()});
  }
  state = std::move(work);
  return {};
}

// Runs `one(i)` for every row of a read-only operation; the first error stops it.
template <class One>
BulkStatus each_row(std::size_t count, One&& one) {
  for (std::size_t i = 0; i < count; ++i) {
    if (auto done = one(i); !done) [[unlikely]]
      return std::unexpected(RowError{i, std::move(done).error()});
  }
  return {};
}

template <class Statistic>
BulkStatus update_all(Statistic& s, std::span<const double> xs) {
  return on_private_copy(s, xs.size(), [xs](Statistic& w, std::size_t i) { return w.update(xs[i]); });
}

template <class Learner, class Targets>
BulkStatus learn_all(Learner& m, const Rows& rows, Targets y) {
  return on_private_copy(m, rows.count, [&rows, y](Learner& w, std::size_t i) {
    return w.learn_one(rows.row(i), static_cast<typename Targets::value_type>(y[i]));
  });
}

template <class Model, class Out, class Predict>
BulkStatus predict_all(const Model& m, const Rows& rows, std::span<Out> out, Predict predict) {
  return each_row(rows.count, [&](std::size_t i) -> Status {
    auto value = predict(m, rows.row(i));
    if (!value) return std::unexpected(std::move(value).error());
    out[i] = static_cast<Out>(*value);
    return {};
  });
}

constexpr auto kPredict = [](const auto& m, std::span<const double> x) { return m.predict_one(x); };
constexpr auto kProba = [](const auto& m, std::span<const double> x) {
  return m.predict_proba_one(x);
};

}  // namespace

BulkStatus update_many(Mean& m, std::span<const double> xs) { return update_all(m, xs); }
BulkStatus update_many(ExponentiallyWeightedMean& m, std::span<const double> xs) {
  return update_all(m, xs);
}
BulkStatus update_many(Variance& v, std::span<const double> xs) { return update_all(v, xs); }

BulkStatus learn_many(StandardScalerState& s, const Rows& rows) {
  return on_private_copy(s, rows.count,
                         [&rows](StandardScalerState& w, std::size_t i) { return w.fit_one(rows.row(i)); });
}
BulkStatus learn_many(LinearRegression& m, const Rows& rows, std::span<const double> y) {
  return learn_all(m, rows, y);
}
BulkStatus learn_many(LogisticRegression& m, const Rows& rows, Flags y) {
  return on_private_copy(m, rows.count, [&rows, y](LogisticRegression& w, std::size_t i) {
    return w.learn_one(rows.row(i), y[i] != 0);
  });
}
BulkStatus learn_many(RegressionPipeline& p, const Rows& rows, std::span<const double> y) {
  return learn_all(p, rows, y);
}
BulkStatus learn_many(ClassificationPipeline& p, const Rows& rows, Flags y) {
  return on_private_copy(p, rows.count, [&rows, y](ClassificationPipeline& w, std::size_t i) {
    return w.learn_one(rows.row(i), y[i] != 0);
  });
}

BulkStatus predict_many(const LinearRegression& m, const Rows& rows, std::span<double> out) {
  return predict_all(m, rows, out, kPredict);
}
BulkStatus predict_many(const RegressionPipeline& p, const Rows& rows, std::span<double> out) {
  return predict_all(p, rows, out, kPredict);
}
BulkStatus predict_many(const LogisticRegression& m, const Rows& rows, std::span<std::uint8_t> out) {
  return predict_all(m, rows, out, kPredict);
}
BulkStatus predict_many(const ClassificationPipeline& p, const Rows& rows,
                        std::span<std::uint8_t> out) {
  return predict_all(p, rows, out, kPredict);
}
BulkStatus predict_proba_many(const LogisticRegression& m, const Rows& rows, std::span<double> out) {
  return predict_all(m, rows, out, kProba);
}
BulkStatus predict_proba_many(const ClassificationPipeline& p, const Rows& rows,
                              std::span<double> out) {
  return predict_all(p, rows, out, kProba);
}

BulkStatus transform_many(const StandardScalerState& s, const Rows& rows, std::span<double> out) {
  const std::size_t width = s.feature_count;
  return each_row(rows.count, [&](std::size_t i) -> Status {
    auto y = s.transform_one(rows.row(i));
    if (!y) return std::unexpected(std::move(y).error());
    std::copy(y->begin(), y->end(), out.begin() + static_cast<std::ptrdiff_t>(i * width));
    return {};
  });
}

}  // namespace drel
