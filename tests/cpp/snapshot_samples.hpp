// Records of every snapshot class in every configuration a document can
// describe, and a bit-exact comparison of two records. Shared by the round-trip
// tests and the fuzzer's seed generator.
#pragma once

#include <bit>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "snapshot/record_fields.hpp"

namespace drel::samples {

inline constexpr double kMaxDouble = std::numeric_limits<double>::max();
inline constexpr double kMinSubnormal = std::numeric_limits<double>::denorm_min();

inline StandardScalerState fresh_scaler(std::uint64_t n) {
  return {n, {}, std::vector<std::uint64_t>(n, 0), std::vector<double>(n, 0.0),
          std::vector<double>(n, 0.0)};
}

inline StandardScalerState fitted_scaler() {
  return {3, {false, true, 0.25}, {4, 4, 4}, {1.5, -0.1, 1e-300}, {2.0, 0.30000000000000004, 0.0}};
}

inline Optimizer sgd(std::uint64_t n, double rate, double l2 = 0.0, std::uint64_t steps = 0) {
  return Optimizer{Sgd{n, {rate, l2}, steps}};
}

inline Optimizer adagrad(std::uint64_t n) {
  return Optimizer{AdaGrad{n, {0.05, 0.001, 1e-8}, std::vector<double>(n, 0.0) , 0.0, 0}};
}

inline LinearRegression fresh_linear(std::uint64_t n, double rate) {
  return {n, std::vector<double>(n, 0.0), 0.0, sgd(n, rate), RegressionLoss{SquaredError{}}, 0};
}

inline LinearRegression huber_adagrad_linear() {
  AdaGrad a{2, {0.1, 0.01, 1e-6}, {0.25, 7.5e-9}, 1.5, 12};
  return {2, {0.5, -1e-7}, -0.0, Optimizer{a}, RegressionLoss{HuberLoss{1.35}}, 12};
}

inline LogisticRegression fresh_logistic(std::uint64_t n, double rate) {
  return {n, std::vector<double>(n, 0.0), 0.0, sgd(n, rate), BinaryLogLoss{}, 0};
}

// Calls f(name, record) for every sample.
template <class F>
void for_each_sample(F&& f) {
  f("mean fresh", Mean{});
  f("mean extremes", Mean{std::numeric_limits<std::uint64_t>::max(), -kMaxDouble});
  f("mean subnormal", Mean{1, kMinSubnormal});
  f("ewmean", ExponentiallyWeightedMean{0.3, 1.25e16, 7});
  f("variance population", Variance{3, 2.0, 0.30000000000000004, VarianceKind::Population});
  f("variance sample", Variance{2, -0.0, 1e-7, VarianceKind::Sample});
  f("scaler fresh", fresh_scaler(2));
  f("scaler fitted", fitted_scaler());
  f("linear fresh", fresh_linear(2, 0.01));
  f("linear huber adagrad", huber_adagrad_linear());
  f("linear l2", LinearRegression{1, {3.0}, 12.375, sgd(1, 0.5, 0.125, 9),
                                  RegressionLoss{SquaredError{}}, 9});
  f("linear inconsistent lengths",
    LinearRegression{3, {1.0}, 0.0, adagrad(5), RegressionLoss{HuberLoss{0.5}}, 1});
  f("logistic fresh", fresh_logistic(3, 0.1));
  f("logistic adagrad", LogisticRegression{2, {0.1, 0.2}, 0.05, adagrad(2), BinaryLogLoss{1e-10}, 4});
  f("regression pipeline fresh", RegressionPipeline{fresh_scaler(2), fresh_linear(2, 0.01)});
  f("regression pipeline configured", RegressionPipeline{fitted_scaler(), huber_adagrad_linear()});
  f("classification pipeline fresh",
    ClassificationPipeline{fresh_scaler(2), fresh_logistic(2, 0.01)});
  f("classification pipeline mismatched counts",
    ClassificationPipeline{fitted_scaler(), fresh_logistic(1, 0.5)});
}

// ---- Bit-exact comparison through the field tables ----------------------

inline bool identical(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}
inline bool identical(std::uint64_t a, std::uint64_t b) { return a == b; }
inline bool identical(std::uint32_t a, std::uint32_t b) { return a == b; }
inline bool identical(bool a, bool b) { return a == b; }

template <class T>
bool identical(const std::vector<T>& a, const std::vector<T>& b);
template <snapshot::SnapshotRecord R>
bool identical(const R& a, const R& b);
template <snapshot::SnapshotUnion U>
bool identical(const U& a, const U& b);

template <class T>
bool identical(const std::vector<T>& a, const std::vector<T>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!identical(a[i], b[i])) return false;
  }
  return true;
}

template <snapshot::SnapshotRecord R>
bool identical(const R& a, const R& b) {
  return snapshot::all_fields<R>(
      [&](const auto& f) { return identical(a.*f.member, b.*f.member); });
}

template <snapshot::SnapshotUnion U>
bool identical(const U& a, const U& b) {
  using Traits = snapshot::UnionTraits<U>;
  if (Traits::index(a) != Traits::index(b)) return false;
  bool same = true;
  snapshot::with_index<2>(Traits::index(a), [&](auto i) {
    using Payload = typename Traits::template Payload<i>;
    if constexpr (!snapshot::is_unit_payload<Payload>) {
      same = identical(Traits::template payload<i>(a), Traits::template payload<i>(b));
    }
  });
  return same;
}

}  // namespace drel::samples
