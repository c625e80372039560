// The stateful classes: the one list every class table is generated from.
//
// drel_ml's class table and `__all__` (in this order), the classes drel_ml_ext
// binds, the merge dispatch, the bulk functions' accepted classes and the
// snapshot records written and read at the top level of a document all come
// from DREL_STATEFUL_CLASSES. The list is a macro because explicit
// instantiations and specialisations are declarations, which no template can
// produce from a pack; everything that is not a declaration uses the type list
// StatefulClasses instead.
//
// Adding a stateful class `Foo` (the core's struct, with its snapshot record):
//   1. add X(Foo, Name) below (Name: the class's name in drel_ml), and its
//      header to the includes;
//   2. RecordTraits<Foo> with one field per member (a member left out is a
//      compile error), beside Foo in its header (snapshot/record_field.hpp),
//      or in src/snapshot/record_fields.hpp when its record holds others';
//   3. src/merge/merge.hpp: merge and merge_from for Foo (refusing if Foo has
//      no order-free merge), or the companion's merge table does not compile;
//   4. bindings: the class itself, a *_classes.cpp defining class_object<Foo>
//      (a link error without it);
//   5. the bulk functions pick Foo up by what src/bulk/bulk.hpp declares for it
//      (a statistic also takes its place in update_many's message order in
//      ext/bulk_roles.hpp, and the other functions' docstrings must name
//      their classes: both compile errors until done);
//   6. Python: python/drel_ml_ext/_classes.py (its roles) and the stubs
//      (tests/python/test_class_lists.py checks both against the runtime);
//      drel_ml_ext.load reads the record's keys from the native table.
// Forgetting 2-4 fails to compile or link; forgetting 6 fails that test.
// This header is internal: it is not installed, and <drel_ml.hpp> does not
// include it.
#pragma once

#include "common/type_list.hpp"
#include "linear/linear_regression.hpp"
#include "linear/logistic_regression.hpp"
#include "pipeline/pipeline.hpp"
#include "preprocessing/standard_scaler.hpp"
#include "stats/ewmean.hpp"
#include "stats/mean.hpp"
#include "stats/variance.hpp"

// X(Core, Name): the core's type, then its class's name in drel_ml.
#define DREL_STATEFUL_CLASSES(X)                 \
  X(Mean, Mean)                                  \
  X(Variance, Variance)                          \
  X(ExponentiallyWeightedMean, EWMean)           \
  X(StandardScalerState, StandardScaler)         \
  X(LinearRegression, LinearRegression)          \
  X(LogisticRegression, LogisticRegression)      \
  X(RegressionPipeline, RegressionPipeline)      \
  X(ClassificationPipeline, ClassificationPipeline)

namespace drel {
namespace detail {
template <class Void, class... T>
using without_first = TypeList<T...>;
}  // namespace detail

#define DREL_STATEFUL_CLASS_ENTRY_(Core, Name) , Core
using StatefulClasses =
    detail::without_first<void DREL_STATEFUL_CLASSES(DREL_STATEFUL_CLASS_ENTRY_)>;
#undef DREL_STATEFUL_CLASS_ENTRY_

}  // namespace drel
