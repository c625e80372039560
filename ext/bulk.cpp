// learn_many, predict_many, predict_proba_many, transform_many, update_many:
// whole arrays through the core with the interpreter lock released.
//
// Every call: check the first argument's exact class, borrow the instance for
// the whole call (exclusively to learn or update, shared to read), convert the
// inputs as a row-by-row loop would (buffers in place), then run the core
// without the lock. The core works on a private copy of the state and commits
// it once; when row k failed to convert, it first runs rows [0, k) on a copy,
// so that a core error before k is the error raised, as in the loop. Between
// blocks of rows, a pending signal (Ctrl-C) is looked for: its exception is
// raised and the state is left as it was.
#include <algorithm>
#include <cstdint>
#include <type_traits>

#include "bulk/bulk.hpp"
#include "bulk_columns.hpp"
#include "bulk_docs.hpp"
#include "bulk_result.hpp"
#include "bulk_roles.hpp"
#include "bulk_run.hpp"
#include "bulk_rows.hpp"
#include "instance_arg.hpp"
#include "units.hpp"
#include "without_gil.hpp"

namespace drel::py {
namespace {

// Runs learn(work, first, count) over the converted rows without the
// interpreter lock. The core commits each run of rows into `work`; with more
// than one block, `work` is a copy of the state that is committed once, after
// the last row. Rows before a conversion failure run on a copy too, which is
// dropped: the call changes nothing then, nor when a signal stops it. A core
// that leaves its model part-way when it fails (kCoreCommits false) always
// gets the copy.
template <bool kCoreCommits = true, class Core, class Learn>
PyObject* change_state(Core& state, Conversion& conversion, std::size_t block, Learn&& learn) {
  BulkStatus status;
  SignalPoll signals;
  const std::size_t n = conversion.count;
  if (n > 0) {
    status = without_gil([&]() -> BulkStatus {
      if (kCoreCommits && !conversion.failure && block >= n) return learn(state, 0, n);
      Core work = state;
      BulkStatus done = over_blocks(n, block, signals, [&](std::size_t first, std::size_t count) {
        return learn(work, first, count);
      });
      if (done && !conversion.failure && !signals.raised()) state = std::move(work);
      return done;
    });
  }
  if (signals.raised() || !finished(status, conversion)) return nullptr;
  Py_RETURN_NONE;
}

// Runs f(block, at) over rows [first, first + count) of sparse X, as
// visit_sparse_rows gives them (`at`: the block's first row). Rows that X's
// reader has not looked at yet stop at the first that is not canonical or
// within bounds: X is looked at whole then, and the run either stops (X is
// invalid, which raise_if_invalid then says) or goes on from that row with
// rows put in order. Rows of the error are counted from `first`.
template <class F>
BulkStatus over_sparse_rows(RowReader& rows, std::size_t first, std::size_t count, F&& f) {
  SparseMatrix& matrix = rows.sparse_matrix();
  for (std::size_t from = 0;;) {
    BulkStatus status = rows.visit_sparse_rows(
        first + from, count - from, [&](const auto& block) { return f(block, first + from); });
    if (status) return status;
    status.error().row += from;
    if (!matrix.verify_pending() ||
        !status.error().error.template is<error_kind::UnsortedSparseFeatures>() ||
        !matrix.verify_now())
      return status;
    from = status.error().row;
  }
}

// Opens X for a call on `core`. When the core reads sparse X as it is
// stored and its rows cost their stored values, X's indices are looked at as
// the rows reach them (see over_sparse_rows); otherwise X is looked at whole
// now, as ever.
template <class Core>
bool open_x(RowReader& rows, PyObject* X, const Core& core, bool learning,
            bool& by_stored_values) {
  if constexpr (!ReadsSparse<Core>) {
    return rows.open(X);
  } else {
    if (!rows.open(X, true)) return false;
    if (!rows.sparse()) return true;
    by_stored_values = sparse_rows_cost_stored_values(core, learning);
    return by_stored_values || !rows.sparse_matrix().raise_if_invalid();
  }
}

// Runs compute(value, rows, first, result) over the converted rows of X, a
// block at a time, into one result array, without the interpreter lock.
template <class Core, class Compute>
PyObject* compute_rows(Instance<Core>& instance, PyObject* X, ResultKind kind,
                       std::optional<std::size_t> width, Compute&& compute) {
  Borrow<Access::Shared> borrow(instance.borrow);
  if (!borrow) return nullptr;
  RowReader rows;
  Conversion conversion;
  bool by_stored_values = false;
  if (!open_x(rows, X, instance.value, false, by_stored_values)) return nullptr;
  // X's own error comes first, as when it was looked at on opening.
  auto fail = [&]() -> PyObject* {
    if (rows.sparse()) rows.sparse_matrix().raise_if_invalid();
    return nullptr;
  };
  if (!convert_inputs(rows, nullptr, conversion)) return fail();
  BulkResult result;
  if (!result.allocate(kind, conversion.count, width)) return fail();
  BulkStatus status;
  SignalPoll signals;
  // Sparse X reaches a core that reads it as it is stored (in place where X
  // allows), else dense rows.
  auto run = [&](std::size_t block, auto each_block) {
    return without_gil(
        [&] { return over_blocks(conversion.count, block, signals, each_block); });
  };
  auto dense = [&](std::size_t first, std::size_t count) {
    return compute(instance.value, rows.rows(first, count), first, result);
  };
  if (!(ReadsSparse<Core> && rows.sparse()) && !rows.reserve_dense()) return nullptr;
  if (conversion.count > 0) {
    if constexpr (ReadsSparse<Core>) {
      status = rows.sparse() ? run(rows.sparse_block_rows(by_stored_values),
                                   [&](std::size_t first, std::size_t count) {
                                     return over_sparse_rows(
                                         rows, first, count,
                                         [&](const auto& block, std::size_t at) {
                                           return compute(instance.value, block, at, result);
                                         });
                                   })
                             : run(rows.block_rows(), dense);
    } else {
      status = run(rows.block_rows(), dense);
    }
  }
  if (signals.raised()) return fail();
  return finished(status, conversion) ? result.release() : fail();
}

// ---- learn_many ----

constexpr ArgSpec kLearnMany{"learn_many()", {"model", "X", "y"}, 3};

template <class Core>
PyObject* class_name() {
  return PyType_GetName(class_object<Core>());
}

// y is required by the models and refused by the scaler; None counts as absent.
template <class Core>
bool targets_as_expected(PyObject* y) {
  const bool given = y != nullptr && y != Py_None;
  constexpr bool wanted = !std::is_void_v<typename TargetOf<Core>::type>;
  if (given == wanted) return true;
  Ref name = Ref::steal(class_name<Core>());
  if (!name) return false;
  if (wanted) {
    PyErr_Format(PyExc_TypeError,
                 "learn_many() missing required argument 'y': a %U learns from X and y", name.get());
  } else {
    PyErr_Format(PyExc_TypeError,
                 "learn_many() got y, but a %U learns from X alone: leave y out", name.get());
  }
  return false;
}

// learn_many of a model that reads sparse X as it is stored. Its blocks run
// in place on one private copy of the model for the whole call (kept up by
// `run`), over X's rows as over_sparse_rows gives them.
template <class Core, class Targets>
PyObject* learn_sparse_x(Core& state, RowReader& rows, Targets& targets, Conversion& conversion,
                         bool by_stored_values) {
  SparseLearning run(rows.sparse_cols(), by_stored_values);
  PyObject* done = change_state<false>(
      state, conversion,
      std::min(rows.sparse_block_rows(by_stored_values), targets.block_rows()),
      [&](Core& work, std::size_t first, std::size_t count) -> BulkStatus {
        return over_sparse_rows(rows, first, count, [&](const auto& block, std::size_t at) {
          return learn_block(work, block, targets.values(at, block.count), run);
        });
      });
  if (done == nullptr) rows.sparse_matrix().raise_if_invalid();
  return done;
}

template <class Core>
PyObject* learn_on(Instance<Core>& instance, PyObject* X, PyObject* y) {
  using Target = typename TargetOf<Core>::type;
  if (!targets_as_expected<Core>(y)) return nullptr;
  Borrow<Access::Exclusive> borrow(instance.borrow);
  if (!borrow) return nullptr;
  RowReader rows;
  Conversion conversion;
  if constexpr (std::is_void_v<Target>) {
    if (!rows.open(X) || !convert_inputs(rows, nullptr, conversion) || !rows.reserve_dense())
      return nullptr;
    return change_state(instance.value, conversion, rows.block_rows(),
                        [&](Core& work, std::size_t first, std::size_t count) {
                          return learn_many(work, rows.rows(first, count));
                        });
  } else {
    // A sparse-exact model's rows are looked at as they are learned (see
    // bulk_sparse.hpp); any other's as X is opened, as ever.
    constexpr bool kReadsSparse = ReadsSparse<Core>;
    bool by_stored_values = false;
    if (!open_x(rows, X, instance.value, true, by_stored_values)) return nullptr;
    ColumnReader<Target> targets("y");
    if (!targets.open(y) || !convert_inputs(rows, &targets, conversion)) {
      if (rows.sparse()) rows.sparse_matrix().raise_if_invalid();  // X's error first
      return nullptr;
    }
    if constexpr (kReadsSparse) {
      if (rows.sparse())
        return learn_sparse_x(instance.value, rows, targets, conversion, by_stored_values);
    }
    if (!rows.reserve_dense()) return nullptr;
    return change_state(instance.value, conversion,
                        std::min(rows.block_rows(), targets.block_rows()),
                        [&](Core& work, std::size_t first, std::size_t count) {
                          return learn_many(work, rows.rows(first, count),
                                            targets.values(first, count));
                        });
  }
}

PyObject* learn_many_entry(const ArgSlots& args) {
  return visit_instance(
      Learners{}, kLearnMany, args, 0,
      [&](auto& instance) { return learn_on(instance, args.values[1], args.values[2]); });
}

// ---- predict_many, predict_proba_many, transform_many ----

constexpr ArgSpec kPredictMany{"predict_many()", {"model", "X"}, 2};
constexpr ArgSpec kPredictProbaMany{"predict_proba_many()", {"classifier", "X"}, 2};
constexpr ArgSpec kTransformMany{"transform_many()", {"scaler", "X"}, 2};

PyObject* predict_many_entry(const ArgSlots& args) {
  return visit_instance(
      Predictors{}, kPredictMany, args, 0, [&]<class Core>(Instance<Core>& instance) {
        constexpr bool classifier = std::is_same_v<typename TargetOf<Core>::type, std::uint8_t>;
        return compute_rows(instance, args.values[1],
                            classifier ? ResultKind::Flag : ResultKind::Real, std::nullopt,
                            [](const Core& model, const auto& rows, std::size_t first,
                               BulkResult& out) {
                              if constexpr (classifier) {
                                return predict_many(model, rows,
                                                    out.flags().subspan(first, rows.count));
                              } else {
                                return predict_many(model, rows,
                                                    out.reals().subspan(first, rows.count));
                              }
                            });
      });
}

PyObject* predict_proba_many_entry(const ArgSlots& args) {
  return visit_instance(Classifiers{}, kPredictProbaMany,
                        args, 0, [&]<class Core>(Instance<Core>& instance) {
                          return compute_rows(
                              instance, args.values[1], ResultKind::Real, std::nullopt,
                              [](const Core& model, const auto& rows, std::size_t first,
                                 BulkResult& out) {
                                return predict_proba_many(model, rows,
                                                          out.reals().subspan(first, rows.count));
                              });
                        });
}

PyObject* transform_many_entry(const ArgSlots& args) {
  return visit_instance(Transformers{}, kTransformMany, args, 0,
                        [&](Instance<StandardScalerState>& instance) {
                          const auto width = static_cast<std::size_t>(instance.value.feature_count);
                          return compute_rows(
                              instance, args.values[1], ResultKind::Real, width,
                              [width](const StandardScalerState& s, const Rows& rows,
                                      std::size_t first, BulkResult& out) {
                                return transform_many(
                                    s, rows, out.reals().subspan(first * width, rows.count * width));
                              });
                        });
}

// ---- update_many ----

constexpr ArgSpec kUpdateMany{"update_many()", {"statistic", "xs"}, 2};

PyObject* update_many_entry(const ArgSlots& args) {
  return visit_instance(
      Statistics{}, kUpdateMany, args, 0,
      [&]<class Core>(Instance<Core>& instance) -> PyObject* {
        Borrow<Access::Exclusive> borrow(instance.borrow);
        if (!borrow) return nullptr;
        ColumnReader<double> values("xs");
        Conversion conversion;
        if (!values.open(args.values[1]) || !convert_inputs(values, nullptr, conversion))
          return nullptr;
        return change_state(instance.value, conversion, values.block_rows(),
                            [&](Core& work, std::size_t first, std::size_t count) {
                              return update_many(work, values.values(first, count));
                            });
      });
}

const PyMethodDef bulk_table[] = {
    function_def<kLearnMany, &learn_many_entry, true>("learn_many", bulk_docs::kLearnMany),
    function_def<kPredictMany, &predict_many_entry>("predict_many", bulk_docs::kPredictMany),
    function_def<kPredictProbaMany, &predict_proba_many_entry>("predict_proba_many",
                                                               bulk_docs::kPredictProbaMany),
    function_def<kTransformMany, &transform_many_entry>("transform_many",
                                                        bulk_docs::kTransformMany),
    function_def<kUpdateMany, &update_many_entry>("update_many", bulk_docs::kUpdateMany),
};

}  // namespace

std::span<const PyMethodDef> bulk_functions() { return bulk_table; }

}  // namespace drel::py
