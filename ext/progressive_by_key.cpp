// _progressive_validation_by_key(models, X, y, offsets, metrics, delay):
// progressive validation of many models in one pass over rows grouped by key.
// Rows offsets[k]:offsets[k + 1] go to models[k], scored by the metrics of the
// tuple metrics[k], exactly as progressive_validation(models[k],
// X[offsets[k]:offsets[k + 1]], y[offsets[k]:offsets[k + 1]], metrics[k],
// delay=delay) would score them; a key's labels still due arrive at the end of
// its rows.
//
// X and y are converted once; every model and metric is borrowed exclusively
// for the call, the pass runs on copies without the interpreter lock, and the
// copies are committed only when every key has taken every row: a rejected
// row changes nothing. Returns the predictions, one per row of X.
#include <optional>
#include <vector>

#include "bulk_columns.hpp"
#include "bulk_result.hpp"
#include "by_key.hpp"
#include "bindings/frame.hpp"
#include "bindings/guard.hpp"
#include "metrics/progressive.hpp"
#include "progressive_args.hpp"
#include "units.hpp"
#include "without_gil.hpp"

namespace drel::py {
namespace {

using by_key::KeyedError;
using by_key::KeySpec;

constexpr KeySpec kByKey{"_progressive_validation_by_key()",
                         {"models", "X", "y", "offsets"},
                         6};

using Validated = TypeList<LinearRegression, LogisticRegression, RegressionPipeline,
                           ClassificationPipeline>;

// metrics[k] for every key, one tuple each, read into one flat list: key k's
// metrics are work[first[k]:first[k + 1]].
bool read_key_metrics(PyObject* metrics, std::size_t keys, bool classifier, MetricArgs& out,
                      std::vector<std::size_t>& first) {
  if (!PyTuple_CheckExact(metrics) || static_cast<std::size_t>(PyTuple_GET_SIZE(metrics)) != keys) {
    PyErr_Format(PyExc_TypeError, "%s metrics must be a tuple of %zu tuples, one per model",
                 kByKey.full_name, keys);
    return false;
  }
  first.assign(1, 0);
  for (std::size_t k = 0; k < keys; ++k) {
    if (!read_metrics(kByKey.full_name, PyTuple_GET_ITEM(metrics, k), out, classifier))
      return false;
    first.push_back(out.work.size());
  }
  return true;
}

template <class Model>
PyObject* validate_by_key(PyObject* items, PyObject* const* args) {
  using Run = ProgressiveValidation<Model>;
  using TargetColumn = typename Run::TargetColumn;
  const std::size_t keys = static_cast<std::size_t>(PyTuple_GET_SIZE(items));
  if (!by_key::all_of_class<Model>(kByKey, items)) return nullptr;
  std::uint64_t delay = 0;
  if (!to_count(args[5], delay)) return nullptr;
  std::vector<std::size_t> offsets;
  if (!by_key::read_offsets(kByKey, args[3], keys, offsets)) return nullptr;
  by_key::Borrowed<Model> borrowed;
  if (!borrowed.take(kByKey, items)) return nullptr;
  MetricArgs metrics;
  std::vector<std::size_t> first_metric;
  if (!read_key_metrics(args[4], keys, is_classifier<Model>, metrics, first_metric))
    return nullptr;

  RowReader rows;
  ColumnReader<TargetColumn> targets("y");
  Conversion conversion;
  if (!rows.open(args[1]) || !targets.open(args[2]) ||
      !convert_inputs(rows, &targets, conversion))
    return nullptr;
  const std::size_t n = conversion.count;
  if (!conversion.failure && !by_key::offsets_cover(kByKey, offsets, n)) return nullptr;
  BulkResult predictions;
  if (!predictions.allocate(ResultKind::Real, n)) return nullptr;
  const std::span<double> out = predictions.reals();

  const auto instances = borrowed.instances();
  std::vector<Model> work;
  work.reserve(keys);
  for (Instance<Model>* instance : instances) work.push_back(instance->value);
  struct View {
    Rows rows;
    std::span<const TargetColumn> y;
    std::size_t first;
  };
  // Keys run one after another; only the last key of a block goes on into
  // the next, so one pass is open at a time.
  std::optional<Run> open;
  std::size_t open_key = 0;
  SignalPoll signals;
  const auto status = without_gil([&]() -> std::expected<void, KeyedError> {
    return by_key::learn_keys(
        work, offsets, n, std::min(rows.block_rows(), targets.block_rows()), signals,
        [&](std::size_t first, std::size_t count) {
          return View{rows.rows(first, count), targets.values(first, count), first};
        },
        [&](Model& model, const View& view, std::size_t lo, std::size_t count) -> BulkStatus {
          const auto k = static_cast<std::size_t>(&model - work.data());
          if (!open || open_key != k) {
            const std::span<AnyMetric> mine = std::span(metrics.work)
                                                  .subspan(first_metric[k],
                                                           first_metric[k + 1] - first_metric[k]);
            open.emplace(model, mine, static_cast<std::size_t>(delay), Checkpoints{});
            open_key = k;
          }
          // The pass names rows of the whole call; learn_keys wants them from
          // `row`, the first of the slice, and adds it back (modulo 2^64, so a
          // pending row before the slice comes out right too).
          const std::size_t row = view.first + lo;
          BulkStatus done = open->run(by_key::slice(view.rows, lo, count),
                                      view.y.subspan(lo, count), row, out.subspan(row, count));
          if (done && row + count == offsets[k + 1]) done = open->finish();
          if (!done) done.error().row -= row;
          return done;
        });
  });
  if (signals.raised()) return nullptr;
  if (!status) {
    by_key::raise_keyed_error(kByKey, status.error());
    return nullptr;
  }
  if (!finished(BulkStatus{}, conversion)) return nullptr;
  Ref result = Ref::steal(predictions.release());
  if (!result) return nullptr;
  // Nothing can fail from here on: commit every model and every metric.
  for (std::size_t k = 0; k < keys; ++k) instances[k]->value = std::move(work[k]);
  commit_metrics(metrics);
  return result.release();
}

PyObject* by_key_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != kByKey.count) {
      PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments (%zd given)",
                   kByKey.full_name, kByKey.count, nargs);
      return nullptr;
    }
    Ref items = by_key::object_tuple(kByKey, args[0]);
    if (!items) return nullptr;
    return by_key::by_first_class(Validated{}, kByKey, items.get(), [&]<class Model>() {
      return validate_by_key<Model>(items.get(), args);
    });
  });
}

const PyMethodDef by_key_table[] = {
    {"_progressive_validation_by_key", as_cfunction(&by_key_entry), METH_FASTCALL,
     "_progressive_validation_by_key(models, X, y, offsets, metrics, delay, /)\n--\n\n"
     "Progressive validation of models[k] on rows offsets[k]:offsets[k + 1], scored by\n"
     "the tuple metrics[k], for every k in one pass; the predictions of all rows.\n"
     "The native pass of drel_ml_ext.dask.evaluate_by_key."},
};

}  // namespace

std::span<const PyMethodDef> progressive_by_key_functions() { return by_key_table; }

}  // namespace drel::py
