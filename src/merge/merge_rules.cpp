#include "merge/merge_rules.hpp"

#include <bit>
#include <limits>

#include "error/float_text.hpp"
#include "error/guards.hpp"

namespace drel {

std::unexpected<Error> differing(const char* what, const std::string& a, const std::string& b) {
  return fail(Error::invalid_model_state(std::string("cannot merge states whose ") + what +
                                         " differ: " + a + " and " + b));
}

std::unexpected<Error> fewer_than_start() {
  return fail(Error::invalid_model_state(
      "cannot merge: a state has seen fewer samples than the start it continues"));
}

Status require_same(const char* what, double a, double b) {
  if (std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b)) return {};
  return differing(what, message_float(a), message_float(b));
}

Status require_same(const char* what, std::uint64_t a, std::uint64_t b) {
  if (a == b) return {};
  return differing(what, std::to_string(a), std::to_string(b));
}

Status require_same(const char* what, bool a, bool b) {
  if (a == b) return {};
  return differing(what, a ? "true" : "false", b ? "true" : "false");
}

Result<std::uint64_t> checked_sum(std::uint64_t a, std::uint64_t b, const char* sample) {
  if (b > std::numeric_limits<std::uint64_t>::max() - a) [[unlikely]]
    return counter_overflow(sample);
  return a + b;
}

Result<MergedCounter> merge_counter(const std::uint64_t* start, std::uint64_t a, std::uint64_t b,
                                    const char* sample) {
  if (start == nullptr) {
    DREL_ASSIGN_OR_RETURN(const std::uint64_t total, checked_sum(a, b, sample));
    return MergedCounter{{a, b}, total};
  }
  if (a < *start || b < *start) return fewer_than_start();
  const Increments increments{a - *start, b - *start};
  DREL_ASSIGN_OR_RETURN(const std::uint64_t total, checked_sum(a, increments.b, sample));
  return MergedCounter{increments, total};
}

}  // namespace drel
