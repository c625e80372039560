#include "error/error.hpp"

#include <string>
#include <type_traits>

#include "error/float_text.hpp"

namespace drel {
namespace {

// Assembles a message from literal pieces and rendered fields.
class MessageBuilder {
 public:
  MessageBuilder& operator<<(const char* text) {
    out_ += text;
    return *this;
  }
  MessageBuilder& operator<<(const std::string& text) {
    out_ += text;
    return *this;
  }
  MessageBuilder& operator<<(std::uint64_t n) {
    out_ += std::to_string(n);
    return *this;
  }
  MessageBuilder& operator<<(std::uint32_t n) { return *this << static_cast<std::uint64_t>(n); }
  MessageBuilder& operator<<(double x) {
    append_message_float(out_, x);
    return *this;
  }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

using namespace error_kind;

void render(MessageBuilder& m, const DimensionMismatch& e) {
  m << "dimension mismatch: expected " << e.expected << ", got " << e.got;
}
void render(MessageBuilder& m, const EmptyFeatures&) { m << "empty features are not allowed"; }
void render(MessageBuilder& m, const InvalidWindowSize&) {
  m << "invalid window size: must be greater than zero";
}
void render(MessageBuilder& m, const InvalidLearningRate& e) {
  m << "invalid learning rate: " << e.value << " (must be finite and > 0)";
}
void render(MessageBuilder& m, const InvalidParameter& e) {
  m << "invalid parameter `" << e.name << "`: " << e.value;
}
void render(MessageBuilder& m, const NonFiniteValue& e) {
  m << "non-finite value for `" << e.name << "`: " << e.value;
}
void render(MessageBuilder& m, const InvalidProbability& e) {
  m << "invalid probability: " << e.value << " (must be in [0, 1])";
}
void render(MessageBuilder& m, const InsufficientData&) {
  m << "insufficient data to compute the requested quantity";
}
void render(MessageBuilder& m, const IncompatibleStateVersion& e) {
  m << "incompatible state version: expected " << e.expected << ", got " << e.got;
}
void render(MessageBuilder& m, const UnsortedSparseFeatures&) {
  m << "sparse features must be sorted by FeatureId";
}
void render(MessageBuilder& m, const DuplicateFeatureId& e) {
  m << "duplicate feature id: " << e.id;
}
void render(MessageBuilder& m, const InvalidHashDimension& e) {
  m << "invalid hash dimension: " << e.value << " (must be > 0)";
}
void render(MessageBuilder& m, const UnknownCategory& e) { m << "unknown category: " << e.message; }
void render(MessageBuilder& m, const MissingValue& e) {
  m << "missing value (NaN) at index " << e.index;
}
void render(MessageBuilder& m, const InvalidCapacity& e) {
  m << "invalid capacity: " << e.value << " (must be greater than zero)";
}
void render(MessageBuilder& m, const InvalidSignificanceLevel& e) {
  m << "invalid significance level: " << e.value << " (must be in (0, 1))";
}
void render(MessageBuilder& m, const InvalidArmCount& e) {
  m << "invalid arm count: " << e.value << " (must be greater than zero)";
}
void render(MessageBuilder& m, const InvalidEpsilon& e) {
  m << "invalid epsilon: " << e.value << " (must be in [0, 1])";
}
void render(MessageBuilder& m, const InvalidArmIndex& e) {
  m << "invalid arm index: " << e.index << " (must be < " << e.count << ")";
}
void render(MessageBuilder& m, const InvalidReward& e) {
  m << "invalid reward: " << e.value << " (must be finite and in the valid range)";
}
void render(MessageBuilder& m, const InvalidFeatureCount& e) {
  m << "invalid feature count: " << e.value << " (must be greater than zero)";
}
void render(MessageBuilder& m, const InvalidModelState& e) {
  m << "invalid model state: " << e.message;
}

}  // namespace

std::string Error::message() const {
  MessageBuilder m;
  std::visit([&m](const auto& kind) { render(m, kind); }, payload_);
  return m.take();
}

}  // namespace drel
