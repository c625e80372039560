// The metric classes of the companion extension (metric_classes.cpp).
#pragma once

#include <string_view>

#include "bindings/classes.hpp"
#include "bindings/instance.hpp"
#include "metrics/rolling_metric.hpp"
#include "bindings/python.hpp"

namespace drel::py {

#define DREL_DECLARE_METRIC_CLASS_(Core, Name) template <> PyTypeObject* class_object<Core>();
DREL_METRICS(DREL_DECLARE_METRIC_CLASS_)
#undef DREL_DECLARE_METRIC_CLASS_
template <> PyTypeObject* class_object<RollingMetric>();

// Their names, as the snapshot members (to_json, from_json) name them.
#define DREL_METRIC_MODULE_NAME_(Core, Name) \
  template <>                                \
  inline constexpr std::string_view module_name<Core>{Name};
DREL_METRICS(DREL_METRIC_MODULE_NAME_)
#undef DREL_METRIC_MODULE_NAME_
template <>
inline constexpr std::string_view module_name<RollingMetric>{"Rolling"};

// Whether o is one of the metric classes themselves (Rolling included).
inline bool is_metric_class(PyObject* o) {
#define DREL_IS_METRIC_CLASS_(Core, Name) o == reinterpret_cast<PyObject*>(class_object<Core>()) ||
  return DREL_METRICS(DREL_IS_METRIC_CLASS_) o ==
         reinterpret_cast<PyObject*>(class_object<RollingMetric>());
#undef DREL_IS_METRIC_CLASS_
}

// Adds every metric class to the module; -1 with an exception set on failure.
int add_metric_classes(PyObject* module);

}  // namespace drel::py
