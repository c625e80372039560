#include "config/settings.hpp"

#include <cstddef>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>

#include "error/guards.hpp"
#include "snapshot/record_fields.hpp"

namespace drel {
namespace {

// O's Config, each member read from the setting of its key.
template <class O>
typename O::Config config_of(const OptimizerSettings& settings) {
  typename O::Config config{};
  std::size_t i = 0;
  std::apply(
      [&](const auto&... field) {
        ((config.*field.member = settings.values[kSettingsOf<O>[i++]]), ...);
      },
      config_fields<O>());
  return config;
}

}  // namespace

// The loss kinds below name every alternative: a new one is a compile error until
// it has its kind, its settings and its case here.
static_assert(std::variant_size_v<decltype(RegressionLoss::variant)> == 2);

Result<Optimizer> make_optimizer(std::uint64_t feature_count, const OptimizerSettings& settings) {
  std::optional<Result<Optimizer>> built;
  snapshot::with_index<kOptimizerCount>(settings.kind, [&](auto kind) {
    using O = OptimizerAt<decltype(kind)::value>;
    built.emplace(make_optimizer<O>(feature_count, config_of<O>(settings)));
  });
  if (!built) return fail(Error::invalid_parameter("optimizer", static_cast<double>(settings.kind)));
  return std::move(*built);
}

Result<RegressionLoss> huber_loss(double delta) {
  DREL_CHECK_FINITE("delta", delta);
  if (delta < 0.0) return fail(Error::invalid_parameter("delta", delta));
  return RegressionLoss{HuberLoss{delta}};
}

Result<RegressionLoss> make_regression_loss(const RegressionLossSettings& settings) {
  if (settings.kind == RegressionLossKind::SquaredError) return RegressionLoss{SquaredError{}};
  return huber_loss(settings.huber_delta);
}

}  // namespace drel
