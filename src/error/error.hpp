// The one error type of the core. Every fallible operation returns its value or
// one Error; nothing in the core throws on bad input.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <variant>

namespace drel {

using FeatureId = std::uint64_t;

namespace error_kind {
// Payload records, one per kind, in declaration order. Name payloads are static
// literals, so copying an Error allocates only for the two text-carrying kinds.
struct DimensionMismatch { std::uint64_t expected; std::uint64_t got; };
struct EmptyFeatures {};
struct InvalidWindowSize {};
struct InvalidLearningRate { double value; };
struct InvalidParameter { const char* name; double value; };
struct NonFiniteValue { const char* name; double value; };
struct InvalidProbability { double value; };
struct InsufficientData {};
struct IncompatibleStateVersion { std::uint32_t expected; std::uint32_t got; };
struct UnsortedSparseFeatures {};
struct DuplicateFeatureId { FeatureId id; };
struct InvalidHashDimension { std::uint64_t value; };
struct UnknownCategory { std::string message; };
struct MissingValue { std::uint64_t index; };
struct InvalidCapacity { std::uint64_t value; };
struct InvalidSignificanceLevel { double value; };
struct InvalidArmCount { std::uint64_t value; };
struct InvalidEpsilon { double value; };
struct InvalidArmIndex { std::uint64_t index; std::uint64_t count; };
struct InvalidReward { double value; };
struct InvalidFeatureCount { std::uint64_t value; };
struct InvalidModelState { std::string message; };
}  // namespace error_kind

class [[nodiscard]] Error {
 public:
  using Payload = std::variant<
      error_kind::DimensionMismatch, error_kind::EmptyFeatures, error_kind::InvalidWindowSize,
      error_kind::InvalidLearningRate, error_kind::InvalidParameter, error_kind::NonFiniteValue,
      error_kind::InvalidProbability, error_kind::InsufficientData,
      error_kind::IncompatibleStateVersion, error_kind::UnsortedSparseFeatures,
      error_kind::DuplicateFeatureId, error_kind::InvalidHashDimension,
      error_kind::UnknownCategory, error_kind::MissingValue, error_kind::InvalidCapacity,
      error_kind::InvalidSignificanceLevel, error_kind::InvalidArmCount,
      error_kind::InvalidEpsilon, error_kind::InvalidArmIndex, error_kind::InvalidReward,
      error_kind::InvalidFeatureCount, error_kind::InvalidModelState>;

  // One constructor per kind, payload in table order.
  static Error dimension_mismatch(std::uint64_t expected, std::uint64_t got) {
    return Error(error_kind::DimensionMismatch{expected, got});
  }
  static Error empty_features() { return Error(error_kind::EmptyFeatures{}); }
  static Error invalid_window_size() { return Error(error_kind::InvalidWindowSize{}); }
  static Error invalid_learning_rate(double value) {
    return Error(error_kind::InvalidLearningRate{value});
  }
  static Error invalid_parameter(const char* name, double value) {
    return Error(error_kind::InvalidParameter{name, value});
  }
  static Error non_finite_value(const char* name, double value) {
    return Error(error_kind::NonFiniteValue{name, value});
  }
  static Error invalid_probability(double value) {
    return Error(error_kind::InvalidProbability{value});
  }
  static Error insufficient_data() { return Error(error_kind::InsufficientData{}); }
  static Error incompatible_state_version(std::uint32_t expected, std::uint32_t got) {
    return Error(error_kind::IncompatibleStateVersion{expected, got});
  }
  static Error unsorted_sparse_features() { return Error(error_kind::UnsortedSparseFeatures{}); }
  static Error duplicate_feature_id(FeatureId id) {
    return Error(error_kind::DuplicateFeatureId{id});
  }
  static Error invalid_hash_dimension(std::uint64_t value) {
    return Error(error_kind::InvalidHashDimension{value});
  }
  static Error unknown_category(std::string message) {
    return Error(error_kind::UnknownCategory{std::move(message)});
  }
  static Error missing_value(std::uint64_t index) { return Error(error_kind::MissingValue{index}); }
  static Error invalid_capacity(std::uint64_t value) {
    return Error(error_kind::InvalidCapacity{value});
  }
  static Error invalid_significance_level(double value) {
    return Error(error_kind::InvalidSignificanceLevel{value});
  }
  static Error invalid_arm_count(std::uint64_t value) {
    return Error(error_kind::InvalidArmCount{value});
  }
  static Error invalid_epsilon(double value) { return Error(error_kind::InvalidEpsilon{value}); }
  static Error invalid_arm_index(std::uint64_t index, std::uint64_t count) {
    return Error(error_kind::InvalidArmIndex{index, count});
  }
  static Error invalid_reward(double value) { return Error(error_kind::InvalidReward{value}); }
  static Error invalid_feature_count(std::uint64_t value) {
    return Error(error_kind::InvalidFeatureCount{value});
  }
  static Error invalid_model_state(std::string message) {
    return Error(error_kind::InvalidModelState{std::move(message)});
  }

  const Payload& payload() const { return payload_; }

  template <class Kind>
  bool is() const {
    return std::holds_alternative<Kind>(payload_);
  }

  // The one-line text users see. Never fails (bar allocation).
  std::string message() const;

 private:
  explicit Error(Payload payload) : payload_(std::move(payload)) {}
  Payload payload_;
};

template <class T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

inline std::unexpected<Error> fail(Error e) { return std::unexpected<Error>(std::move(e)); }

}  // namespace drel

// Propagates the error of a Status or Result expression.
#define DREL_TRY(expr)                                                        \
  do {                                                                        \
    if (auto drel_try_ = (expr); !drel_try_) [[unlikely]]                     \
      return std::unexpected(std::move(drel_try_).error());                   \
  } while (0)

#define DREL_CONCAT_INNER_(a, b) a##b
#define DREL_CONCAT_(a, b) DREL_CONCAT_INNER_(a, b)
// Declares `decl` from the value of a Result expression, or propagates its error.
#define DREL_ASSIGN_OR_RETURN(decl, expr) \
  DREL_ASSIGN_OR_RETURN_IMPL_(DREL_CONCAT_(drel_result_, __LINE__), decl, expr)
#define DREL_ASSIGN_OR_RETURN_IMPL_(tmp, decl, expr)          \
  auto tmp = (expr);                                          \
  if (!tmp) [[unlikely]] return std::unexpected(std::move(tmp).error()); \
  decl = std::move(*tmp)
