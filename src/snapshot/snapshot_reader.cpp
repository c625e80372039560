// Reads a document straight into the typed records, walking the same field
// tables as the writer. Only values under unrecognised keys are looked at
// without a record to fill; those are skipped by the cursor.

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "error/error.hpp"
#include "snapshot/json_cursor.hpp"
#include "snapshot/number_text.hpp"
#include "snapshot/record_fields.hpp"
#include "snapshot/snapshot.hpp"
#include "stateful_classes.hpp"

namespace drel {
namespace snapshot {
namespace {

constexpr int kEnd = JsonCursor::kEnd;

bool starts_number(int c) { return c == '-' || (c >= '0' && c <= '9'); }

std::string struct_name(std::string_view record) { return "struct " + std::string(record); }

// Unsigned integer fields; a negative integer or a value above `max` is out of
// range, a real is of the wrong type.
Read<> read_unsigned(JsonCursor& in, std::uint64_t& out, std::string_view kind,
                     std::uint64_t max) {
  DREL_ASSIGN_OR_RETURN(const int c, in.value_start());
  if (!starts_number(c)) return fail(in.wrong_type(kind));
  DREL_ASSIGN_OR_RETURN(const JsonNumber n, in.number());
  const auto* u = std::get_if<std::uint64_t>(&n);
  if (u && *u <= max) {
    out = *u;
    return {};
  }
  const char* problem = std::holds_alternative<double>(n) ? "invalid type: " : "invalid value: ";
  return fail(in.fail_here(problem + describe_number(n) + ", expected " + std::string(kind)));
}

Read<> read_value(JsonCursor& in, std::uint64_t& out) {
  return read_unsigned(in, out, "u64", std::numeric_limits<std::uint64_t>::max());
}

Read<> read_value(JsonCursor& in, std::uint32_t& out) {
  std::uint64_t wide = 0;
  DREL_TRY(read_unsigned(in, wide, "u32", std::numeric_limits<std::uint32_t>::max()));
  out = static_cast<std::uint32_t>(wide);
  return {};
}

// Any number; integers go to the nearest double.
Read<> read_value(JsonCursor& in, double& out) {
  DREL_ASSIGN_OR_RETURN(const int c, in.value_start());
  if (!starts_number(c)) return fail(in.wrong_type("f64"));
  DREL_ASSIGN_OR_RETURN(out, in.real());
  return {};
}

Read<> read_value(JsonCursor& in, bool& out) {
  DREL_ASSIGN_OR_RETURN(const int c, in.value_start());
  if (c != 't' && c != 'f') return fail(in.wrong_type("a boolean"));
  out = c == 't';
  return in.literal(out ? "true" : "false");
}

// The payload of a variant that carries none.
Read<> read_unit(JsonCursor& in) {
  DREL_ASSIGN_OR_RETURN(const int c, in.value_start());
  if (c != 'n') return fail(in.wrong_type("unit"));
  return in.literal("null");
}

template <class T>
Read<> read_value(JsonCursor& in, std::vector<T>& out);
template <SnapshotRecord R>
Read<> read_value(JsonCursor& in, R& out);
template <SnapshotUnion U>
Read<> read_value(JsonCursor& in, U& out);

template <class T>
Read<> read_value(JsonCursor& in, std::vector<T>& out) {
  DREL_ASSIGN_OR_RETURN(const int c, in.value_start());
  if (c != '[') return fail(in.wrong_type("a sequence"));
  DREL_TRY(in.open());
  out.clear();
  if constexpr (std::is_same_v<T, double>) {
    if (in.compact_reals(out)) {
      in.close();
      return {};
    }
  }
  for (bool first = true;; first = false) {
    DREL_ASSIGN_OR_RETURN(const bool more, in.next_element(first));
    if (!more) break;
    T element{};
    DREL_TRY(read_value(in, element));
    out.push_back(element);
  }
  in.close();
  return {};
}

// One member of a record. A scaler state is validated as soon as it has been
// read; its failure belongs to the record holding it, whose closing bracket
// is consumed first when it comes next.
template <class R, class M>
Read<> read_member(JsonCursor& in, R& record, const Field<R, M>& f, char closer) {
  DREL_TRY(read_value(in, record.*f.member));
  if constexpr (std::is_same_v<M, StandardScalerState>) {
    if (Status valid = (record.*f.member).validate(); !valid) {
      in.consume_if_next(closer);
      return fail(in.fail_here(valid.error().message()));
    }
  }
  return {};
}

template <class R>
Read<> read_member(JsonCursor& in, R& record, const SizeField<R>& f, char) {
  return read_unsigned(in, record.*f.member, "usize",
                       std::numeric_limits<std::uint64_t>::max());
}

template <SnapshotRecord R>
Read<> read_member_at(JsonCursor& in, R& record, std::size_t index, char closer) {
  Read<> result;
  with_index<field_count<R>>(index, [&](auto i) {
    result = read_member(in, record, std::get<i>(RecordTraits<R>::fields), closer);
  });
  return result;
}

template <SnapshotRecord R>
std::size_t index_of_key(std::string_view key) {
  std::size_t index = 0;
  all_fields<R>([&](const auto& f) {
    if (f.key == key) return false;
    ++index;
    return true;
  });
  return index;  // field_count<R> when no key matches
}

template <SnapshotRecord R>
std::string_view key_at(std::size_t index) {
  std::string_view key;
  with_index<field_count<R>>(index, [&](auto i) { key = std::get<i>(RecordTraits<R>::fields).key; });
  return key;
}

template <SnapshotRecord R>
Read<> read_object_form(JsonCursor& in, R& out) {
  constexpr std::size_t kFields = field_count<R>;
  DREL_TRY(in.open());
  bool seen[kFields] = {};
  for (bool first = true;; first = false) {
    DREL_ASSIGN_OR_RETURN(const bool more, in.next_key(first));
    if (!more) break;
    DREL_ASSIGN_OR_RETURN(const std::string_view key, in.string());
    const std::size_t index = index_of_key<R>(key);
    if (index < kFields && seen[index]) {
      return fail(in.fail_here("duplicate field `" + std::string(key) + "`"));
    }
    DREL_TRY(in.colon());
    if (index == kFields) {
      DREL_TRY(in.skip_value());
      continue;
    }
    seen[index] = true;
    DREL_TRY(read_member_at(in, out, index, '}'));
  }
  const auto missing = std::find(seen, seen + kFields, false);
  if (missing != seen + kFields) {
    in.consume_if_next('}');
    return fail(in.fail_here("missing field `" +
                             std::string(key_at<R>(static_cast<std::size_t>(missing - seen))) +
                             "`"));
  }
  in.close();
  return {};
}

template <SnapshotRecord R>
Read<> read_array_form(JsonCursor& in, R& out) {
  constexpr std::size_t kFields = field_count<R>;
  DREL_TRY(in.open());
  for (std::size_t index = 0; index < kFields; ++index) {
    DREL_ASSIGN_OR_RETURN(const bool more, in.next_element(index == 0));
    if (!more) {
      in.consume_if_next(']');
      return fail(in.fail_here("invalid length " + std::to_string(index) + ", expected " +
                               struct_name(RecordTraits<R>::name) + " with " +
                               std::to_string(kFields) +
                               (kFields == 1 ? " element" : " elements")));
    }
    DREL_TRY(read_member_at(in, out, index, ']'));
  }
  const int c = in.peek();
  if (c == kEnd) return fail(in.fail_at_next("EOF while parsing a list"));
  if (c == ',') {
    in.consume_if_next(',');
    const bool closes = in.peek() == ']';
    return fail(in.fail_at_next(closes ? "trailing comma" : "trailing characters"));
  }
  if (c != ']') return fail(in.fail_at_next("trailing characters"));
  in.close();
  return {};
}

template <SnapshotRecord R>
Read<> read_value(JsonCursor& in, R& out) {
  DREL_ASSIGN_OR_RETURN(const int c, in.value_start());
  if (c == '{') return read_object_form(in, out);
  if (c == '[') return read_array_form(in, out);
  return fail(in.wrong_type(struct_name(RecordTraits<R>::name)));
}

// At the opening quote of a variant name; the index of the variant.
template <SnapshotUnion U>
Read<std::size_t> read_variant_name(JsonCursor& in) {
  using Traits = UnionTraits<U>;
  DREL_ASSIGN_OR_RETURN(const std::string_view name, in.string());
  for (std::size_t i = 0; i < Traits::names.size(); ++i) {
    if (name == Traits::names[i]) return i;
  }
  return fail(in.fail_here("unknown variant `" + std::string(name) + "`, expected " +
                           expected_names<U>()));
}

// A union: "Name" for a variant without payload, {"Name":payload} for any.
template <SnapshotUnion U>
Read<> read_value(JsonCursor& in, U& out) {
  using Traits = UnionTraits<U>;
  DREL_ASSIGN_OR_RETURN(const int c, in.value_start());
  if (c == '"') {
    DREL_ASSIGN_OR_RETURN(const std::size_t index, read_variant_name<U>(in));
    Read<> result;
    with_index<alternative_count<U>>(index, [&](auto i) {
      using Payload = typename Traits::template Payload<i>;
      if constexpr (is_unit_payload<Payload>) {
        Traits::template set<i>(out, Payload{});
      } else {
        result = fail(in.fail_here("invalid type: unit variant, expected newtype variant"));
      }
    });
    return result;
  }
  if (c != '{') return fail(in.fail_at_next("expected value"));
  DREL_TRY(in.open());
  const int key = in.peek();
  if (key == kEnd) return fail(in.fail_at_next("EOF while parsing an object"));
  if (key == '}') return fail(in.fail_at_next("expected value"));
  if (key != '"') return fail(in.fail_at_next("key must be a string"));
  DREL_ASSIGN_OR_RETURN(const std::size_t index, read_variant_name<U>(in));
  DREL_TRY(in.colon());
  Read<> result;
  with_index<alternative_count<U>>(index, [&](auto i) {
    using Payload = typename Traits::template Payload<i>;
    Payload payload{};
    if constexpr (is_unit_payload<Payload>) {
      result = read_unit(in);
    } else {
      result = read_value(in, payload);
    }
    if (result) Traits::template set<i>(out, std::move(payload));
  });
  DREL_TRY(result);
  const int end = in.peek();
  if (end == kEnd) return fail(in.fail_at_next("EOF while parsing an object"));
  if (end != '}') return fail(in.fail_at_next("expected value"));
  in.close();
  return {};
}

LoadError to_load_error(std::string_view text, const ReadFailure& failure) {
  const std::string_view before = text.substr(0, failure.consumed);
  const std::size_t line_feeds = static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  const std::size_t last_feed = before.rfind('\n');
  const std::size_t column =
      last_feed == std::string_view::npos ? before.size() : before.size() - last_feed - 1;
  return LoadError::at(failure.text, line_feeds + 1, column);
}

}  // namespace
}  // namespace snapshot

template <class Record>
std::expected<Snapshot<Record>, LoadError> read_snapshot(std::string_view text) {
  snapshot::JsonCursor in(text);
  Snapshot<Record> document{};
  snapshot::Read<> status = snapshot::read_value(in, document);
  if (status) status = in.end_of_document();
  if (!status) return std::unexpected(snapshot::to_load_error(text, status.error()));
  return document;
}

template <class Record>
std::expected<Record, LoadError> load_snapshot(std::string_view text) {
  auto document = read_snapshot<Record>(text);
  if (!document) return std::unexpected(std::move(document).error());
  if (document->format_version != SNAPSHOT_FORMAT_VERSION) {
    return std::unexpected(LoadError::incompatible_version(document->format_version));
  }
  return std::move(document->model);
}

#define DREL_INSTANTIATE_READER(Record, Name)                                                \
  template std::expected<Snapshot<Record>, LoadError> read_snapshot<Record>(std::string_view); \
  template std::expected<Record, LoadError> load_snapshot<Record>(std::string_view);
DREL_STATEFUL_CLASSES(DREL_INSTANTIATE_READER)
#undef DREL_INSTANTIATE_READER

}  // namespace drel
