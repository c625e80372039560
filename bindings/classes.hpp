// The module's nine classes, in registration order.
#pragma once

#include "instance.hpp"

namespace drel {
struct Mean;
struct Variance;
struct ExponentiallyWeightedMean;
struct StandardScalerState;
struct LinearRegression;
struct LogisticRegression;
struct RegressionPipeline;
struct ClassificationPipeline;
}  // namespace drel

namespace drel::py {

template <> PyTypeObject* class_object<Mean>();
template <> PyTypeObject* class_object<Variance>();
template <> PyTypeObject* class_object<ExponentiallyWeightedMean>();
template <> PyTypeObject* class_object<StandardScalerState>();
template <> PyTypeObject* class_object<LinearRegression>();
template <> PyTypeObject* class_object<LogisticRegression>();
template <> PyTypeObject* class_object<RegressionPipeline>();
template <> PyTypeObject* class_object<ClassificationPipeline>();
PyTypeObject* snapshot_class_object();

}  // namespace drel::py
