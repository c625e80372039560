#include "progressive_args.hpp"

#include "instance_arg.hpp"
#include "metric_units.hpp"

namespace drel::py {
namespace {

template <class Core>
bool take_metric(PyObject* o, MetricArgs& out, bool& failed) {
  if (!Py_IS_TYPE(o, class_object<Core>())) return false;
  auto* instance = instance_of<Core>(o);
  if (!out.borrows.emplace_back(instance->borrow)) {
    failed = true;
    return true;
  }
  out.work.emplace_back(instance->value);
  return true;
}

// Moves a metric's work value back into its instance.
template <class Core>
bool commit_metric(PyObject* o, AnyMetric&& value) {
  if (!Py_IS_TYPE(o, class_object<Core>())) return false;
  instance_of<Core>(o)->value = std::get<Core>(std::move(value));
  return true;
}

}  // namespace

bool read_metrics(const char* caller, PyObject* metrics, MetricArgs& out, bool classifier) {
  if (!PyTuple_CheckExact(metrics)) {
    PyErr_Format(PyExc_TypeError, "%s metrics must be a tuple", caller);
    return false;
  }
  const std::size_t start = out.objects.size();  // this tuple's first in `out`
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(metrics); ++i) {
    PyObject* o = PyTuple_GET_ITEM(metrics, i);
    bool failed = false;
#define DREL_TAKE_(Core, Name) take_metric<Core>(o, out, failed) ||
    const bool known = DREL_METRICS(DREL_TAKE_) take_metric<RollingMetric>(o, out, failed);
#undef DREL_TAKE_
    if (failed) {
      // One metric given twice is refused by its borrow; say so plainly.
      for (std::size_t j = 0; j < out.objects.size(); ++j) {
        if (out.objects[j] != o) continue;
        if (j >= start) {
          PyErr_Format(PyExc_ValueError, "%s metric %zd is metric %zu: pass each metric once",
                       caller, i, j - start);
        } else {
          PyErr_Format(PyExc_ValueError, "%s metric %zd is given twice: pass each metric once",
                       caller, i);
        }
        break;
      }
      return false;
    }
    if (!known) {
      PyErr_Format(PyExc_TypeError,
                   "%s metric %zd must be a metric of drel_ml_ext.metrics, not '%s'%s", caller, i,
                   Py_TYPE(o)->tp_name, class_itself_note(o, is_metric_class(o)).c_str());
      return false;
    }
    if (metric_scores_classes(out.work.back()) != classifier) {
      PyErr_Format(PyExc_TypeError, "%s metric %zd (%s) scores %s, but the model is a %s",
                   caller, i, Py_TYPE(o)->tp_name, classifier ? "real predictions" : "classes",
                   classifier ? "classifier" : "regressor");
      return false;
    }
    out.objects.push_back(o);
  }
  return true;
}

void commit_metrics(MetricArgs& metrics) {
  for (std::size_t i = 0; i < metrics.objects.size(); ++i) {
    PyObject* o = metrics.objects[i];
    AnyMetric&& value = std::move(metrics.work[i]);
#define DREL_COMMIT_(Core, Name) commit_metric<Core>(o, std::move(value)) ||
    DREL_METRICS(DREL_COMMIT_) commit_metric<RollingMetric>(o, std::move(value));
#undef DREL_COMMIT_
  }
}

}  // namespace drel::py
