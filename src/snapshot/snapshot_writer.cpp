// Streams a record straight to text: one pass, one buffer, keys in table order.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "snapshot/number_text.hpp"
#include "snapshot/record_fields.hpp"
#include "snapshot/snapshot.hpp"
#include "snapshot/top_level_records.hpp"

namespace drel {
namespace snapshot {
namespace {

class JsonText {
 public:
  JsonText() { out_.reserve(128); }

  void put(char c) { out_ += c; }
  void put(std::string_view text) { out_.append(text); }
  // Keys and variant names are plain identifiers: nothing to escape.
  void quoted(std::string_view name) {
    out_ += '"';
    out_.append(name);
    out_ += '"';
  }
  void key(std::string_view name) {
    quoted(name);
    out_ += ':';
  }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

void write_value(JsonText& out, std::uint64_t n) {
  out.put(NumberText::unsigned_integer(n).view());
}
void write_value(JsonText& out, std::uint32_t n) {
  out.put(NumberText::unsigned_integer(n).view());
}
void write_value(JsonText& out, double x) { out.put(NumberText::real(x).view()); }
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
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i != 0) out.put(',');
    write_value(out, list[i]);
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
  with_index<2>(index, [&](auto i) {
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
std::string write_document(std::uint32_t format_version, const Record& model) {
  const auto& [version_field, model_field] = RecordTraits<Snapshot<Record>>::fields;
  JsonText out;
  out.put('{');
  out.key(version_field.key);
  write_value(out, format_version);
  out.put(',');
  out.key(model_field.key);
  write_value(out, model);
  out.put('}');
  return out.take();
}

}  // namespace
}  // namespace snapshot

template <class Record>
std::string write_snapshot(const Snapshot<Record>& s) {
  return snapshot::write_document(s.format_version, s.model);
}

template <class Record>
std::string to_snapshot_json(const Record& model) {
  return snapshot::write_document(SNAPSHOT_FORMAT_VERSION, model);
}

#define DREL_INSTANTIATE_WRITER(Record)                                 \
  template std::string write_snapshot<Record>(const Snapshot<Record>&); \
  template std::string to_snapshot_json<Record>(const Record&);
DREL_SNAPSHOT_TOP_LEVEL_RECORDS(DREL_INSTANTIATE_WRITER)
#undef DREL_INSTANTIATE_WRITER

}  // namespace drel
