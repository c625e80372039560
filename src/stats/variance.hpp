// Running variance by Welford's one-pass method.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "snapshot/record_field.hpp"
#include "error/error.hpp"
#include "error/guards.hpp"
#include "stats/welford.hpp"

namespace drel {

enum class VarianceKind { Population, Sample };

// "population" or "sample", exact and case-sensitive; nullopt for anything else.
std::optional<VarianceKind> variance_kind_from_text(std::string_view text);

struct Variance {
  std::uint64_t count = 0;
  double mean = 0.0;
  double m2 = 0.0;
  VarianceKind kind = VarianceKind::Population;

  static Variance create(VarianceKind kind) { return Variance{0, 0.0, 0.0, kind}; }

  // Inline: the one-sample call and the bulk loop run this very step.
  [[nodiscard]] Status update(double x) {
    DREL_CHECK_FINITE("value", x);
    DREL_ASSIGN_OR_RETURN(const std::uint64_t next, checked_increment(count, "variance sample"));
    DREL_ASSIGN_OR_RETURN(const WelfordMoments moments,
                          welford_step(x, {mean, m2}, next,
                                       {"variance delta", "variance mean", "variance M2"}));
    count = next;
    mean = moments.mean;
    m2 = moments.m2;
    return {};
  }
  // Absent until one (Population) or two (Sample) values have been absorbed.
  std::optional<double> value() const;
  std::optional<double> stddev() const;
};

}  // namespace drel

namespace drel::snapshot {

// The snapshot record: its keys in the order they are written
// (the kind is a union, named in record_fields.hpp).
template <>
struct RecordTraits<Variance> {
  static constexpr std::string_view name = "Variance";
  static constexpr std::tuple fields{field("count", &Variance::count),
                                     field("mean", &Variance::mean), field("m2", &Variance::m2),
                                     field("kind", &Variance::kind)};
};

}  // namespace drel::snapshot
