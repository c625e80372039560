// A reader failure before it becomes a LoadError: the message text and how many
// bytes of the input had been consumed when it was found. Line and column are
// worked out from that count only once a failure is reported.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <utility>

namespace drel {
namespace snapshot {

struct ReadFailure {
  std::string text;
  std::size_t consumed;
};

template <class T = void>
using Read = std::expected<T, ReadFailure>;

}  // namespace snapshot

// Lets DREL_TRY and DREL_ASSIGN_OR_RETURN propagate reader failures too.
inline std::unexpected<snapshot::ReadFailure> fail(snapshot::ReadFailure failure) {
  return std::unexpected<snapshot::ReadFailure>(std::move(failure));
}

}  // namespace drel
