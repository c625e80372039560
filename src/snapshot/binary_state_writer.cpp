// Writes a record as its binary state by walking the snapshot field tables:
// every key the text form writes is written here, in the same order, as raw
// little-endian bytes.

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "snapshot/binary_state.hpp"

namespace drel {
namespace snapshot {
namespace {

// ---- size ----------------------------------------------------------------------

template <class T>
  requires std::is_arithmetic_v<T>
constexpr std::size_t size_of(T) {
  return std::is_same_v<T, bool> ? 1 : sizeof(T);
}

template <class T>
std::size_t size_of(const std::vector<T>& list) {
  return sizeof(std::uint64_t) + list.size() * size_of(T{});
}
template <SnapshotRecord R>
std::size_t size_of(const R& record);
template <SnapshotUnion U>
std::size_t size_of(const U& u);

template <SnapshotRecord R>
std::size_t size_of(const R& record) {
  std::size_t total = 0;
  for_each_field<R>([&](const auto& f) { total += size_of(record.*f.member); });
  return total;
}

template <SnapshotUnion U>
std::size_t size_of(const U& u) {
  using Traits = UnionTraits<U>;
  std::size_t total = 1;
  with_index<2>(Traits::index(u), [&](auto i) {
    if constexpr (!is_unit_payload<typename Traits::template Payload<i>>) {
      total += size_of(Traits::template payload<i>(u));
    }
  });
  return total;
}

// ---- bytes ---------------------------------------------------------------------

class ByteWriter {
 public:
  explicit ByteWriter(unsigned char* out) : out_(out) {}

  template <class U>
    requires std::is_unsigned_v<U>
  void little_endian(U value) {
    if constexpr (std::endian::native == std::endian::big) value = std::byteswap(value);
    std::memcpy(out_, &value, sizeof value);
    out_ += sizeof value;
  }
  void byte(std::uint8_t b) { *out_++ = b; }
  // Reals of a list in one copy where the machine is little-endian already.
  void reals(const std::vector<double>& values) {
    if constexpr (std::endian::native == std::endian::little) {
      if (!values.empty()) std::memcpy(out_, values.data(), values.size() * sizeof(double));
      out_ += values.size() * sizeof(double);
    } else {
      for (double x : values) little_endian(std::bit_cast<std::uint64_t>(x));
    }
  }
  unsigned char* end() const { return out_; }

 private:
  unsigned char* out_;
};

void write_value(ByteWriter& out, std::uint64_t n) { out.little_endian(n); }
void write_value(ByteWriter& out, std::uint32_t n) { out.little_endian(n); }
void write_value(ByteWriter& out, double x) { out.little_endian(std::bit_cast<std::uint64_t>(x)); }
void write_value(ByteWriter& out, bool flag) { out.byte(flag ? 1 : 0); }

template <class T>
void write_value(ByteWriter& out, const std::vector<T>& list);
template <SnapshotRecord R>
void write_value(ByteWriter& out, const R& record);
template <SnapshotUnion U>
void write_value(ByteWriter& out, const U& u);

template <class T>
void write_value(ByteWriter& out, const std::vector<T>& list) {
  out.little_endian(static_cast<std::uint64_t>(list.size()));
  if constexpr (std::is_same_v<T, double>) {
    out.reals(list);
  } else {
    for (const T& element : list) write_value(out, element);
  }
}

template <SnapshotRecord R>
void write_value(ByteWriter& out, const R& record) {
  for_each_field<R>([&](const auto& f) { write_value(out, record.*f.member); });
}

template <SnapshotUnion U>
void write_value(ByteWriter& out, const U& u) {
  using Traits = UnionTraits<U>;
  const std::size_t index = Traits::index(u);
  out.byte(static_cast<std::uint8_t>(index));
  with_index<2>(index, [&](auto i) {
    if constexpr (!is_unit_payload<typename Traits::template Payload<i>>) {
      write_value(out, Traits::template payload<i>(u));
    }
  });
}

// The envelope {format_version, model} without copying the record into one.
template <class Record>
std::size_t document_size(const Record& model) {
  return size_of(SNAPSHOT_FORMAT_VERSION) + size_of(model);
}

template <class Record>
unsigned char* write_document(const Record& model, unsigned char* buffer) {
  ByteWriter out(buffer);
  for (char c : std::string_view("DRLB")) out.byte(static_cast<std::uint8_t>(c));
  out.byte(BINARY_STATE_LAYOUT_VERSION);
  out.byte(binary_state_kind<Record>);
  for (std::size_t i = 6; i < kBinaryStateHeaderSize; ++i) out.byte(0);
  write_value(out, SNAPSHOT_FORMAT_VERSION);
  write_value(out, model);
  return out.end();
}

}  // namespace
}  // namespace snapshot

template <class Record>
std::size_t binary_state_size(const Record& model) {
  return kBinaryStateHeaderSize + snapshot::document_size(model);
}

template <class Record>
unsigned char* write_binary_state(const Record& model, unsigned char* out) {
  return snapshot::write_document(model, out);
}

template <class Record>
std::string to_binary_state(const Record& model) {
  std::string bytes;
  bytes.resize_and_overwrite(binary_state_size(model), [&](char* buffer, std::size_t) {
    auto* start = reinterpret_cast<unsigned char*>(buffer);
    return static_cast<std::size_t>(write_binary_state(model, start) - start);
  });
  return bytes;
}

#define DREL_INSTANTIATE_BINARY_WRITER(Record, Name)                        \
  template std::size_t binary_state_size<Record>(const Record&);        \
  template unsigned char* write_binary_state<Record>(const Record&, unsigned char*); \
  template std::string to_binary_state<Record>(const Record&);
DREL_STATEFUL_CLASSES(DREL_INSTANTIATE_BINARY_WRITER)
#undef DREL_INSTANTIATE_BINARY_WRITER

}  // namespace drel
