// Reads a binary state into the typed records by walking the same field tables
// as the snapshot reader, and applies the same checks: reals finite (a
// document cannot hold any other), every scaler state validated as soon as it
// is read, the format version compared last.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "common/lanes.hpp"
#include "error/error.hpp"
#include "error/guards.hpp"
#include "snapshot/binary_state.hpp"
#include "snapshot/read_failure.hpp"

namespace drel {
namespace snapshot {
namespace {

constexpr std::string_view kMagic = "DRLB";

bool finite_bits(std::uint64_t bits) {
  constexpr std::uint64_t kAllOnes = 0x7ff0000000000000ULL;
  return (bits & kAllOnes) != kAllOnes;
}

// Whether n reals are all finite, in one pass without an early exit: the
// exponent test of error/guards.hpp per real, OR-ed per lane (see
// common/lanes.hpp), so that the pass runs as vector operations.
struct FinitePass {
  template <std::size_t kWidth>
  [[gnu::always_inline]] static void block(const double* __restrict values, std::size_t i,
                                           std::uint64_t* __restrict bits) {
    for (std::size_t l = 0; l < kWidth; ++l) bits[l] |= non_finite_bit(values[i + l]);
  }

  template <std::size_t kLanes>
  [[gnu::always_inline]] static bool run(const double* __restrict values, std::size_t n) {
    return none_non_finite(over_blocks<kLanes>(n, [&](auto width, std::size_t i, std::uint64_t* bits) {
      block<width()>(values, i, bits);
    }));
  }
};

bool all_finite(const double* values, std::size_t n) {
  return Dispatched<FinitePass>::run(values, n);
}

// The reals of a large list are checked and copied a block at a time: the
// copy reads a block the check has just brought into the first-level cache,
// so the input is read from memory once, not once by the copy and once more
// by a check of the copy.
constexpr std::size_t kCheckedBlock = 2048;

class ByteReader {
 public:
  explicit ByteReader(std::span<const unsigned char> bytes)
      : begin_(bytes.data()), at_(bytes.data()), end_(bytes.data() + bytes.size()) {}

  std::size_t offset() const { return static_cast<std::size_t>(at_ - begin_); }
  std::size_t left() const { return static_cast<std::size_t>(end_ - at_); }

  // The key whose value is being read, for messages.
  std::string_view key = "format_version";

  // A failure of the value that starts `back` bytes before the current offset.
  ReadFailure failure(std::string text, std::size_t back = 0) const {
    return {text + " (field `" + std::string(key) + "`)", offset() - back};
  }

  Read<> need(std::size_t bytes) const {
    if (bytes <= left()) return {};
    return fail(failure("cut short: " + std::to_string(bytes) + " more bytes needed, " +
                        std::to_string(left()) + " left"));
  }

  template <class U>
    requires std::is_unsigned_v<U>
  Read<U> little_endian() {
    DREL_TRY(need(sizeof(U)));
    U value;
    std::memcpy(&value, at_, sizeof value);
    if constexpr (std::endian::native == std::endian::big) value = std::byteswap(value);
    at_ += sizeof value;
    return value;
  }

  Read<std::uint8_t> byte() {
    DREL_TRY(need(1));
    return *at_++;
  }

  // `count` reals, already known to fit, checked finite. On a little-endian
  // machine a block is checked where it lies and appended to `out` in one copy
  // when the input is aligned for doubles (no zero-fill first); otherwise the
  // reals are copied into a zeroed vector, then checked.
  Read<> reals(std::vector<double>& out, std::size_t count) {
    out.clear();
    bool finite = true;
    if constexpr (std::endian::native == std::endian::little) {
      if (reinterpret_cast<std::uintptr_t>(at_) % alignof(double) == 0) {
        const auto* first = reinterpret_cast<const double*>(at_);
        out.reserve(count);
        for (std::size_t i = 0; i < count && finite; i += kCheckedBlock) {
          const std::size_t block = std::min(kCheckedBlock, count - i);
          finite = all_finite(first + i, block);
          if (finite) out.insert(out.end(), first + i, first + i + block);
        }
      } else {
        out.resize(count);
        if (count > 0) std::memcpy(out.data(), at_, count * sizeof(double));
        finite = all_finite(out.data(), count);
      }
    } else {
      out.resize(count);
      for (std::size_t i = 0; i < count; ++i) {
        std::uint64_t bits;
        std::memcpy(&bits, at_ + i * sizeof bits, sizeof bits);
        out[i] = std::bit_cast<double>(std::byteswap(bits));
      }
      finite = all_finite(out.data(), count);
    }
    if (!finite) return fail(first_non_finite(count));
    at_ += count * sizeof(double);
    return {};
  }

  // The failure of the first of the next `count` reals that is not finite
  // (one is known not to be), read from the input itself.
  ReadFailure first_non_finite(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      std::uint64_t bits;
      std::memcpy(&bits, at_ + i * sizeof bits, sizeof bits);
      if constexpr (std::endian::native == std::endian::big) bits = std::byteswap(bits);
      if (!finite_bits(bits)) {
        at_ += i * sizeof bits;
        break;
      }
    }
    return failure("not a finite real");
  }

 private:
  const unsigned char* begin_;
  const unsigned char* at_;
  const unsigned char* end_;
};

Read<> read_value(ByteReader& in, std::uint64_t& out) {
  DREL_ASSIGN_OR_RETURN(out, in.little_endian<std::uint64_t>());
  return {};
}

Read<> read_value(ByteReader& in, std::uint32_t& out) {
  DREL_ASSIGN_OR_RETURN(out, in.little_endian<std::uint32_t>());
  return {};
}

Read<> read_value(ByteReader& in, double& out) {
  DREL_ASSIGN_OR_RETURN(const std::uint64_t bits, in.little_endian<std::uint64_t>());
  if (!finite_bits(bits)) return fail(in.failure("not a finite real", sizeof bits));
  out = std::bit_cast<double>(bits);
  return {};
}

Read<> read_value(ByteReader& in, bool& out) {
  DREL_ASSIGN_OR_RETURN(const std::uint8_t b, in.byte());
  if (b > 1) return fail(in.failure("a flag must be 0 or 1, not " + std::to_string(b), 1));
  out = b == 1;
  return {};
}

template <class T>
Read<> read_value(ByteReader& in, std::vector<T>& out);
template <SnapshotRecord R>
Read<> read_value(ByteReader& in, R& out);
template <SnapshotUnion U>
Read<> read_value(ByteReader& in, U& out);

// The element count is checked against the bytes left before anything is
// allocated: a forged count cannot ask for more memory than the input holds.
template <class T>
Read<> read_value(ByteReader& in, std::vector<T>& out) {
  DREL_ASSIGN_OR_RETURN(const std::uint64_t count, in.little_endian<std::uint64_t>());
  constexpr std::size_t kElement = std::is_same_v<T, bool> ? 1 : sizeof(T);
  if (count > in.left() / kElement) {
    return fail(in.failure("cut short: a list of " + std::to_string(count) +
                               " elements needs more than the " + std::to_string(in.left()) +
                               " bytes left",
                           sizeof count));
  }
  const auto n = static_cast<std::size_t>(count);
  if constexpr (std::is_same_v<T, double>) {
    return in.reals(out, n);
  } else {
    out.assign(n, T{});
    for (T& element : out) DREL_TRY(read_value(in, element));
    return {};
  }
}

// One member of a record (the document's model included). As in the snapshot
// reader, a scaler state is validated as soon as it has been read.
template <class M>
Read<> read_member(ByteReader& in, std::string_view key, M& member) {
  in.key = key;
  DREL_TRY(read_value(in, member));
  if constexpr (std::is_same_v<M, StandardScalerState>) {
    if (Status valid = member.validate(); !valid) return fail(in.failure(valid.error().message()));
  }
  return {};
}

template <SnapshotRecord R>
Read<> read_value(ByteReader& in, R& out) {
  Read<> status;
  all_fields<R>([&](const auto& f) {
    status = read_member(in, f.key, out.*f.member);
    return status.has_value();
  });
  return status;
}

template <SnapshotUnion U>
Read<> read_value(ByteReader& in, U& out) {
  using Traits = UnionTraits<U>;
  const std::string_view key = in.key;
  DREL_ASSIGN_OR_RETURN(const std::uint8_t index, in.byte());
  if (index > 1) {
    return fail(in.failure("unknown variant " + std::to_string(index) + ", expected 0 (`" +
                           std::string(Traits::names[0]) + "`) or 1 (`" +
                           std::string(Traits::names[1]) + "`)",
                           1));
  }
  Read<> result;
  with_index<2>(index, [&](auto i) {
    using Payload = typename Traits::template Payload<i>;
    Payload payload{};
    if constexpr (!is_unit_payload<Payload>) result = read_value(in, payload);
    if (result) Traits::template set<i>(out, std::move(payload));
  });
  in.key = key;
  return result;
}

LoadError to_load_error(const ReadFailure& failure) {
  return LoadError::without_position("invalid binary state: " + failure.text + " at byte " +
                                     std::to_string(failure.consumed));
}

// The model of a state whose header has been checked, then nothing more.
template <class Record>
Read<Snapshot<Record>> read_document(ByteReader& in) {
  Snapshot<Record> document{};
  const auto& [version_field, model_field] = RecordTraits<Snapshot<Record>>::fields;
  DREL_TRY(read_member(in, version_field.key, document.format_version));
  DREL_TRY(read_member(in, model_field.key, document.model));
  if (in.left() != 0) {
    return fail(ReadFailure{std::to_string(in.left()) + " bytes after the end of the state",
                            in.offset()});
  }
  return document;
}

}  // namespace
}  // namespace snapshot

std::expected<std::uint8_t, LoadError> binary_state_kind_of(std::span<const unsigned char> bytes) {
  using snapshot::to_load_error;
  using snapshot::ReadFailure;
  if (bytes.size() < kBinaryStateHeaderSize) {
    return std::unexpected(to_load_error(ReadFailure{
        "cut short: " + std::to_string(bytes.size()) + " bytes, less than its header", 0}));
  }
  if (std::memcmp(bytes.data(), snapshot::kMagic.data(), snapshot::kMagic.size()) != 0) {
    return std::unexpected(to_load_error(ReadFailure{"no state header", 0}));
  }
  if (bytes[4] != BINARY_STATE_LAYOUT_VERSION) {
    return std::unexpected(to_load_error(
        ReadFailure{"layout version " + std::to_string(bytes[4]) + " (this build reads " +
                        std::to_string(BINARY_STATE_LAYOUT_VERSION) + ")",
                    4}));
  }
  for (std::size_t i = 6; i < kBinaryStateHeaderSize; ++i) {
    if (bytes[i] != 0) {
      return std::unexpected(to_load_error(ReadFailure{"a reserved header byte is not zero", i}));
    }
  }
  if (bytes[5] >= kBinaryStateKinds) {
    return std::unexpected(
        to_load_error(ReadFailure{"unknown record kind " + std::to_string(bytes[5]), 5}));
  }
  return bytes[5];
}

template <class Record>
std::expected<Record, LoadError> load_binary_state(std::span<const unsigned char> bytes) {
  auto kind = binary_state_kind_of(bytes);
  if (!kind) return std::unexpected(std::move(kind).error());
  if (*kind != binary_state_kind<Record>) {
    return std::unexpected(snapshot::to_load_error(snapshot::ReadFailure{
        "holds record kind " + std::to_string(*kind) + ", not " +
            std::string(snapshot::RecordTraits<Record>::name) + " (kind " +
            std::to_string(binary_state_kind<Record>) + ")",
        5}));
  }
  snapshot::ByteReader in(bytes.subspan(kBinaryStateHeaderSize));
  auto document = snapshot::read_document<Record>(in);
  if (!document) {
    snapshot::ReadFailure failure = std::move(document).error();
    failure.consumed += kBinaryStateHeaderSize;
    return std::unexpected(snapshot::to_load_error(failure));
  }
  if (document->format_version != SNAPSHOT_FORMAT_VERSION) {
    return std::unexpected(LoadError::incompatible_version(document->format_version));
  }
  return std::move(document->model);
}

#define DREL_INSTANTIATE_BINARY_READER(Record, Name) \
  template std::expected<Record, LoadError> load_binary_state<Record>(std::span<const unsigned char>);
DREL_STATEFUL_CLASSES(DREL_INSTANTIATE_BINARY_READER)
#undef DREL_INSTANTIATE_BINARY_READER

}  // namespace drel
