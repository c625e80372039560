// Which stateful classes each bulk function accepts, read off the overloads the
// core declares in bulk/bulk.hpp: a new class is accepted by the functions the
// core gives it, with no list here to extend.
#pragma once

#include <cstdint>
#include <span>
#include <type_traits>

#include "bindings/frame.hpp"
#include "bulk/bulk.hpp"
#include "bulk/sparse_bulk.hpp"
#include "common/type_list.hpp"
#include "stateful_classes.hpp"

namespace drel::py {

// What a class learns from besides X: double targets, flags, or nothing.
template <class Core>
struct TargetOf {
  using type = void;
};
template <class Core>
  requires requires(Core& c, const Rows& rows, std::span<const double> y) { learn_many(c, rows, y); }
struct TargetOf<Core> {
  using type = double;
};
template <class Core>
  requires requires(Core& c, const Rows& rows, Flags y) { learn_many(c, rows, y); }
struct TargetOf<Core> {
  using type = std::uint8_t;
};

// A target as the class's learn_one converts it: a real, or a flag.
template <class Core>
using TargetParam =
    std::conditional_t<std::is_same_v<typename TargetOf<Core>::type, double>, Float, Bool>;

template <class Core>
struct LearnsWithTargets : std::bool_constant<!std::is_void_v<typename TargetOf<Core>::type>> {};
template <class Core>
struct LearnsAlone
    : std::bool_constant<requires(Core& c, const Rows& rows) { learn_many(c, rows); }> {};
template <class Core>
struct Predicts : std::bool_constant<requires(const Core& c, const Rows& rows,
                                              std::span<double> reals,
                                              std::span<std::uint8_t> flags) {
                    requires(requires { predict_many(c, rows, reals); } ||
                             requires { predict_many(c, rows, flags); });
                  }> {};
template <class Core>
struct PredictsProbabilities
    : std::bool_constant<requires(const Core& c, const Rows& rows, std::span<double> out) {
        predict_proba_many(c, rows, out);
      }> {};
template <class Core>
struct Transforms : std::bool_constant<requires(const Core& c, const Rows& rows,
                                                std::span<double> out) {
                      transform_many(c, rows, out);
                    }> {};
template <class Core>
struct Updates
    : std::bool_constant<requires(Core& c, std::span<const double> xs) { update_many(c, xs); }> {};

// The classes whose core reads sparse rows as they are (bulk/sparse_bulk.hpp);
// the others are given sparse X made dense.
template <class Core>
concept ReadsSparse = requires(const Core& c, const SparseRows& rows, std::span<double> reals,
                               std::span<std::uint8_t> flags) {
  requires(requires { predict_many(c, rows, reals); } ||
           requires { predict_many(c, rows, flags); });
};

template <class... A, class... B>
TypeList<A..., B...> concat(TypeList<A...>, TypeList<B...>);

// In the order the functions' messages and docstrings name them: the models,
// then what learns from X alone.
using Learners = decltype(concat(filter_t<LearnsWithTargets, StatefulClasses>{},
                                 filter_t<LearnsAlone, StatefulClasses>{}));
using Predictors = filter_t<Predicts, StatefulClasses>;
using Classifiers = filter_t<PredictsProbabilities, StatefulClasses>;
using Transformers = filter_t<Transforms, StatefulClasses>;
// update_many's message names the statistics in an order of its own.
using Statistics = TypeList<Mean, ExponentiallyWeightedMean, Variance>;
static_assert(same_members_v<Statistics, filter_t<Updates, StatefulClasses>>,
              "update_many accepts exactly the classes with an update_many overload");

}  // namespace drel::py
