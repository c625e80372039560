// The loops every bulk operation runs its rows through, dense or sparse.
#pragma once

#include <cstddef>
#include <utility>

#include "bulk/bulk.hpp"
#include "common/step_outcome.hpp"
#include "linear/logistic_regression.hpp"

namespace drel::bulk_loops {

inline BulkStatus row_failure(std::size_t row, Error error) {
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

// As learn_rows, for a fast form that takes a run of rows at once:
// `run(work, i)` learns rows from i on until one it would defer and returns
// that row's index (count when none), the row itself untouched; the checked
// form decides it, and the run goes on after it.
template <class State, class Run, class Checked>
BulkStatus learn_runs(State& state, std::size_t count, Run run, Checked checked) {
  if (count == 0) return {};
  State work = state;
  for (std::size_t i = run(work, 0); i < count; i = run(work, i + 1)) {
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

constexpr auto kRaw = [](double z) { return z; };
constexpr auto kClass = [](double z) { return positive_class(z); };
constexpr auto kProbability = [](double z) { return logistic(z); };

}  // namespace drel::bulk_loops
