#include "bound_classes.hpp"

#include <string>

#include "linear/linear_regression.hpp"
#include "linear/logistic_regression.hpp"
#include "pipeline/pipeline.hpp"
#include "preprocessing/standard_scaler.hpp"
#include "stats/ewmean.hpp"
#include "stats/mean.hpp"
#include "stats/variance.hpp"

namespace drel::py {
namespace {

// Strong references, set once by bind_drel_ml_classes and never released: the
// classes of drel_ml live as long as the process does.
template <class Core>
PyTypeObject* bound_class = nullptr;

template <class Core>
int bind_one(PyObject* module, const char* name) {
  Ref attr = Ref::steal(PyObject_GetAttrString(module, name));
  if (!attr) return -1;
  if (!PyType_Check(attr.get())) {
    PyErr_Format(PyExc_ImportError, "drel_ml.%s is not a class", name);
    return -1;
  }
  auto* type = reinterpret_cast<PyTypeObject*>(attr.get());
  const auto expected = static_cast<Py_ssize_t>(sizeof(Instance<Core>));
  if (type->tp_basicsize != expected) {
    PyErr_Format(PyExc_ImportError,
                 "drel_ml_ext does not match the installed drel_ml: its %s instances are %zd "
                 "bytes, this build expects %zd; reinstall both from one distribution",
                 name, type->tp_basicsize, expected);
    return -1;
  }
  if (bound_class<Core> == nullptr) bound_class<Core> = reinterpret_cast<PyTypeObject*>(attr.release());
  return 0;
}

}  // namespace

int bind_drel_ml_classes() {
  Ref module = Ref::steal(PyImport_ImportModule("drel_ml"));
  if (!module) return -1;
  if (bind_one<Mean>(module.get(), "Mean") != 0 ||
      bind_one<Variance>(module.get(), "Variance") != 0 ||
      bind_one<ExponentiallyWeightedMean>(module.get(), "EWMean") != 0 ||
      bind_one<StandardScalerState>(module.get(), "StandardScaler") != 0 ||
      bind_one<LinearRegression>(module.get(), "LinearRegression") != 0 ||
      bind_one<LogisticRegression>(module.get(), "LogisticRegression") != 0 ||
      bind_one<RegressionPipeline>(module.get(), "RegressionPipeline") != 0 ||
      bind_one<ClassificationPipeline>(module.get(), "ClassificationPipeline") != 0)
    return -1;
  return 0;
}

// Objects this extension creates are instances of drel_ml's own classes.
template <> PyTypeObject* class_object<Mean>() { return bound_class<Mean>; }
template <> PyTypeObject* class_object<Variance>() { return bound_class<Variance>; }
template <> PyTypeObject* class_object<ExponentiallyWeightedMean>() {
  return bound_class<ExponentiallyWeightedMean>;
}
template <> PyTypeObject* class_object<StandardScalerState>() {
  return bound_class<StandardScalerState>;
}
template <> PyTypeObject* class_object<LinearRegression>() { return bound_class<LinearRegression>; }
template <> PyTypeObject* class_object<LogisticRegression>() {
  return bound_class<LogisticRegression>;
}
template <> PyTypeObject* class_object<RegressionPipeline>() {
  return bound_class<RegressionPipeline>;
}
template <> PyTypeObject* class_object<ClassificationPipeline>() {
  return bound_class<ClassificationPipeline>;
}

}  // namespace drel::py
