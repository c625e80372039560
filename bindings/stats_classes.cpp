// Mean, Variance and EWMean.
#include <string>

#include "bindings/classes.hpp"
#include "bindings/frame.hpp"
#include "bindings/once.hpp"
#include "bindings/snapshot_members.hpp"
#include "stats/ewmean.hpp"
#include "stats/mean.hpp"
#include "stats/variance.hpp"

namespace drel::py {
namespace {

// ---- Mean ----
constexpr std::string_view kMean = module_name<Mean>;
constexpr Member kMeanNew{kMean, "__new__", {}, MemberKind::Constructor, "Online mean accumulator."};
constexpr Member kMeanUpdate{kMean, "update", {"x"}};
constexpr auto mean_new = +[]() { return Mean{}; };

PyMethodDef mean_methods[] = {
    method_def<kMeanUpdate, +[](Mean& m, Float x) { return m.update(x); }>(),
    to_json_def<Mean>(),
    from_json_def<Mean>(),
    kMethodsEnd,
};
PyGetSetDef mean_properties[] = {
    getter_def<+[](const Mean& m) { return m.value(); }>("value"),
    getter_def<+[](const Mean& m) { return m.count; }>("count"),
    kPropertiesEnd,
};

// ---- Variance ----
constexpr std::string_view kVariance = module_name<Variance>;
constexpr Member kVarianceNew{kVariance, "__new__", {"kind"}, MemberKind::Constructor,
                              "Online variance (Welford). `value`/`stddev` return `None` until "
                              "enough\nsamples have been observed."};
constexpr Member kVarianceUpdate{kVariance, "update", {"x"}};

Outcome<Variance> variance_from_text(Text kind) {
  if (const auto parsed = variance_kind_from_text(kind)) return Variance::create(*parsed);
  return std::unexpected(Failure(RuntimeText{"unknown variance kind: " + std::string(kind.value) +
                                             " (expected 'population' or 'sample')"}));
}

PyMethodDef variance_methods[] = {
    method_def<kVarianceUpdate, +[](Variance& v, Float x) { return v.update(x); }>(),
    to_json_def<Variance>(),
    from_json_def<Variance>(),
    kMethodsEnd,
};
PyGetSetDef variance_properties[] = {
    getter_def<+[](const Variance& v) { return v.value(); }>("value"),
    getter_def<+[](const Variance& v) { return v.stddev(); }>("stddev"),
    getter_def<+[](const Variance& v) { return v.mean; }>("mean"),
    getter_def<+[](const Variance& v) { return v.count; }>("count"),
    kPropertiesEnd,
};

// ---- EWMean ----
constexpr std::string_view kEWMean = module_name<ExponentiallyWeightedMean>;
constexpr Member kEWMeanNew{kEWMean, "__new__", {"alpha"}, MemberKind::Constructor,
                            "Exponentially weighted mean."};
constexpr Member kEWMeanUpdate{kEWMean, "update", {"x"}};
constexpr auto ewmean_new = +[](Float alpha) { return ExponentiallyWeightedMean::create(alpha); };

PyMethodDef ewmean_methods[] = {
    method_def<kEWMeanUpdate, +[](ExponentiallyWeightedMean& m, Float x) { return m.update(x); }>(),
    to_json_def<ExponentiallyWeightedMean>(),
    from_json_def<ExponentiallyWeightedMean>(),
    kMethodsEnd,
};
PyGetSetDef ewmean_properties[] = {
    getter_def<+[](const ExponentiallyWeightedMean& m) { return m.value(); }>("value"),
    kPropertiesEnd,
};

OnceObject mean_class, variance_class, ewmean_class;

}  // namespace

template <>
PyTypeObject* class_object<Mean>() {
  return class_in_cell<Mean>(mean_class, "builtins.Mean", member_doc<kMeanNew>(),
                             constructor_of<kMeanNew, mean_new>(), mean_methods, mean_properties);
}

template <>
PyTypeObject* class_object<Variance>() {
  return class_in_cell<Variance>(variance_class, "builtins.Variance", member_doc<kVarianceNew>(),
                                 constructor_of<kVarianceNew, &variance_from_text>(),
                                 variance_methods, variance_properties);
}

template <>
PyTypeObject* class_object<ExponentiallyWeightedMean>() {
  return class_in_cell<ExponentiallyWeightedMean>(
      ewmean_class, "builtins.EWMean", member_doc<kEWMeanNew>(),
      constructor_of<kEWMeanNew, ewmean_new>(), ewmean_methods, ewmean_properties);
}

}  // namespace drel::py
