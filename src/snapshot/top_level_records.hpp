// The eight records a document can hold under "model", one per stateful class.
// Expands X(Record) for each; used to instantiate the writer and the reader.
#pragma once

#define DREL_SNAPSHOT_TOP_LEVEL_RECORDS(X) \
  X(Mean)                                 \
  X(ExponentiallyWeightedMean)            \
  X(Variance)                             \
  X(StandardScalerState)                  \
  X(LinearRegression)                     \
  X(LogisticRegression)                   \
  X(RegressionPipeline)                   \
  X(ClassificationPipeline)
