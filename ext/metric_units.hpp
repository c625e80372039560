// The metric classes of the companion extension (metric_classes.cpp).
#pragma once

#include "instance.hpp"
#include "metrics/rolling_metric.hpp"
#include "python.hpp"

namespace drel::py {

#define DREL_DECLARE_METRIC_CLASS_(Core, Name) template <> PyTypeObject* class_object<Core>();
DREL_METRICS(DREL_DECLARE_METRIC_CLASS_)
#undef DREL_DECLARE_METRIC_CLASS_
template <> PyTypeObject* class_object<RollingMetric>();

// Adds every metric class to the module; -1 with an exception set on failure.
int add_metric_classes(PyObject* module);

}  // namespace drel::py
