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
#pragma once

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
