// The token level of the snapshot reader: a read position over the input, the
// nesting budget, and the scratch space for escaped strings. Every failure it
// reports carries how far the input had been consumed, which is all the
// position a LoadError needs.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "snapshot/json_number.hpp"
#include "snapshot/read_failure.hpp"

namespace drel::snapshot {

// A number as "invalid type" and "invalid value" messages show it:
// "integer `5`", "floating point `5.0`".
std::string describe_number(const JsonNumber& number);

class JsonCursor {
 public:
  static constexpr int kEnd = -1;
  static constexpr int kNestingBudget = 128;

  explicit JsonCursor(std::string_view text) : text_(text) {}

  // Skips whitespace and returns the next byte without consuming it, or kEnd.
  int peek();
  // Like peek, where a value must follow: the end of the input is a failure.
  Read<int> value_start();
  std::size_t consumed() const { return pos_; }

  // The failure positioned on the next byte (the last byte when the input
  // has ended) or on the last byte consumed.
  ReadFailure fail_at_next(std::string text) const;
  ReadFailure fail_here(std::string text) const;

  // At '[' or '{': takes one unit of the nesting budget and consumes it.
  Read<> open();
  // At the matching ']' or '}': consumes it and gives the unit back.
  void close();
  // Skips whitespace and consumes `closer` if it comes next. Failures that
  // belong to a whole record are positioned after doing this.
  void consume_if_next(char closer);

  // Member and element separators, as seen before each member or element.
  // true when one follows; false when the closing bracket is next (not
  // consumed).
  Read<bool> next_key(bool first);
  Read<bool> next_element(bool first);
  Read<> colon();

  // At '"': the unescaped contents, in place when the string has no escape,
  // else in the scratch buffer (valid until the next string is read).
  Read<std::string_view> string();
  // At the first letter of `word`.
  Read<> literal(std::string_view word);
  // At '-' or a digit: the number with its value.
  Read<JsonNumber> number();
  // At '-' or a digit: the number's nearest double, as number() converts it
  // (integers included). The numbers a snapshot writes take one scan.
  Read<double> real();
  // Just after the '[' of a list of reals in the compact form the writer
  // uses ("[x,y,z]", numbers of real()'s one-scan kind): appends them all to
  // `out` and stops at the ']'. false, with nothing consumed and `out` cleared,
  // for any other text; the caller then reads the list the general way.
  bool compact_reals(std::vector<double>& out);
  // Any well-formed value, at any depth, without recursion and without using
  // the nesting budget.
  Read<> skip_value();

  // At the start of a value: the failure "invalid type: <what is there>,
  // expected <expected>", or the syntax failure met while looking.
  ReadFailure wrong_type(std::string_view expected);
  // After the document: nothing but whitespace may follow.
  Read<> end_of_document();

 private:
  enum class StringUse { Keep, Skip };

  Read<std::string_view> string_contents(StringUse use);
  Read<> escape(StringUse use);
  Read<unsigned> hex_escape();
  Read<NumberSpans> number_text();
  Read<> skip_scalar(int first);
  Read<> skip_key(int next);
  Read<std::string> describe_value();

  std::string_view text_;
  std::size_t pos_ = 0;
  int budget_ = kNestingBudget;
  std::string scratch_;
  std::string skip_stack_;  // brackets of the skipped value still open
};

}  // namespace drel::snapshot
