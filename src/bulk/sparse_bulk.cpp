#include "bulk/sparse_bulk.hpp"

#include <optional>
#include <type_traits>

#include "bulk/row_loops.hpp"
#include "linear/sparse_step.hpp"

namespace drel {
namespace {

using namespace bulk_loops;

// Rows of another width than the model's fail at the first row, as the checked
// form says, before any row is made dense (a claimed width may be huge).
template <class Model>
std::optional<BulkStatus> refused_width(const Model& m, const SparseRows& rows) {
  if (rows.count == 0 || (rows.cols != 0 && rows.cols == m.feature_count)) return std::nullopt;
  return row_failure(0, feature_shape(rows.cols, m.feature_count).error());
}

// Asks for the weights of the row after `i` while row i runs: a wide model's
// weights are mostly out of cache, and a row's cost is otherwise the wait for
// them. A hint only: it changes no result.
inline void prefetch_next(const double* w, const SparseRows& rows, std::size_t i) {
  if (i + 1 >= rows.count) return;
  const SparseRow next = rows.row(i + 1);
  for (std::size_t k = 0; k < next.size; ++k) __builtin_prefetch(w + next.indices[k]);
}

bool all_finite(const std::vector<double>& weights) {
  std::uint64_t bad = 0;
  for (const double w : weights) bad |= non_finite_bit(w);
  return none_non_finite(bad);
}

// A model's rows: the sparse step while the model is sparse-exact, the dense
// step on the row made dense otherwise. Exactness is a property of the state,
// worked out in full at the start and after every row that another step than
// the sparse one absorbed (the sparse step reports whether it kept it).
template <class Model, class Targets>
BulkStatus learn_sparse(Model& m, const SparseRows& rows, Targets y) {
  if (auto refused = refused_width(m, rows)) return *refused;
  auto target = [y](std::size_t i) {
    if constexpr (std::is_same_v<Model, LogisticRegression>) return y[i] != 0;
    else return static_cast<double>(y[i]);
  };
  const bool allowed = sparse_config_allows(m);  // no row changes it
  auto exact_now = [allowed](const Model& w) { return allowed && sparse_exact(w); };
  const bool exact_at_start = exact_now(m);
  bool exact = exact_at_start;
  DenseRow dense(rows.cols);
  return learn_rows(
      m, rows.count,
      [&](Model& w, std::size_t i) {
        const SparseRow x = rows.row(i);
        StepOutcome done;
        if (exact) [[likely]] {
          prefetch_next(w.weights.data(), rows, i);
          done = sparse_learn_step(w, x, rows.cols, target(i), exact);
        } else {
          done = learn_step<Commit::InPlace>(w, dense.fill(x), target(i));
          dense.clear(x);
          if (done == StepOutcome::Done && allowed) exact = sparse_exact(w);
        }
        // learn_rows starts again from the state it was given.
        if (done == StepOutcome::Spoiled) exact = exact_at_start;
        return done;
      },
      [&](Model& w, std::size_t i) {
        const SparseRow x = rows.row(i);
        Status absorbed = w.learn_one_checked(dense.fill(x), target(i));
        dense.clear(x);
        exact = exact_now(w);
        return absorbed;
      });
}

// One output per row, `map` applied to each raw output. Over finite weights
// of the rows' width the sum over stored values is the dense sum, and a finite
// one vouches for every check (as in the dense loops); any other row is made
// dense and goes to the checked form, which names its error.
template <class Model, class Out, class Map, class Checked>
BulkStatus predict_sparse(const Model& m, const SparseRows& rows, std::span<Out> out, Map map,
                          Checked checked) {
  if (auto refused = refused_width(m, rows)) return *refused;
  const std::size_t n = rows.cols;
  const bool exact = n != 0 && n == m.feature_count && m.weights.size() == n &&
                     all_finite(m.weights);
  const double* const w = m.weights.data();
  const double b = m.intercept;
  DenseRow dense(n);
  return each_row(rows.count, [&](std::size_t i) -> Status {
    const SparseRow x = rows.row(i);
    if (exact) [[likely]] {
      prefetch_next(w, rows, i);
      const double z = sparse_affine_sum(w, x, b);
      if (is_finite(z)) [[likely]] {
        out[i] = static_cast<Out>(map(z));
        return {};
      }
    }
    auto z = checked(dense.fill(x));
    dense.clear(x);
    if (!z) return std::unexpected(std::move(z).error());
    out[i] = static_cast<Out>(map(*z));
    return {};
  });
}

template <class Model>
bool costs_stored_values(const Model& m, bool learning) {
  return learning ? sparse_config_allows(m) && sparse_exact(m) : all_finite(m.weights);
}

}  // namespace

bool sparse_rows_cost_stored_values(const LinearRegression& m, bool learning) {
  return costs_stored_values(m, learning);
}
bool sparse_rows_cost_stored_values(const LogisticRegression& m, bool learning) {
  return costs_stored_values(m, learning);
}

BulkStatus learn_many(LinearRegression& m, const SparseRows& rows, std::span<const double> y) {
  return learn_sparse(m, rows, y);
}
BulkStatus learn_many(LogisticRegression& m, const SparseRows& rows, Flags y) {
  return learn_sparse(m, rows, y);
}

BulkStatus predict_many(const LinearRegression& m, const SparseRows& rows, std::span<double> out) {
  return predict_sparse(m, rows, out, kRaw,
                        [&m](std::span<const double> x) { return m.predict_one_checked(x); });
}
BulkStatus predict_many(const LogisticRegression& m, const SparseRows& rows,
                        std::span<std::uint8_t> out) {
  return predict_sparse(m, rows, out, kClass,
                        [&m](std::span<const double> x) { return m.logit_checked(x); });
}
BulkStatus predict_proba_many(const LogisticRegression& m, const SparseRows& rows,
                              std::span<double> out) {
  return predict_sparse(m, rows, out, kProbability,
                        [&m](std::span<const double> x) { return m.logit_checked(x); });
}

}  // namespace drel
