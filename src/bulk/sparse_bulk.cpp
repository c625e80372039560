#include "bulk/sparse_bulk.hpp"

#include <optional>
#include <type_traits>

#include "bulk/row_loops.hpp"
#include "common/machine.hpp"
#include "linear/sparse_step.hpp"

namespace drel {
namespace {

using namespace bulk_loops;

// Rows of another width than the model's fail at the first row, as the checked
// form says, before any row is made dense (a claimed width may be huge).
template <class Model, class Rows>
std::optional<BulkStatus> refused_width(const Model& m, const Rows& rows) {
  if (rows.count == 0 || (rows.cols != 0 && rows.cols == m.feature_count)) return std::nullopt;
  return row_failure(0, feature_shape(rows.cols, m.feature_count).error());
}

// Asks for the weights of the row after `i` while row i runs: a wide model's
// weights are mostly out of cache, and a row's cost is otherwise the wait for
// them. A hint only: it changes no result.
inline void prefetch_next(const double* w, const SparseRows& rows, std::size_t i) {
  if (i + 1 >= rows.count) return;
  const SparseRow next = rows.row(i + 1);
  for (std::size_t k = 0; k < next.size; ++k) prefetch_for_read(w + next.indices[k]);
}

bool all_finite(const std::vector<double>& weights) {
  std::uint64_t bad = 0;
  for (const double w : weights) bad |= non_finite_bit(w);
  return none_non_finite(bad);
}

// The targets of a model's rows, as its one-sample step takes them.
template <class Model, class Targets>
auto target_of(Targets y, std::size_t i) {
  if constexpr (std::is_same_v<Model, LogisticRegression>) return y[i] != 0;
  else return static_cast<double>(y[i]);
}

// Whether x, a row of `rows` that nothing has looked at yet
// (SharedSparseRows::verify), is not canonical or within bounds.
template <class Rows, class Row>
bool unverified_fault(const Rows& rows, const Row& x) {
  if constexpr (requires { rows.verify; }) return rows.verify && !ascends_within(x, rows.cols);
  else return false;
}

// The rows of a model that can never be sparse-exact (a penalty moves every
// weight on every step): each made dense, through the dense step on
// learn_rows' copy of the model, then (when that defers) the checked form.
template <class Model, class Rows, class Targets>
BulkStatus learn_dense_rows(Model& m, const Rows& rows, Targets y, DenseRow& dense) {
  auto through = [&](auto step) {
    return [&, step](Model& w, std::size_t i) {
      const auto x = rows.row(i);
      auto done = step(w, dense.fill(x, rows.stored_as_is), target_of<Model>(y, i));
      dense.clear(x);
      return done;
    };
  };
  return learn_rows(m, rows.count, through([](Model& w, std::span<const double> x, auto t) {
                      return learn_step<Commit::InPlace>(w, x, t);
                    }),
                    through([](Model& w, std::span<const double> x, auto t) {
                      return w.learn_one_checked(x, t);
                    }));
}

// Asks for a row's entries some way ahead of it, as data used once: a wide
// model's weights alone fill a core's L2 cache, and the rows streaming through
// it would otherwise evict the weights that the next rows need. A hint only:
// it changes no result (and never faults, wherever it points).
template <class T>
[[gnu::always_inline]] inline void stream_ahead(const T* entries, std::size_t size) {
  constexpr std::uintptr_t kAhead = 128 * sizeof(T), kLine = 64;
  const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(entries) + kAhead;
  for (std::uintptr_t line = at & ~(kLine - 1); line < at + size * sizeof(T); line += kLine)
    prefetch_used_once(reinterpret_cast<const void*>(line));
}

// A block of rows on a private model `w` (see SparseLearning). A sparse-exact
// model takes each row's sparse step, which puts back what it wrote when a
// new value is not finite and defers; a deferred row, and every row while the
// model is not sparse-exact, is made dense and takes the dense step, which
// checks before it writes, then (when that defers too) the checked form, which
// absorbs the row or names the error. Nothing ever needs a row run again.
// Rows to verify stop at the first that is not canonical or within bounds
// (see learn_block), on which the sparse step has deferred.
template <class Model, class Rows, class Targets>
BulkStatus learn_private(Model& w, const Rows& rows, Targets y, SparseLearning& run) {
  if (auto refused = refused_width(w, rows)) return *refused;
  if (!sparse_config_allows(w)) return learn_dense_rows(w, rows, y, run.dense);
  if (!run.exact) run.exact = sparse_exact(w);
  bool exact = *run.exact;
  for (std::size_t i = 0; i < rows.count; ++i) {
    const auto x = rows.row(i);
    stream_ahead(x.indices, x.size);
    stream_ahead(x.values, x.size);
    const auto target = target_of<Model>(y, i);
    if (exact) [[likely]] {
      if (run.saved.size() < 2 * x.size) [[unlikely]] run.saved.resize(2 * x.size);
      if (sparse_learn_step(w, x, rows.cols, target, exact, PutBack{run.saved.data()}) ==
          StepOutcome::Done) [[likely]]
        continue;
    }
    // Rows not looked at yet stop at the first that is not canonical or
    // within bounds (the sparse step defers on it), before it changes
    // anything: the caller decides what it is.
    if (unverified_fault(rows, x)) [[unlikely]] {
      run.exact = exact;
      return row_failure(i, Error::unsorted_sparse_features());
    }
    const std::span<const double> dense = run.dense.fill(x, rows.stored_as_is);
    Status absorbed;
    if (exact || learn_step<Commit::CheckThenWrite>(w, dense, target) != StepOutcome::Done)
      absorbed = w.learn_one_checked(dense, target);
    run.dense.clear(x);
    if (!absorbed) {
      run.exact = std::nullopt;  // w is dropped
      return row_failure(i, std::move(absorbed).error());
    }
    exact = sparse_exact(w);
  }
  run.exact = exact;
  return {};
}

// One output per row, `map` applied to each raw output. Over finite weights
// of the rows' width the sum over stored values is the dense sum, and a finite
// one vouches for every check (as in the dense loops); any other row is made
// dense and goes to the checked form, which names its error. A row read in
// place that is not canonical or within bounds sums to NaN (see
// sparse_affine_sum): rows to verify stop there, before its output, with the
// error unsorted_sparse_features; a verified one that a racing writer changed
// since is made dense by its clamped indices.
template <class Model, class Rows, class Out, class Map, class Checked>
BulkStatus predict_sparse(const Model& m, const Rows& rows, std::span<Out> out, Map map,
                          Checked checked) {
  if (auto refused = refused_width(m, rows)) return *refused;
  const std::size_t n = rows.cols;
  const bool exact = n != 0 && n == m.feature_count && m.weights.size() == n &&
                     all_finite(m.weights);
  const double* const w = m.weights.data();
  const double b = m.intercept;
  DenseRow dense(n);
  return each_row(rows.count, [&](std::size_t i) -> Status {
    const auto x = rows.row(i);
    if (exact) [[likely]] {
      // Rows read in place are not asked for ahead: the extra pass over the
      // next row's indices costs them more than it saves (bench_sparse.py).
      if constexpr (std::is_same_v<Rows, SparseRows>) prefetch_next(w, rows, i);
      const double z = sparse_affine_sum(w, x, b);
      if (is_finite(z)) [[likely]] {
        out[i] = static_cast<Out>(map(z));
        return {};
      }
    }
    if (unverified_fault(rows, x)) [[unlikely]]
      return std::unexpected(Error::unsorted_sparse_features());
    auto z = checked(dense.fill(x, rows.stored_as_is));
    dense.clear(x);
    if (!z) return std::unexpected(std::move(z).error());
    out[i] = static_cast<Out>(map(*z));
    return {};
  });
}

template <class Model, class Targets>
BulkStatus learn_committed(Model& m, const SparseRows& rows, Targets y) {
  if (rows.count == 0) return {};
  Model work = m;
  SparseLearning run(rows.cols);
  BulkStatus done = learn_private(work, rows, y, run);
  if (done) m = std::move(work);
  return done;
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
  return learn_committed(m, rows, y);
}
BulkStatus learn_many(LogisticRegression& m, const SparseRows& rows, Flags y) {
  return learn_committed(m, rows, y);
}

template <class Model, class Rows, class Targets>
BulkStatus learn_block(Model& work, const Rows& rows, Targets y, SparseLearning& run) {
  return learn_private(work, rows, y, run);
}

#define DREL_LEARN_BLOCK(Model, Targets)                                                 \
  template BulkStatus learn_block(Model&, const SparseRows&, Targets, SparseLearning&);   \
  template BulkStatus learn_block(Model&, const SharedSparseRows<std::int32_t>&, Targets, \
                                  SparseLearning&);                                        \
  template BulkStatus learn_block(Model&, const SharedSparseRows<std::int64_t>&, Targets, \
                                  SparseLearning&);
DREL_LEARN_BLOCK(LinearRegression, std::span<const double>)
DREL_LEARN_BLOCK(LogisticRegression, Flags)
#undef DREL_LEARN_BLOCK

template <SparseRowKind Rows>
BulkStatus predict_many(const LinearRegression& m, const Rows& rows, std::span<double> out) {
  return predict_sparse(m, rows, out, kRaw,
                        [&m](std::span<const double> x) { return m.predict_one_checked(x); });
}
template <SparseRowKind Rows>
BulkStatus predict_many(const LogisticRegression& m, const Rows& rows,
                        std::span<std::uint8_t> out) {
  return predict_sparse(m, rows, out, kClass,
                        [&m](std::span<const double> x) { return m.logit_checked(x); });
}
template <SparseRowKind Rows>
BulkStatus predict_proba_many(const LogisticRegression& m, const Rows& rows,
                              std::span<double> out) {
  return predict_sparse(m, rows, out, kProbability,
                        [&m](std::span<const double> x) { return m.logit_checked(x); });
}

#define DREL_PREDICT_MANY(Rows)                                                                \
  template BulkStatus predict_many(const LinearRegression&, const Rows&, std::span<double>);   \
  template BulkStatus predict_many(const LogisticRegression&, const Rows&,                     \
                                   std::span<std::uint8_t>);                                   \
  template BulkStatus predict_proba_many(const LogisticRegression&, const Rows&, std::span<double>);
DREL_PREDICT_MANY(SparseRows)
DREL_PREDICT_MANY(SharedSparseRows<std::int32_t>)
DREL_PREDICT_MANY(SharedSparseRows<std::int64_t>)
#undef DREL_PREDICT_MANY

}  // namespace drel
