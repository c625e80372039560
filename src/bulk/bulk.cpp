#include "bulk/bulk.hpp"

#include <algorithm>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/step_outcome.hpp"
#include "linear/learn_step.hpp"
#include "pipeline/pipeline_step.hpp"
#include "preprocessing/scaler_step.hpp"

namespace drel {
namespace {

BulkStatus row_failure(std::size_t row, Error error) {
  return std::unexpected(RowError{row, std::move(error)});
}

// Runs every row through `fast(work, i)` (the fast step, writing in place) on
// a private copy of `state`, and commits the copy once, after the last row.
// A row the fast step defers goes through `checked(work, i)`, the one-sample
// checked form, which names the error or absorbs the row. A row that spoiled
// the copy half-way is replayed from a fresh copy: the rows before it run
// again exactly as they did, then the checked form decides the row itself.
template <class State, class Fast, class Checked>
BulkStatus learn_rows(State& state, std::size_t count, Fast fast, Checked checked) {
  if (count == 0) return {};
  State work = state;
  for (std::size_t i = 0; i < count; ++i) {
    const StepOutcome done = fast(work, i);
    if (done == StepOutcome::Done) [[likely]] continue;
    if (done == StepOutcome::Spoiled) {
      work = state;
      for (std::size_t j = 0; j < i; ++j) {
        if (fast(work, j) != StepOutcome::Done) (void)checked(work, j);
      }
    }
    if (auto absorbed = checked(work, i); !absorbed) return row_failure(i, std::move(absorbed).error());
  }
  state = std::move(work);
  return {};
}

// Runs `row(i)` for every row of an operation that changes nothing; the first
// error stops it.
template <class Row>
BulkStatus each_row(std::size_t count, Row row) {
  for (std::size_t i = 0; i < count; ++i) {
    if (auto done = row(i); !done) [[unlikely]] return row_failure(i, std::move(done).error());
  }
  return {};
}

template <class Statistic>
BulkStatus update_all(Statistic& s, std::span<const double> xs) {
  Statistic work = s;
  for (std::size_t i = 0; i < xs.size(); ++i) {
    if (auto done = work.update(xs[i]); !done) [[unlikely]]
      return row_failure(i, std::move(done).error());
  }
  s = work;
  return {};
}

// A linear model: its fast step writes in place; its checked form decides the rest.
template <class Model, class Targets>
BulkStatus learn_model(Model& m, const Rows& rows, Targets y) {
  auto target = [y](std::size_t i) {
    if constexpr (std::is_same_v<Model, LogisticRegression>) return y[i] != 0;
    else return static_cast<double>(y[i]);
  };
  return learn_rows(
      m, rows.count,
      [&](Model& w, std::size_t i) { return learn_step<Commit::InPlace>(w, rows.row(i), target(i)); },
      [&](Model& w, std::size_t i) { return w.learn_one_checked(rows.row(i), target(i)); });
}

// A pipeline: the fast step needs a validated scaler, which every successful
// fit keeps valid (preprocessing/scaler_step.hpp), so one validation covers all
// rows; an invalid scaler leaves every row to the checked form, which reports
// the first row's error.
template <class Pipeline, class Targets>
BulkStatus learn_pipeline(Pipeline& p, const Rows& rows, Targets y) {
  auto target = [y](std::size_t i) {
    if constexpr (std::is_same_v<Pipeline, ClassificationPipeline>) return y[i] != 0;
    else return static_cast<double>(y[i]);
  };
  const bool validated = p.transformer.validate().has_value();
  std::vector<double> scaled(validated ? p.transformer.counts.size() : 0);
  return learn_rows(
      p, rows.count,
      [&](Pipeline& w, std::size_t i) {
        if (!validated) return StepOutcome::Defer;
        return learn_step<Commit::InPlace>(w, rows.row(i), target(i), scaled.data(), true);
      },
      [&](Pipeline& w, std::size_t i) { return w.learn_one_checked(rows.row(i), target(i)); });
}

// A model's fast output with `map` applied to it.
template <class Model, class Map>
auto mapped_output(const Model& m, Map map) {
  return [&m, map](std::span<const double> x, double& v) {
    double z;
    if (!fast_output(m, x, z)) return false;
    v = map(z);
    return true;
  };
}

// The pipeline's fast output, `map` applied, its scaled features going to a
// scratch row of the scaler's width.
template <class Pipeline, class Map>
auto mapped_pipeline_output(const Pipeline& p, std::vector<double>& scaled, Map map) {
  scaled.resize(p.transformer.counts.size());
  return [&p, &scaled, map](std::span<const double> x, double& v) {
    double z;
    if (!pipeline_output(p, x, scaled.data(), z)) return false;
    v = map(z);
    return true;
  };
}

template <class Checked, class Map>
auto mapped_checked(Checked checked, Map map) {
  return [checked, map](std::span<const double> x) -> Result<double> {
    auto z = checked(x);
    if (!z) return std::unexpected(std::move(z).error());
    return map(*z);
  };
}

// One output per row: `fast(x, value)` when it can vouch for every check,
// else the checked form `checked(x)`.
template <class Out, class Fast, class Checked>
BulkStatus predict_rows(const Rows& rows, std::span<Out> out, Fast fast, Checked checked) {
  return each_row(rows.count, [&](std::size_t i) -> Status {
    const std::span<const double> x = rows.row(i);
    double value;
    if (fast(x, value)) [[likely]] {
      out[i] = static_cast<Out>(value);
      return {};
    }
    auto r = checked(x);
    if (!r) return std::unexpected(std::move(r).error());
    out[i] = static_cast<Out>(*r);
    return {};
  });
}

// A linear model's outputs, `map` applied to each raw output. Rows of the
// model's width, evenly spaced (the common case), run as one tight loop with
// the shape checked once; a row with a non-finite output goes to the checked
// form, and other row shapes to the row-by-row path.
template <class Model, class Out, class Map, class Checked>
BulkStatus predict_model(const Model& m, const Rows& rows, std::span<Out> out, Map map,
                         Checked checked) {
  const std::size_t n = rows.cols;
  if (rows.offsets == nullptr && n != 0 && n == m.feature_count && m.weights.size() == n) {
    // Locals, not members: a one-byte output may alias anything, and would
    // otherwise make the compiler reload them after every store.
    const double* const w = m.weights.data();
    const double* const data = rows.data;
    const double b = m.intercept;
    const std::size_t stride = rows.row_stride;
    const std::size_t count = rows.count;
    Out* const to = out.data();
    for (std::size_t i = 0; i < count; ++i) {
      const double z = affine_sum(w, data + i * stride, n, b);
      if (!is_finite(z)) [[unlikely]] {
        auto r = checked(std::span<const double>{data + i * stride, n});
        if (!r) return row_failure(i, std::move(r).error());
        to[i] = static_cast<Out>(map(*r));
        continue;
      }
      to[i] = static_cast<Out>(map(z));
    }
    return {};
  }
  return predict_rows(rows, out, mapped_output(m, map), mapped_checked(checked, map));
}

constexpr auto kRaw = [](double z) { return z; };
constexpr auto kClass = [](double z) { return positive_class(z); };
constexpr auto kProbability = [](double z) { return logistic(z); };

}  // namespace

BulkStatus update_many(Mean& m, std::span<const double> xs) { return update_all(m, xs); }
BulkStatus update_many(ExponentiallyWeightedMean& m, std::span<const double> xs) {
  return update_all(m, xs);
}
BulkStatus update_many(Variance& v, std::span<const double> xs) { return update_all(v, xs); }

BulkStatus learn_many(StandardScalerState& s, const Rows& rows) {
  const bool validated = s.validate().has_value();
  return learn_rows(
      s, rows.count,
      [&](StandardScalerState& w, std::size_t i) {
        const std::span<const double> x = rows.row(i);
        if (!validated || !fit_ready(w, x.size(), true)) [[unlikely]] return StepOutcome::Defer;
        if (!scaler_fit_pass<true, false, false>(w, x.data(), nullptr)) [[unlikely]]
          return StepOutcome::Spoiled;
        return StepOutcome::Done;
      },
      [&](StandardScalerState& w, std::size_t i) { return w.fit_one_checked(rows.row(i)); });
}
BulkStatus learn_many(LinearRegression& m, const Rows& rows, std::span<const double> y) {
  return learn_model(m, rows, y);
}
BulkStatus learn_many(LogisticRegression& m, const Rows& rows, Flags y) {
  return learn_model(m, rows, y);
}
BulkStatus learn_many(RegressionPipeline& p, const Rows& rows, std::span<const double> y) {
  return learn_pipeline(p, rows, y);
}
BulkStatus learn_many(ClassificationPipeline& p, const Rows& rows, Flags y) {
  return learn_pipeline(p, rows, y);
}

BulkStatus predict_many(const LinearRegression& m, const Rows& rows, std::span<double> out) {
  return predict_model(m, rows, out, kRaw,
                       [&m](std::span<const double> x) { return m.predict_one_checked(x); });
}
BulkStatus predict_many(const LogisticRegression& m, const Rows& rows, std::span<std::uint8_t> out) {
  return predict_model(m, rows, out, kClass,
                       [&m](std::span<const double> x) { return m.logit_checked(x); });
}
BulkStatus predict_proba_many(const LogisticRegression& m, const Rows& rows, std::span<double> out) {
  return predict_model(m, rows, out, kProbability,
                       [&m](std::span<const double> x) { return m.logit_checked(x); });
}

BulkStatus predict_many(const RegressionPipeline& p, const Rows& rows, std::span<double> out) {
  std::vector<double> scaled;
  auto checked = [&p](std::span<const double> x) { return p.predict_one_checked(x); };
  return predict_rows(rows, out, mapped_pipeline_output(p, scaled, kRaw),
                      mapped_checked(checked, kRaw));
}
BulkStatus predict_many(const ClassificationPipeline& p, const Rows& rows,
                        std::span<std::uint8_t> out) {
  std::vector<double> scaled;
  auto checked = [&p](std::span<const double> x) { return p.logit_checked(x); };
  return predict_rows(rows, out, mapped_pipeline_output(p, scaled, kClass),
                      mapped_checked(checked, kClass));
}
BulkStatus predict_proba_many(const ClassificationPipeline& p, const Rows& rows,
                              std::span<double> out) {
  std::vector<double> scaled;
  auto checked = [&p](std::span<const double> x) { return p.logit_checked(x); };
  return predict_rows(rows, out, mapped_pipeline_output(p, scaled, kProbability),
                      mapped_checked(checked, kProbability));
}

BulkStatus transform_many(const StandardScalerState& s, const Rows& rows, std::span<double> out) {
  const std::size_t width = s.feature_count;
  return each_row(rows.count, [&](std::size_t i) -> Status {
    const std::span<const double> x = rows.row(i);
    double* const row_out = out.data() + i * width;
    if (transform_ready(s, x.size()) && transform_pass(s, x.data(), row_out)) [[likely]] return {};
    DREL_ASSIGN_OR_RETURN(const std::vector<double> y, s.transform_one_checked(x));
    std::copy(y.begin(), y.end(), row_out);
    return {};
  });
}

}  // namespace drel
