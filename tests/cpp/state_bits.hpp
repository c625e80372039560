// Every field of a core object flattened to bit patterns, so that a rejected
// operation can be shown to leave its object bit for bit as it was.
#pragma once

#include <bit>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "snapshot/record_fields.hpp"
#include "test_support.hpp"

namespace drel::test {

// Walks the snapshot tables (snapshot/record_fields.hpp), which cover every
// member of every record: a new member is compared with no change here.
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
  StateBits& operator<<(std::uint32_t n) { return *this << static_cast<std::uint64_t>(n); }
  StateBits& operator<<(bool flag) { return *this << static_cast<std::uint64_t>(flag); }
  template <class T>
  StateBits& operator<<(const std::vector<T>& xs) {
    *this << static_cast<std::uint64_t>(xs.size());
    for (const T& x : xs) *this << x;
    return *this;
  }
  template <snapshot::SnapshotRecord R>
  StateBits& operator<<(const R& record) {
    snapshot::for_each_field<R>([&](const auto& f) { *this << record.*f.member; });
    return *this;
  }
  template <snapshot::SnapshotUnion U>
  StateBits& operator<<(const U& u) {
    using Traits = snapshot::UnionTraits<U>;
    const std::size_t index = Traits::index(u);
    *this << static_cast<std::uint64_t>(index);
    snapshot::with_index<snapshot::alternative_count<U>>(index, [&](auto i) {
      if constexpr (!snapshot::is_unit_payload<typename Traits::template Payload<i>>)
        *this << Traits::template payload<i>(u);
    });
    return *this;
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
