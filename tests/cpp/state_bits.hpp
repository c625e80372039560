// Every field of a core object flattened to bit patterns, so that a rejected
// operation can be shown to leave its object bit for bit as it was.
#pragma once

#include <bit>
#include <cstdint>
#include <ostream>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "linear/linear_regression.hpp"
#include "linear/logistic_regression.hpp"
#include "pipeline/pipeline.hpp"
#include "preprocessing/standard_scaler.hpp"
#include "stats/ewmean.hpp"
#include "stats/mean.hpp"
#include "stats/variance.hpp"
#include "test_support.hpp"

namespace drel::test {

class StateBits {
 public:
  StateBits& operator<<(double x) {
    bits_.push_back(std::bit_cast<std::uint64_t>(x));
    return *this;
  }
  StateBits& operator<<(std::uint64_t n) {
    bits_.push_back(n);
    return *this;
  }
  template <class T>
  StateBits& operator<<(const std::vector<T>& xs) {
    *this << static_cast<std::uint64_t>(xs.size());
    for (const T& x : xs) *this << x;
    return *this;
  }
  StateBits& operator<<(const Mean& m) { return *this << m.count << m.mean; }
  StateBits& operator<<(const ExponentiallyWeightedMean& m) {
    return *this << m.alpha << m.mean << m.count;
  }
  StateBits& operator<<(const Variance& v) {
    return *this << v.count << v.mean << v.m2 << static_cast<std::uint64_t>(v.kind);
  }
  StateBits& operator<<(const Sgd& o) {
    return *this << o.feature_count << o.config.learning_rate << o.config.l2 << o.samples_seen;
  }
  StateBits& operator<<(const AdaGrad& o) {
    return *this << o.feature_count << o.config.learning_rate << o.config.l2 << o.config.epsilon
                 << o.grad_sq_weights << o.grad_sq_intercept << o.samples_seen;
  }
  StateBits& operator<<(const Optimizer& o) {
    *this << static_cast<std::uint64_t>(o.variant.index());
    std::visit([this](const auto& v) { *this << v; }, o.variant);
    return *this;
  }
  StateBits& operator<<(const RegressionLoss& l) {
    *this << static_cast<std::uint64_t>(l.variant.index());
    if (const auto* h = std::get_if<HuberLoss>(&l.variant)) *this << h->delta;
    return *this;
  }
  template <class Model>
    requires requires(Model m) { m.optimizer; }
  StateBits& operator<<(const Model& m) {
    *this << m.feature_count << m.weights << m.intercept << m.optimizer << m.samples_seen;
    if constexpr (std::is_same_v<Model, LinearRegression>) return *this << m.loss;
    else return *this << m.loss.epsilon;
  }
  StateBits& operator<<(const StandardScalerState& s) {
    return *this << s.feature_count << static_cast<std::uint64_t>(s.config.with_mean)
                 << static_cast<std::uint64_t>(s.config.with_std) << s.config.epsilon << s.counts
                 << s.means << s.m2s;
  }

  template <class Pipeline>
    requires requires(Pipeline p) { p.transformer; }
  StateBits& operator<<(const Pipeline& p) {
    return *this << p.transformer << p.model;
  }

  bool operator==(const StateBits&) const = default;
  friend void PrintTo(const StateBits& b, std::ostream* os) {
    *os << std::hex;
    for (std::uint64_t w : b.bits_) *os << w << ' ';
    *os << std::dec;
  }

 private:
  std::vector<std::uint64_t> bits_;
};

template <class... T>
StateBits state_bits(const T&... parts) {
  StateBits b;
  (b << ... << parts);
  return b;
}

// Runs an operation that must fail with `message` and leave `object` (and any
// other parts named) bit for bit as it was.
template <class Object, class Operation, class... Parts>
void expect_rejected_unchanged(Object& object, const std::string& message, Operation operation,
                               const Parts&... parts) {
  const StateBits before = state_bits(object, parts...);
  EXPECT_EQ(error_text(operation(object)), message);
  EXPECT_EQ(state_bits(object, parts...), before);
}

// A model that must refuse to learn one sample.
template <class Model, class Target>
struct LearnRejection {
  const char* name;
  Model model;
  std::vector<double> x;
  Target y;
  const char* message;
};

template <class Model, class Target>
void expect_learn_rejected(const LearnRejection<Model, Target>& c) {
  Model m = c.model;
  expect_rejected_unchanged(m, c.message, [&](Model& o) { return o.learn_one(c.x, c.y); });
}

// An optimizer step that must be refused, leaving optimizer, weights and intercept alone.
template <class Variant>
struct StepRejection {
  const char* name;
  Variant optimizer;
  std::vector<double> weights;
  std::vector<double> grad_weights;
  double grad_intercept;
  const char* message;
};

template <class Variant>
void expect_step_rejected(const StepRejection<Variant>& c) {
  Optimizer o{c.optimizer};
  std::vector<double> w = c.weights;
  double b = -0.0;
  expect_rejected_unchanged(
      o, c.message, [&](Optimizer& x) { return x.step(w, b, c.grad_weights, c.grad_intercept); },
      w, b);
}

template <class T>
T with_feature_count(T object, std::uint64_t feature_count) {
  object.feature_count = feature_count;
  return object;
}

template <class T>
T with_samples(T object, std::uint64_t samples_seen) {
  object.samples_seen = samples_seen;
  return object;
}

}  // namespace drel::test
