// Streams a record straight to text: one pass over a buffer sized in advance
// from the record's shape, keys in table order, each number laid out in place.

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "snapshot/number_text.hpp"
#include "snapshot/record_fields.hpp"
#include "snapshot/snapshot.hpp"
#include "stateful_classes.hpp"

namespace drel {
namespace snapshot {
namespace {

// ---- the room a value can take ------------------------------------------------

constexpr std::size_t kQuotes = 2;
std::size_t key_room(std::string_view name) { return name.size() + kQuotes + 1; }

std::size_t room(std::uint64_t) { return kMaxUnsignedText; }
std::size_t room(std::uint32_t) { return kMaxUnsignedText; }
std::size_t room(double) { return kMaxRealText; }
std::size_t room(bool) { return 5; }

template <class T>
std::size_t room(const std::vector<T>& list);
template <SnapshotRecord R>
std::size_t room(const R& record);
template <SnapshotUnion U>
std::size_t room(const U& u);

template <class T>
std::size_t room(const std::vector<T>& list) {
  static_assert(std::is_arithmetic_v<T>, "lists hold numbers only");
  // Brackets, and each element with a comma.
  return 2 + list.size() * (room(T{}) + 1);
}

template <SnapshotRecord R>
std::size_t room(const R& record) {
  std::size_t total = 2 + field_count<R>;  // braces and commas
  for_each_field<R>([&](const auto& f) { total += key_room(f.key) + room(record.*f.member); });
  return total;
}

template <SnapshotUnion U>
std::size_t room(const U& u) {
  using Traits = UnionTraits<U>;
  std::size_t total = 0;
  with_index<alternative_count<U>>(Traits::index(u), [&](auto i) {
    using Payload = typename Traits::template Payload<i>;
    total = Traits::names[i].size() + kQuotes;
    if constexpr (!is_unit_payload<Payload>) {
      total += 2 + 1 + room(Traits::template payload<i>(u));  // {"Name":payload}
    }
  });
  return total;
}

// ---- writing ------------------------------------------------------------------

class JsonText {
 public:
  explicit JsonText(char* out) : out_(out) {}

  void put(char c) { *out_++ = c; }
  void put(std::string_view text) {
    std::memcpy(out_, text.data(), text.size());
    out_ += text.size();
  }
  // Keys and variant names are plain identifiers: nothing to escape.
  void quoted(std::string_view name) {
    put('"');
    put(name);
    put('"');
  }
  void key(std::string_view name) {
    quoted(name);
    put(':');
  }
  void real(double x) { out_ = write_real(out_, x); }
  void unsigned_integer(std::uint64_t n) { out_ = write_unsigned(out_, n); }
  char* end() const { return out_; }

 private:
  char* out_;
};

void write_value(JsonText& out, std::uint64_t n) { out.unsigned_integer(n); }
void write_value(JsonText& out, std::uint32_t n) { out.unsigned_integer(n); }
void write_value(JsonText& out, double x) { out.real(x); }
void write_value(JsonText& out, bool flag) { out.put(flag ? "true" : "false"); }

template <class T>
void write_value(JsonText& out, const std::vector<T>& list);
template <SnapshotRecord R>
void write_value(JsonText& out, const R& record);
template <SnapshotUnion U>
void write_value(JsonText& out, const U& u);

template <class T>
void write_value(JsonText& out, const std::vector<T>& list) {
  out.put('[');
  if (!list.empty()) {
    write_value(out, list[0]);
    for (std::size_t i = 1; i < list.size(); ++i) {
      out.put(',');
      write_value(out, list[i]);
    }
  }
  out.put(']');
}

template <SnapshotRecord R>
void write_value(JsonText& out, const R& record) {
  out.put('{');
  bool first = true;
  for_each_field<R>([&](const auto& f) {
    if (!first) out.put(',');
    first = false;
    out.key(f.key);
    write_value(out, record.*f.member);
  });
  out.put('}');
}

template <SnapshotUnion U>
void write_value(JsonText& out, const U& u) {
  using Traits = UnionTraits<U>;
  const std::size_t index = Traits::index(u);
  with_index<alternative_count<U>>(index, [&](auto i) {
    using Payload = typename Traits::template Payload<i>;
    if constexpr (is_unit_payload<Payload>) {
      out.quoted(Traits::names[i]);
    } else {
      out.put('{');
      out.key(Traits::names[i]);
      write_value(out, Traits::template payload<i>(u));
      out.put('}');
    }
  });
}

// The envelope by its own key table, without copying the record into one.
template <class Record>
std::size_t document_room(std::uint32_t format_version, const Record& model) {
  const auto& [version_field, model_field] = RecordTraits<Snapshot<Record>>::fields;
  return 3 + key_room(version_field.key) + room(format_version) + key_room(model_field.key) +
         room(model);
}

template <class Record>
char* write_document(std::uint32_t format_version, const Record& model, char* buffer) {
  const auto& [version_field, model_field] = RecordTraits<Snapshot<Record>>::fields;
  JsonText out(buffer);
  out.put('{');
  out.key(version_field.key);
  write_value(out, format_version);
  out.put(',');
  out.key(model_field.key);
  write_value(out, model);
  out.put('}');
  return out.end();
}

template <class Record>
std::string document_text(std::uint32_t format_version, const Record& model) {
  std::string text;
  text.resize_and_overwrite(document_room(format_version, model), [&](char* buffer, std::size_t) {
    return static_cast<std::size_t>(write_document(format_version, model, buffer) - buffer);
  });
  return text;
}

}  // namespace
}  // namespace snapshot

template <class Record>
std::string write_snapshot(const Snapshot<Record>& s) {
  return snapshot::document_text(s.format_version, s.model);
}

template <class Record>
std::string to_snapshot_json(const Record& model) {
  return snapshot::document_text(SNAPSHOT_FORMAT_VERSION, model);
}

template <class Record>
std::size_t snapshot_json_room(const Record& model) {
  return snapshot::document_room(SNAPSHOT_FORMAT_VERSION, model);
}

template <class Record>
char* write_snapshot_json(const Record& model, char* out) {
  return snapshot::write_document(SNAPSHOT_FORMAT_VERSION, model, out);
}

#define DREL_INSTANTIATE_WRITER(Record, Name)                           \
  template std::string write_snapshot<Record>(const Snapshot<Record>&); \
  template std::string to_snapshot_json<Record>(const Record&);         \
  template std::size_t snapshot_json_room<Record>(const Record&);       \
  template char* write_snapshot_json<Record>(const Record&, char*);
DREL_STATEFUL_CLASSES(DREL_INSTANTIATE_WRITER)
#undef DREL_INSTANTIATE_WRITER

}  // namespace drel
