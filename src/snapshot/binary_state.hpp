// The binary state: the same content as a snapshot document, as raw values.
//
// For moving a state between processes (pickling, Dask) where the text form
// would cost a decimal conversion per real. Text stays the form to keep and to
// exchange; this one is only ever read by the same layout version.
//
// Layout, version 1. Every integer and real is little-endian, whatever the
// machine:
//
//   offset 0   4 bytes   magic "DRLB"
//   offset 4   1 byte    layout version (1)
//   offset 5   1 byte    record kind: the index of the class in
//                        stateful_classes.hpp (0 Mean ... 7 ClassificationPipeline)
//   offset 6   6 bytes   zero: the document's model then starts 16 bytes in,
//                        so a linear model's weights lie on an 8-byte boundary
//                        when the bytes do, and are read in one copy
//   offset 12            the document {"format_version":..., "model":...}, each
//                        value in the key order of record_fields.hpp:
//     u64, feature counts   8 bytes
//     u32                   4 bytes
//     f64                   8 bytes, IEEE-754 binary64 bits
//     bool                  1 byte, 0 or 1
//     list                  u64 element count, then the elements
//     record                its fields in table order, nothing between them
//     two-variant union     1 byte variant index (0 or 1, in the order of
//                           its names), then the payload, if the variant has one
//
// and nothing after the document. The reader refuses what the snapshot reader
// refuses (a real that is not finite, a scaler state that fails validation,
// another format version) and, besides, a bad header (reserved bytes included), a byte string cut short,
// a flag other than 0 or 1, a variant index other than 0 or 1, and trailing
// bytes. A refusal is a LoadError naming the field and the byte offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>

#include "snapshot/record_fields.hpp"
#include "snapshot/snapshot.hpp"
#include "stateful_classes.hpp"

namespace drel {

inline constexpr std::uint8_t BINARY_STATE_LAYOUT_VERSION = 1;
inline constexpr std::size_t kBinaryStateHeaderSize = 12;

template <class... Records>
std::tuple<Records...> as_tuple(TypeList<Records...>);
// The records a binary state can hold, in the order of their kind byte.
using BinaryStateRecords = decltype(as_tuple(StatefulClasses{}));
inline constexpr std::size_t kBinaryStateKinds = std::tuple_size_v<BinaryStateRecords>;

// The kind byte of Record.
template <class Record>
inline constexpr std::uint8_t binary_state_kind = [] {
  std::uint8_t kind = 0;
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    ((std::is_same_v<Record, std::tuple_element_t<I, BinaryStateRecords>> ? (kind = I, 0) : 0),
     ...);
  }(std::make_index_sequence<kBinaryStateKinds>{});
  return kind;
}();

// The exact size of the binary state of `model`.
template <class Record>
std::size_t binary_state_size(const Record& model);

// Writes binary_state_size(model) bytes from `out`; returns their end.
template <class Record>
unsigned char* write_binary_state(const Record& model, unsigned char* out);

template <class Record>
std::string to_binary_state(const Record& model);

// The kind byte of a state after checking its header (magic and version),
// for a caller that picks the record type from it.
std::expected<std::uint8_t, LoadError> binary_state_kind_of(std::span<const unsigned char> bytes);

// The whole byte string as the state of a Record, or why it was refused.
template <class Record>
std::expected<Record, LoadError> load_binary_state(std::span<const unsigned char> bytes);

}  // namespace drel
