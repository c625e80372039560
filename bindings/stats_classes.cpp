// Mean, Variance and EWMean.
#include <string>

#include "classes.hpp"
#include "frame.hpp"
#include "once.hpp"
#include "snapshot_members.hpp"
#include "stats/ewmean.hpp"
#include "stats/mean.hpp"
#include "stats/variance.hpp"

namespace drel::py {
namespace {

constexpr const char* kUpdateDoc = "update($self, x)\n--\n\n";

// ---- Mean ----
constexpr ArgSpec kMeanNew{"Mean.__new__()", {}, 0};
constexpr ArgSpec kMeanUpdate{"Mean.update()", {"x"}, 1};
constexpr ArgSpec kMeanFromJson{"Mean.from_json()", {"json"}, 1};
constexpr auto mean_new = +[]() { return Mean{}; };

PyMethodDef mean_methods[] = {
    method_def<kMeanUpdate, +[](Mean& m, Float x) { return m.update(x); }>("update", kUpdateDoc),
    to_json_def<Mean>(),
    from_json_def<kMeanFromJson, Mean>(),
    kMethodsEnd,
};
PyGetSetDef mean_properties[] = {
    getter_def<+[](const Mean& m) { return m.value(); }>("value"),
    getter_def<+[](const Mean& m) { return m.count; }>("count"),
    kPropertiesEnd,
};

// ---- Variance ----
constexpr ArgSpec kVarianceNew{"Variance.__new__()", {"kind"}, 1};
constexpr ArgSpec kVarianceUpdate{"Variance.update()", {"x"}, 1};
constexpr ArgSpec kVarianceFromJson{"Variance.from_json()", {"json"}, 1};

Outcome<Variance> variance_from_text(Text kind) {
  if (const auto parsed = variance_kind_from_text(kind)) return Variance::create(*parsed);
  return std::unexpected(Failure(RuntimeText{"unknown variance kind: " + std::string(kind.value) +
                                             " (expected 'population' or 'sample')"}));
}

PyMethodDef variance_methods[] = {
    method_def<kVarianceUpdate, +[](Variance& v, Float x) { return v.update(x); }>("update",
                                                                                   kUpdateDoc),
    to_json_def<Variance>(),
    from_json_def<kVarianceFromJson, Variance>(),
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
constexpr ArgSpec kEWMeanNew{"EWMean.__new__()", {"alpha"}, 1};
constexpr ArgSpec kEWMeanUpdate{"EWMean.update()", {"x"}, 1};
constexpr ArgSpec kEWMeanFromJson{"EWMean.from_json()", {"json"}, 1};
constexpr auto ewmean_new = +[](Float alpha) { return ExponentiallyWeightedMean::create(alpha); };

PyMethodDef ewmean_methods[] = {
    method_def<kEWMeanUpdate, +[](ExponentiallyWeightedMean& m, Float x) { return m.update(x); }>(
        "update", kUpdateDoc),
    to_json_def<ExponentiallyWeightedMean>(),
    from_json_def<kEWMeanFromJson, ExponentiallyWeightedMean>(),
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
  return class_in_cell<Mean>(mean_class, "builtins.Mean",
                             "Mean()\n--\n\nOnline mean accumulator.",
                             &constructor<kMeanNew, mean_new>, mean_methods,
                             mean_properties);
}

template <>
PyTypeObject* class_object<Variance>() {
  return class_in_cell<Variance>(
      variance_class, "builtins.Variance",
      "Variance(kind)\n--\n\nOnline variance (Welford). `value`/`stddev` return `None` until "
      "enough\nsamples have been observed.",
      &constructor<kVarianceNew, &variance_from_text>, variance_methods, variance_properties);
}

template <>
PyTypeObject* class_object<ExponentiallyWeightedMean>() {
  return class_in_cell<ExponentiallyWeightedMean>(
      ewmean_class, "builtins.EWMean", "EWMean(alpha)\n--\n\nExponentially weighted mean.",
      &constructor<kEWMeanNew, ewmean_new>,
      ewmean_methods, ewmean_properties);
}

}  // namespace drel::py
