#include "bulk/bulk.hpp"

#include <algorithm>
#include <type_traits>
#include <utility>
#include <vector>

#include "bulk/row_loops.hpp"
#include "common/step_outcome.hpp"
#include "linear/chained_steps.hpp"
#include "linear/learn_step.hpp"
#include "pipeline/pipeline_step.hpp"
#include "preprocessing/scaler_step.hpp"

namespace drel {
namespace {

using namespace bulk_loops;

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

// A linear model: its fast step writes in place; its checked form decides the
// rest. With plain SGD and rows of one width, the steps run chained
// (chained_steps), up to a row they would defer.
template <class Model, class Targets>
BulkStatus learn_model(Model& m, const Rows& rows, Targets y) {
  auto target = [y](std::size_t i) {
    if constexpr (std::is_same_v<Model, LogisticRegression>) return y[i] != 0;
    else return static_cast<double>(y[i]);
  };
  const auto checked = [&](Model& w, std::size_t i) {
    return w.learn_one_checked(rows.row(i), target(i));
  };
  if (rows.offsets == nullptr && chains(m, rows.cols)) {
    const double* const data = rows.data;
    const std::size_t stride = rows.row_stride;
    const std::size_t count = rows.count;
    return learn_runs(
        m, count,
        [&](Model& w, std::size_t i) {
          return i + chained_learn_steps(w, data + i * stride, stride, y.data() + i, count - i);
        },
        checked);
  }
  return learn_rows(
      m, rows.count,
      [&](Model& w, std::size_t i) { return learn_step<Commit::InPlace>(w, rows.row(i), target(i)); },
      checked);
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
  const Scaling scaling = scaling_of(p.transformer.config);  // no row changes it
  std::vector<double> scaled(validated ? p.transformer.counts.size() : 0);
  return learn_rows(
      p, rows.count,
      [&](Pipeline& w, std::size_t i) {
        if (!validated) return StepOutcome::Defer;
        return learn_step<Commit::InPlace>(w, rows.row(i), target(i), scaled.data(), true,
                                           scaling);
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

// map(z[k]) into to[k] for the outputs up to the first that is not finite;
// returns how many were mapped. A loop of its own, apart from the checked
// path, so that the compiler keeps its few values in registers.
template <class Out, class Map>
[[gnu::always_inline]] inline std::size_t map_finite(const double* __restrict z, std::size_t m,
                                                     Out* __restrict to, Map map) {
  std::size_t k = 0;
  for (; k < m && is_finite(z[k]); ++k) to[k] = static_cast<Out>(map(z[k]));
  return k;
}

// Rows of the object's width, evenly spaced (the common case; the caller has
// checked the shape once), as one tight loop: `output(x, z)` computes a row's
// raw output z and says whether it vouches for every check; a row it does not
// vouch for goes to the checked form. `map` is applied to each raw output.
template <class Out, class Output, class Map, class Checked>
BulkStatus predict_even_rows(const Rows& rows, std::span<Out> out, Output output, Map map,
                             Checked checked) {
  // Locals, not members: a one-byte output may alias anything, and would
  // otherwise make the compiler reload them after every store.
  const double* const data = rows.data;
  const std::size_t n = rows.cols;
  const std::size_t stride = rows.row_stride;
  const std::size_t count = rows.count;
  Out* const to = out.data();
  for (std::size_t i = 0; i < count; ++i) {
    double z;
    if (!output(data + i * stride, z)) [[unlikely]] {
      auto r = checked(std::span<const double>{data + i * stride, n});
      if (!r) return row_failure(i, std::move(r).error());
      to[i] = static_cast<Out>(map(*r));
      continue;
    }
    to[i] = static_cast<Out>(map(z));
  }
  return {};
}

// As predict_even_rows, for outputs that cost a call each (a pipeline's
// dispatched pass), computed a block of rows per call: `outputs(x, m, z)`
// puts the raw outputs of the m rows from x on in z, and a finite one
// vouches for every check of its row.
template <class Out, class Outputs, class Map, class Checked>
BulkStatus predict_even_blocks(const Rows& rows, std::span<Out> out, Outputs outputs, Map map,
                               Checked checked) {
  // Enough rows that the call costs nothing per row, few enough that their
  // outputs stay in the first-level cache until they are mapped.
  constexpr std::size_t kBlockRows = 256;
  double z[kBlockRows];
  const double* const data = rows.data;
  const std::size_t n = rows.cols;
  const std::size_t stride = rows.row_stride;
  const std::size_t count = rows.count;
  Out* const to = out.data();
  for (std::size_t first = 0; first < count; first += kBlockRows) {
    const std::size_t m = std::min(kBlockRows, count - first);
    outputs(data + first * stride, m, z);
    for (std::size_t k = map_finite(z, m, to + first, map); k < m;
         k += 1 + map_finite(z + k + 1, m - k - 1, to + first + k + 1, map)) {
      const std::size_t i = first + k;
      auto r = checked(std::span<const double>{data + i * stride, n});
      if (!r) return row_failure(i, std::move(r).error());
      to[i] = static_cast<Out>(map(*r));
    }
  }
  return {};
}

// A linear model's outputs, `map` applied to each raw output: a finite output
// vouches for every check (learn_step.hpp). Other row shapes than even rows of
// the model's width go row by row.
template <class Model, class Out, class Map, class Checked>
BulkStatus predict_model(const Model& m, const Rows& rows, std::span<Out> out, Map map,
                         Checked checked) {
  const std::size_t n = rows.cols;
  if (rows.offsets == nullptr && n != 0 && n == m.feature_count && m.weights.size() == n) {
    const double* const w = m.weights.data();
    const double b = m.intercept;
    if constexpr (!std::is_same_v<Map, std::remove_cvref_t<decltype(kProbability)>>) {
      auto output = [w, b, n](const double* x, double& z) {
        z = affine_sum(w, x, n, b);
        return is_finite(z);
      };
      return predict_even_rows(rows, out, output, map, checked);
    } else {
      // Probabilities run faster in blocks: the sums of a block first, then
      // the logistic of each, rather than each row's exponential and division
      // waiting on its sum (74 -> 52 ns per row at 100 features). Raw outputs
      // and classes, which cost little beyond the sum, do not gain.
      const std::size_t stride = rows.row_stride;
      auto outputs = [w, b, n, stride](const double* x, std::size_t count, double* z) {
        for (std::size_t k = 0; k < count; ++k) z[k] = affine_sum(w, x + k * stride, n, b);
      };
      return predict_even_blocks(rows, out, outputs, map, checked);
    }
  }
  return predict_rows(rows, out, mapped_output(m, map), mapped_checked(checked, map));
}

// The raw outputs of `count` evenly spaced rows of a pipeline, from x on:
// each row standardised by the scaler's pass (whose own checks a finite
// output makes needless: a non-finite scaled feature makes its term, and so
// the sum, non-finite), then summed with the model's weights. One dispatched
// call per block of rows: a call per row cost a sixth of the time at 10
// features.
template <Scaling kScaling>
struct PipelineOutputsPass {
  template <std::size_t kLanes>
  [[gnu::always_inline]] static void run(const double* __restrict means,
                                         const double* __restrict scales,
                                         const double* __restrict w, double b,
                                         const double* __restrict x, std::size_t stride,
                                         std::size_t n, std::size_t count,
                                         double* __restrict scaled, double* __restrict z) {
    for (std::size_t k = 0; k < count; ++k) {
      (void)TransformPass<kScaling>::template run<kLanes>(means, scales, x + k * stride, scaled, n);
      z[k] = affine_sum(w, scaled, n, b);
    }
  }
};

// `count` evenly spaced rows standardised into consecutive rows of `out`;
// returns whether every output is finite.
template <Scaling kScaling>
struct TransformRowsPass {
  template <std::size_t kLanes>
  [[gnu::always_inline]] static bool run(const double* __restrict means,
                                         const double* __restrict scales,
                                         const double* __restrict x, std::size_t stride,
                                         std::size_t n, std::size_t count,
                                         double* __restrict out) {
    bool finite = true;
    for (std::size_t k = 0; k < count; ++k)
      finite &= TransformPass<kScaling>::template run<kLanes>(means, scales, x + k * stride,
                                                              out + k * n, n);
    return finite;
  }
};

// A pipeline's outputs, `map` applied to each raw output. The scaler's
// divisors are worked out once for the call, and its configuration read once;
// each row is scaled into one scratch row of the scaler's width.
template <class Pipeline, class Out, class Map, class Checked>
BulkStatus predict_pipeline(const Pipeline& p, const Rows& rows, std::span<Out> out, Map map,
                            Checked checked) {
  const ScalePlan plan(p.transformer);
  std::vector<double> scaled(p.transformer.counts.size());
  const std::size_t n = rows.cols;
  if (rows.offsets == nullptr && plan.fits(n) && n == p.model.feature_count &&
      p.model.weights.size() == n) {
    const double* const w = p.model.weights.data();
    const double b = p.model.intercept;
    const std::size_t stride = rows.row_stride;
    double* const scratch = scaled.data();
    return plan.with_statistics([&](auto mode, const double* means, const double* scales) {
      using Pass = PipelineOutputsPass<decltype(mode)::value>;
      auto outputs = [=](const double* x, std::size_t count, double* z) {
        Dispatched<Pass>::run(means, scales, w, b, x, stride, n, count, scratch, z);
      };
      return predict_even_blocks(rows, out, outputs, map, checked);
    });
  }
  auto fast = [&](std::span<const double> x, double& v) {
    double z;
    if (!pipeline_output(p, plan, x, scaled.data(), z)) return false;
    v = map(z);
    return true;
  };
  return predict_rows(rows, out, fast, mapped_checked(checked, map));
}

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
        if (!scaler_fit_pass<FitPass::Write>(w, x.data(), nullptr, nullptr, Scaling::Identity))
            [[unlikely]]
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
  return predict_pipeline(p, rows, out, kRaw,
                          [&p](std::span<const double> x) { return p.predict_one_checked(x); });
}
BulkStatus predict_many(const ClassificationPipeline& p, const Rows& rows,
                        std::span<std::uint8_t> out) {
  return predict_pipeline(p, rows, out, kClass,
                          [&p](std::span<const double> x) { return p.logit_checked(x); });
}
BulkStatus predict_proba_many(const ClassificationPipeline& p, const Rows& rows,
                              std::span<double> out) {
  return predict_pipeline(p, rows, out, kProbability,
                          [&p](std::span<const double> x) { return p.logit_checked(x); });
}

BulkStatus transform_many(const StandardScalerState& s, const Rows& rows, std::span<double> out) {
  const std::size_t width = s.feature_count;
  const ScalePlan plan(s);
  // Even rows of the scaler's width in one dispatched call; only when an
  // output is not finite do the rows go one by one, to name the first.
  if (rows.offsets == nullptr && plan.fits(rows.cols)) {
    const bool finite = plan.with_statistics([&](auto mode, const double* means, const double* scales) {
      return Dispatched<TransformRowsPass<decltype(mode)::value>>::run(
          means, scales, rows.data, rows.row_stride, width, rows.count, out.data());
    });
    if (finite) [[likely]] return {};
  }
  return each_row(rows.count, [&](std::size_t i) -> Status {
    const std::span<const double> x = rows.row(i);
    double* const row_out = out.data() + i * width;
    if (plan.apply(x, row_out)) [[likely]] return {};
    DREL_ASSIGN_OR_RETURN(const std::vector<double> y, s.transform_one_checked(x));
    std::copy(y.begin(), y.end(), row_out);
    return {};
  });
}

}  // namespace drel
