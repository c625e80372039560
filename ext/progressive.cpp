// _progressive_validation(model, X, y, metrics, every, checkpoints, delay):
// the native pass behind drel_ml_ext.progressive_validation, which checks and
// normalises the arguments; this function trusts none of them either.
//
// The model and every metric are borrowed exclusively for the call; the pass
// runs on copies of them without the interpreter lock, a block of rows at a
// time, and the copies are committed only after the last label has arrived.
// A rejected row (core error or conversion failure) changes nothing.
#include <vector>

#include "bulk_columns.hpp"
#include "bulk_errors.hpp"
#include "bulk_result.hpp"
#include "bulk_rows.hpp"
#include "instance_arg.hpp"
#include "metrics/progressive.hpp"
#include "progressive_args.hpp"
#include "units.hpp"
#include "without_gil.hpp"

namespace drel::py {
namespace {

constexpr ArgSpec kProgressive{"progressive_validation()", {"model", "X", "y"}, 3};
constexpr Py_ssize_t kArity = 7;

bool read_counts(PyObject* tuple, std::vector<std::uint64_t>& out) {
  if (!PyTuple_CheckExact(tuple)) {
    PyErr_SetString(PyExc_TypeError, "progressive_validation() checkpoints must be a tuple");
    return false;
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i) {
    std::uint64_t n = 0;
    if (!to_count(PyTuple_GET_ITEM(tuple, i), n)) return false;
    if (n == 0 || (!out.empty() && n <= out.back())) {
      PyErr_SetString(PyExc_ValueError,
                      "progressive_validation() checkpoints must be increasing positive counts");
      return false;
    }
    out.push_back(n);
  }
  return true;
}

PyObject* curve_lists(const std::vector<std::uint64_t>& at,
                      const std::vector<std::optional<double>>& values, std::size_t metrics) {
  Ref points = Ref::steal(PyList_New(static_cast<Py_ssize_t>(at.size())));
  Ref curve = Ref::steal(PyList_New(static_cast<Py_ssize_t>(metrics)));
  if (!points || !curve) return nullptr;
  for (std::size_t k = 0; k < at.size(); ++k) {
    PyObject* n = PyLong_FromUnsignedLongLong(at[k]);
    if (n == nullptr) return nullptr;
    PyList_SET_ITEM(points.get(), static_cast<Py_ssize_t>(k), n);
  }
  for (std::size_t m = 0; m < metrics; ++m) {
    PyObject* series = PyList_New(static_cast<Py_ssize_t>(at.size()));
    if (series == nullptr) return nullptr;
    PyList_SET_ITEM(curve.get(), static_cast<Py_ssize_t>(m), series);
    for (std::size_t k = 0; k < at.size(); ++k) {
      const std::optional<double>& v = values[k * metrics + m];
      PyObject* item = v ? PyFloat_FromDouble(*v) : Py_NewRef(Py_None);
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(series, static_cast<Py_ssize_t>(k), item);
    }
  }
  return PyTuple_Pack(2, points.get(), curve.get());
}

template <class Model>
PyObject* validate_on(Instance<Model>& instance, PyObject* const* args) {
  using Run = ProgressiveValidation<Model>;
  constexpr bool classifier = is_classifier<Model>;
  std::uint64_t every = 0, delay = 0;
  std::vector<std::uint64_t> at;
  if (!to_count(args[4], every) || !read_counts(args[5], at) || !to_count(args[6], delay))
    return nullptr;
  Borrow<Access::Exclusive> borrow(instance.borrow);
  if (!borrow) return nullptr;
  MetricArgs metrics;
  if (!read_metrics("progressive_validation()", args[3], metrics, classifier)) return nullptr;

  RowReader rows;
  ColumnReader<typename Run::TargetColumn> targets("y");
  Conversion conversion;
  if (!rows.open(args[1]) || !targets.open(args[2]) ||
      !convert_inputs(rows, &targets, conversion))
    return nullptr;
  const std::size_t n = conversion.count;
  BulkResult predictions;
  if (!predictions.allocate(ResultKind::Real, n)) return nullptr;

  Model model = instance.value;
  Run run(model, metrics.work, static_cast<std::size_t>(delay), Checkpoints{every, at});
  const std::size_t block = std::min(rows.block_rows(), targets.block_rows());
  SignalPoll signals;
  const BulkStatus status = without_gil([&]() -> BulkStatus {
    for (std::size_t first = 0; first < n; first += block) {
      // Ctrl-C between two blocks stops the pass; nothing is committed.
      if (first > 0 && signals.interrupted()) [[unlikely]] return {};
      const std::size_t count = std::min(block, n - first);
      DREL_TRY(run.run(rows.rows(first, count), targets.values(first, count), first,
                       predictions.reals().subspan(first, count)));
    }
    // Labels still due after a row that failed to convert never arrive.
    if (signals.raised()) return {};
    return conversion.failure ? BulkStatus{} : run.finish();
  });
  if (signals.raised()) return nullptr;
  if (!status) return raise_core_row_error(status.error());
  if (conversion.failure) return raise_row_failure(std::move(*conversion.failure));

  Ref curve = Ref::steal(curve_lists(run.read_at(), run.values(), metrics.objects.size()));
  if (!curve) return nullptr;
  Ref result = Ref::steal(predictions.release());
  if (!result) return nullptr;
  // Nothing can fail from here on: commit the model and every metric.
  instance.value = std::move(model);
  commit_metrics(metrics);
  return PyTuple_Pack(3, result.get(), PyTuple_GET_ITEM(curve.get(), 0),
                      PyTuple_GET_ITEM(curve.get(), 1));
}

PyObject* progressive_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    if (nargs != kArity || kwnames != nullptr) {
      PyErr_Format(PyExc_TypeError,
                   "_progressive_validation() takes exactly %zd positional arguments", kArity);
      return nullptr;
    }
    ArgSlots slots;
    slots.values = args;
    return visit_instance(
        Accepts<LinearRegression, LogisticRegression, RegressionPipeline,
                ClassificationPipeline>{},
        kProgressive, slots, 0, [&](auto& instance) { return validate_on(instance, args); });
  });
}

const PyMethodDef progressive_table[] = {
    {"_progressive_validation", as_cfunction(&progressive_entry), METH_FASTCALL | METH_KEYWORDS,
     "_progressive_validation(model, X, y, metrics, every, checkpoints, delay, /)\n--\n\n"
     "The native pass of drel_ml_ext.progressive_validation; call that instead."},
};

}  // namespace

std::span<const PyMethodDef> progressive_functions() { return progressive_table; }

}  // namespace drel::py
