// The C++ entry points of drel_ml, in one include:
//
//   statistics     drel::Mean, drel::ExponentiallyWeightedMean, drel::Variance
//   preprocessing  drel::StandardScaler (drel::StandardScalerState)
//   models         drel::LinearRegression, drel::LogisticRegression, with
//                  drel::Optimizer (Sgd | AdaGrad) and the losses
//   pipelines      drel::RegressionPipeline, drel::ClassificationPipeline
//   configuration  drel::make_linear_regression, ... with drel::OptimizerSettings
//   merging        drel::merge, drel::merge_from (two partial results as one)
//   bulk           drel::learn_many, predict_many, ... over drel::Rows
//   snapshots      drel::to_snapshot_json, drel::load_snapshot<Record>
//
// Every fallible operation returns drel::Result<T> or drel::Status
// (std::expected with a drel::Error, whose message() is the text users see).
//
// This header is the C++ package's whole surface: the headers it includes are
// the ones installed. The macros those headers use internally are not part of
// it: a program's own macros of the same names are set aside here and restored
// at the end, and none of ours is left defined.
#pragma once

#pragma push_macro("DREL_TRY")
#undef DREL_TRY
#pragma push_macro("DREL_ASSIGN_OR_RETURN")
#undef DREL_ASSIGN_OR_RETURN
#pragma push_macro("DREL_ASSIGN_OR_RETURN_IMPL_")
#undef DREL_ASSIGN_OR_RETURN_IMPL_
#pragma push_macro("DREL_CONCAT_")
#undef DREL_CONCAT_
#pragma push_macro("DREL_CONCAT_INNER_")
#undef DREL_CONCAT_INNER_
#pragma push_macro("DREL_CHECK_FINITE")
#undef DREL_CHECK_FINITE
#pragma push_macro("DREL_GUARD")
#undef DREL_GUARD
#pragma push_macro("DREL_LANE_PASS")
#undef DREL_LANE_PASS

#include "bulk/bulk.hpp"
#include "config/builders.hpp"
#include "error/error.hpp"
#include "linear/linear_regression.hpp"
#include "linear/logistic_regression.hpp"
#include "merge/merge.hpp"
#include "pipeline/pipeline.hpp"
#include "preprocessing/standard_scaler.hpp"
#include "snapshot/snapshot.hpp"
#include "stats/ewmean.hpp"
#include "stats/mean.hpp"
#include "stats/variance.hpp"

#undef DREL_TRY
#pragma pop_macro("DREL_TRY")
#undef DREL_ASSIGN_OR_RETURN
#pragma pop_macro("DREL_ASSIGN_OR_RETURN")
#undef DREL_ASSIGN_OR_RETURN_IMPL_
#pragma pop_macro("DREL_ASSIGN_OR_RETURN_IMPL_")
#undef DREL_CONCAT_
#pragma pop_macro("DREL_CONCAT_")
#undef DREL_CONCAT_INNER_
#pragma pop_macro("DREL_CONCAT_INNER_")
#undef DREL_CHECK_FINITE
#pragma pop_macro("DREL_CHECK_FINITE")
#undef DREL_GUARD
#pragma pop_macro("DREL_GUARD")
#undef DREL_LANE_PASS
#pragma pop_macro("DREL_LANE_PASS")
