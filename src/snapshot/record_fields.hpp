// The one description of every snapshot record: its name, and its keys in the
// order they are written, each bound to the state field it carries. The writer
// walks these tables to produce a document and the reader walks the same
// tables to consume one. A class of its own (a statistic, an optimizer)
// declares its record in its own header (snapshot/record_field.hpp); the
// records made of others and the unions are declared here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>

#include "snapshot/record_field.hpp"
#include "linear/linear_regression.hpp"
#include "linear/logistic_regression.hpp"
#include "loss/loss.hpp"
#include "optim/adagrad.hpp"
#include "optim/optimizer.hpp"
#include "optim/sgd.hpp"
#include "pipeline/pipeline.hpp"
#include "preprocessing/standard_scaler.hpp"
#include "snapshot/snapshot.hpp"
#include "stats/ewmean.hpp"
#include "stats/mean.hpp"
#include "stats/variance.hpp"

namespace drel::snapshot {

template <class T>
concept SnapshotRecord = requires {
  RecordTraits<T>::name;
  RecordTraits<T>::fields;
};

// The number of members of an aggregate: the most initializers it takes, each
// convertible to any member's type (a conversion never elides braces, so a
// member that is an aggregate itself counts once).
struct AnyMember {
  template <class T>
  operator T() const;
};

template <class T, std::size_t... I>
constexpr bool takes_initializers(std::index_sequence<I...>) {
  return requires { T{(static_cast<void>(I), AnyMember{})...}; };
}

template <class T, std::size_t N = 0>
consteval std::size_t member_count() {
  if constexpr (!takes_initializers<T>(std::make_index_sequence<N + 1>{})) return N;
  else return member_count<T, N + 1>();
}

template <class R>
inline constexpr std::size_t field_count = std::tuple_size_v<
    std::remove_cvref_t<decltype(RecordTraits<R>::fields)>>;

// A member the table leaves out would be dropped silently by every snapshot
// (to_json, pickling, transport): each table names every member of its struct.
template <class R>
inline constexpr bool fields_cover_members = [] {
  static_assert(std::is_aggregate_v<R>, "a snapshot record is a plain aggregate");
  static_assert(member_count<R>() == field_count<R>,
                "a snapshot record's field table must name every member of its struct");
  return true;
}();

template <SnapshotRecord R, class F>
void for_each_field(F&& f) {
  static_assert(fields_cover_members<R>);
  std::apply([&](const auto&... each) { (f(each), ...); }, RecordTraits<R>::fields);
}

// Stops at the first field for which f returns false; true if none did.
template <SnapshotRecord R, class F>
bool all_fields(F&& f) {
  static_assert(fields_cover_members<R>);
  return std::apply([&](const auto&... each) { return (f(each) && ...); },
                    RecordTraits<R>::fields);
}

template <class Record>
struct RecordTraits<Snapshot<Record>> {
  static constexpr std::string_view name = "Snapshot";
  static constexpr std::tuple fields{field("format_version", &Snapshot<Record>::format_version),
                                     field("model", &Snapshot<Record>::model)};
};

template <>
struct RecordTraits<StandardScalerConfig> {
  using R = StandardScalerConfig;
  static constexpr std::string_view name = "StandardScalerConfig";
  static constexpr std::tuple fields{field("with_mean", &R::with_mean),
                                     field("with_std", &R::with_std),
                                     field("epsilon", &R::epsilon)};
};

template <>
struct RecordTraits<StandardScalerState> {
  using R = StandardScalerState;
  static constexpr std::string_view name = "StandardScalerState";
  static constexpr std::tuple fields{size_field("feature_count", &R::feature_count),
                                     field("config", &R::config), field("counts", &R::counts),
                                     field("means", &R::means), field("m2s", &R::m2s)};
};

template <>
struct RecordTraits<HuberLoss> {
  static constexpr std::string_view name = "HuberLoss";
  static constexpr std::tuple fields{field("delta", &HuberLoss::delta)};
};

template <>
struct RecordTraits<BinaryLogLoss> {
  static constexpr std::string_view name = "BinaryLogLoss";
  static constexpr std::tuple fields{field("epsilon", &BinaryLogLoss::epsilon)};
};

// Both linear models share their key order; only the loss differs.
template <class Model>
struct LinearModelTraits {
  static constexpr std::tuple fields{size_field("feature_count", &Model::feature_count),
                                     field("weights", &Model::weights),
                                     field("intercept", &Model::intercept),
                                     field("optimizer", &Model::optimizer),
                                     field("loss", &Model::loss),
                                     field("samples_seen", &Model::samples_seen)};
};

template <>
struct RecordTraits<LinearRegression> : LinearModelTraits<LinearRegression> {
  static constexpr std::string_view name = "LinearRegression";
};

template <>
struct RecordTraits<LogisticRegression> : LinearModelTraits<LogisticRegression> {
  static constexpr std::string_view name = "LogisticRegression";
};

template <class Pipeline>
struct PipelineTraits {
  static constexpr std::tuple fields{field("transformer", &Pipeline::transformer),
                                     field("model", &Pipeline::model)};
};

template <>
struct RecordTraits<RegressionPipeline> : PipelineTraits<RegressionPipeline> {
  static constexpr std::string_view name = "RegressionPipeline";
};

template <>
struct RecordTraits<ClassificationPipeline> : PipelineTraits<ClassificationPipeline> {
  static constexpr std::string_view name = "ClassificationPipeline";
};

// ---- Tagged unions -------------------------------------------------------
//
// Each union names its variants in order, one name per alternative (checked
// below: the names table and the alternatives cannot drift apart). A variant's payload is
// either a record (written as {"Name":record}) or a unit marker (written as
// the bare string "Name").

struct UnitPayload {};

template <class U>
struct UnionTraits;

// A value whose state is written in another form: SnapshotForm<T> names the
// form (a record), `to` builds it and `from` rebuilds the value from it,
// refusing a form no value could have written.
template <class T>
struct SnapshotForm;

template <class T>
concept ConvertedValue = requires { typename SnapshotForm<T>::Form; };

template <class T>
inline constexpr bool is_unit_payload = !SnapshotRecord<T> && !ConvertedValue<T>;

// A union stored as a std::variant member of its owner struct.
template <class U, class Variant, Variant U::*member>
struct VariantUnion {
  static constexpr std::size_t alternatives = std::variant_size_v<Variant>;
  template <std::size_t I>
  using Payload = std::variant_alternative_t<I, Variant>;

  static std::size_t index(const U& u) { return (u.*member).index(); }
  template <std::size_t I>
  static const Payload<I>& payload(const U& u) {
    return std::get<I>(u.*member);
  }
  template <std::size_t I>
  static void set(U& u, Payload<I> value) {
    (u.*member).template emplace<I>(std::move(value));
  }
};

template <>
struct UnionTraits<RegressionLoss>
    : VariantUnion<RegressionLoss, decltype(RegressionLoss::variant), &RegressionLoss::variant> {
  static constexpr std::array names{std::string_view{"SquaredError"}, std::string_view{"Huber"}};
};

// The names of a variant's alternatives that are records: their records' names.
template <class Variant>
inline constexpr auto record_names = nullptr;
template <class... A>
inline constexpr std::array<std::string_view, sizeof...(A)> record_names<std::variant<A...>>{
    RecordTraits<A>::name...};

// An optimizer's variant is named by its record.
template <>
struct UnionTraits<Optimizer>
    : VariantUnion<Optimizer, decltype(Optimizer::variant), &Optimizer::variant> {
  static constexpr const auto& names = record_names<decltype(Optimizer::variant)>;
};

template <>
struct UnionTraits<VarianceKind> {
  static constexpr std::size_t alternatives = 2;  // the enumerators of VarianceKind
  static constexpr std::array names{std::string_view{"Population"}, std::string_view{"Sample"}};
  template <std::size_t I>
  using Payload = UnitPayload;

  static std::size_t index(VarianceKind kind) { return kind == VarianceKind::Population ? 0 : 1; }
  template <std::size_t I>
  static void set(VarianceKind& kind, UnitPayload) {
    kind = I == 0 ? VarianceKind::Population : VarianceKind::Sample;
  }
};

template <class T>
concept SnapshotUnion = requires { UnionTraits<T>::names; };

template <class U>
consteval bool names_are_distinct() {
  const auto& names = UnionTraits<U>::names;
  for (std::size_t i = 0; i < names.size(); ++i)
    for (std::size_t j = i + 1; j < names.size(); ++j)
      if (names[i] == names[j]) return false;
  return true;
}

// The number of alternatives of a union, which its writer and reader walk.
template <SnapshotUnion U>
inline constexpr std::size_t alternative_count = [] {
  static_assert(UnionTraits<U>::names.size() == UnionTraits<U>::alternatives,
                "a union's names table needs one name per alternative, in order");
  static_assert(names_are_distinct<U>(), "a union's names must differ");
  return UnionTraits<U>::alternatives;
}();

// "`A`", "`A` or `B`", "one of `A`, `B`, `C`": the names a reader expected.
template <SnapshotUnion U>
std::string expected_names() {
  const auto& names = UnionTraits<U>::names;
  const auto quoted = [](std::string_view name) { return "`" + std::string(name) + "`"; };
  if (names.size() == 2) return quoted(names[0]) + " or " + quoted(names[1]);
  std::string text = names.size() == 1 ? "" : "one of ";
  for (std::size_t i = 0; i < names.size(); ++i) text += (i > 0 ? ", " : "") + quoted(names[i]);
  return text;
}

// Calls f(std::integral_constant<std::size_t, I>{}) for the I equal to index.
template <std::size_t N, class F>
void with_index(std::size_t index, F&& f) {
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    ((index == I ? f(std::integral_constant<std::size_t, I>{}) : void()), ...);
  }(std::make_index_sequence<N>{});
}

}  // namespace drel::snapshot
