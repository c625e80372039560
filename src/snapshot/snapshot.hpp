// Snapshots: the complete state of one object as a compact JSON text, and the
// strict reader that rebuilds it. The writer and the reader share one
// description of every record (record_fields.hpp), so a key can never be
// written under one name and read under another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace drel {

inline constexpr std::uint32_t SNAPSHOT_FORMAT_VERSION = 1;

template <class Record>
struct Snapshot {
  std::uint32_t format_version;
  Record model;
};

// Why a document was refused: a reader message with the place it refers to,
// or the version mismatch, which belongs to the whole document.
class LoadError {
 public:
  // line counts from 1; column is the number of bytes of that line up to and
  // including the reported one (0 before the first byte of a line).
  static LoadError at(std::string text, std::size_t line, std::size_t column);
  static LoadError incompatible_version(std::uint32_t got);
  // A message that carries its own place (the binary state reader's).
  static LoadError without_position(std::string text);

  // text + " at line L column C"; the version message has no position.
  std::string message() const;
  const std::string& text() const { return text_; }
  bool has_position() const { return has_position_; }
  std::size_t line() const { return line_; }
  std::size_t column() const { return column_; }

 private:
  LoadError(std::string text, bool has_position, std::size_t line, std::size_t column)
      : text_(std::move(text)), has_position_(has_position), line_(line), column_(column) {}

  std::string text_;
  bool has_position_;
  std::size_t line_;
  std::size_t column_;
};

// Record is one of Mean, ExponentiallyWeightedMean, Variance,
// StandardScalerState, LinearRegression, LogisticRegression,
// RegressionPipeline, ClassificationPipeline.

// Never fails: a non-finite real is written as null.
template <class Record>
std::string write_snapshot(const Snapshot<Record>& snapshot);

// The document of `model` under the current format version.
template <class Record>
std::string to_snapshot_json(const Record& model);

// The same document written into caller memory, for callers that own the
// buffer (the text is ASCII): at most snapshot_json_room(model) bytes from
// `out`; returns the end of the text.
template <class Record>
std::size_t snapshot_json_room(const Record& model);
template <class Record>
char* write_snapshot_json(const Record& model, char* out);

// The whole text as one document: the envelope and its record, then nothing
// but whitespace. Every StandardScalerState met is validated on the way.
template <class Record>
std::expected<Snapshot<Record>, LoadError> read_snapshot(std::string_view text);

// read_snapshot, then the format version check.
template <class Record>
std::expected<Record, LoadError> load_snapshot(std::string_view text);

}  // namespace drel
