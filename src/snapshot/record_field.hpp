// How a snapshot record is described: its name, and its keys in the order they
// are written, each bound to the state field it carries. A class declares its
// record beside itself by specialising RecordTraits (see record_fields.hpp for
// how the tables are walked); this header needs nothing but the standard
// library, so any core header may include it.
#pragma once

#include <cstdint>
#include <string_view>
#include <tuple>

namespace drel::snapshot {

template <class Record, class Member>
struct Field {
  std::string_view key;
  Member Record::*member;
};

// A feature count: held as u64 like a sample count, but refused as "usize".
template <class Record>
struct SizeField {
  std::string_view key;
  std::uint64_t Record::*member;
};

template <class Record, class Member>
constexpr Field<Record, Member> field(std::string_view key, Member Record::*member) {
  return {key, member};
}

template <class Record>
constexpr SizeField<Record> size_field(std::string_view key, std::uint64_t Record::*member) {
  return {key, member};
}

template <class R>
struct RecordTraits;

}  // namespace drel::snapshot
