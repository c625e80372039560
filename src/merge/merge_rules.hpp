// What every merge checks before it computes: equal configurations (the
// message names what differs), counters that do not overflow, and sides that
// really continue from the given start.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "error/error.hpp"

namespace drel {

// "cannot merge states whose {what} differ: {a} and {b}"
[[gnu::cold]] std::unexpected<Error> differing(const char* what, const std::string& a,
                                               const std::string& b);
// "cannot merge: a state has seen fewer samples than the start it continues"
[[gnu::cold]] std::unexpected<Error> fewer_than_start();

// Settings compare by bit pattern, so that a merged state is one of its
// inputs' configurations exactly (0.0 and -0.0 differ).
[[nodiscard]] Status require_same(const char* what, double a, double b);
[[nodiscard]] Status require_same(const char* what, std::uint64_t a, std::uint64_t b);
[[nodiscard]] Status require_same(const char* what, bool a, bool b);

// a + b, or "{sample} counter overflow".
[[nodiscard]] Result<std::uint64_t> checked_sum(std::uint64_t a, std::uint64_t b,
                                                const char* sample);

// Samples each side saw, either since the start or in all.
struct Increments {
  std::uint64_t a = 0;
  std::uint64_t b = 0;
};

// A counter merged from a common start: start + (a - start) + (b - start), or
// without a start (start == nullptr) a + b.
struct MergedCounter {
  Increments increments;
  std::uint64_t total = 0;
};
[[nodiscard]] Result<MergedCounter> merge_counter(const std::uint64_t* start, std::uint64_t a,
                                                  std::uint64_t b, const char* sample);

}  // namespace drel
