#include "snapshot/json_cursor.hpp"

#include <cstdint>
#include <variant>

#include "error/error.hpp"
#include "snapshot/number_text.hpp"
#include "snapshot/short_real.hpp"

namespace drel::snapshot {
namespace {

constexpr const char* kEofValue = "EOF while parsing a value";
constexpr const char* kEofList = "EOF while parsing a list";
constexpr const char* kEofObject = "EOF while parsing an object";
constexpr const char* kEofString = "EOF while parsing a string";
constexpr const char* kExpectedValue = "expected value";
constexpr const char* kInvalidNumber = "invalid number";
constexpr const char* kTrailingComma = "trailing comma";
constexpr const char* kKeyMustBeString = "key must be a string";

bool is_digit(int c) { return c >= '0' && c <= '9'; }
bool is_whitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, std::uint32_t code_point) {
  if (code_point < 0x80) {
    out += static_cast<char>(code_point);
  } else if (code_point < 0x800) {
    out += static_cast<char>(0xC0 | (code_point >> 6));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    out += static_cast<char>(0xE0 | (code_point >> 12));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code_point >> 18));
    out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  }
}

void append_escaped_code(std::string& out, unsigned code) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\u{";
  bool started = false;
  for (int shift = 4; shift >= 0; shift -= 4) {
    const unsigned digit = (code >> shift) & 0xF;
    if (digit != 0 || started || shift == 0) {
      out += kHex[digit];
      started = true;
    }
  }
  out += '}';
}

// A string in messages: quoted, with quotes, backslashes and control
// characters (C0, DEL and C1) escaped so the message stays on one line.
std::string quoted_for_message(std::string_view s) {
  std::string out = "\"";
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          append_escaped_code(out, c);
        } else if (c == 0xC2 && i + 1 < s.size() &&
                   static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(s[i + 1]) <= 0x9F) {
          append_escaped_code(out, static_cast<unsigned char>(s[i + 1]));
          ++i;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace

std::string describe_number(const JsonNumber& number) {
  if (const auto* u = std::get_if<std::uint64_t>(&number)) {
    return "integer `" + std::string(NumberText::unsigned_integer(*u).view()) + "`";
  }
  if (const auto* i = std::get_if<std::int64_t>(&number)) {
    return "integer `" + std::string(NumberText::signed_integer(*i).view()) + "`";
  }
  return "floating point `" + std::string(NumberText::real(std::get<double>(number)).view()) +
         "`";
}

int JsonCursor::peek() {
  while (pos_ < text_.size() && is_whitespace(text_[pos_])) ++pos_;
  return pos_ < text_.size() ? static_cast<unsigned char>(text_[pos_]) : kEnd;
}

Read<int> JsonCursor::value_start() {
  const int c = peek();
  if (c == kEnd) return fail(fail_at_next(kEofValue));
  return c;
}

ReadFailure JsonCursor::fail_at_next(std::string text) const {
  return {std::move(text), pos_ < text_.size() ? pos_ + 1 : text_.size()};
}

ReadFailure JsonCursor::fail_here(std::string text) const { return {std::move(text), pos_}; }

Read<> JsonCursor::open() {
  if (budget_ == 1) return fail(fail_at_next("recursion limit exceeded"));
  --budget_;
  ++pos_;
  return {};
}

void JsonCursor::close() {
  ++budget_;
  ++pos_;
}

void JsonCursor::consume_if_next(char closer) {
  if (peek() == closer) ++pos_;
}

Read<bool> JsonCursor::next_key(bool first) {
  int c = peek();
  if (c == '}') return false;
  if (c == ',' && !first) {
    ++pos_;
    c = peek();
    if (c == '"') return true;
    if (c == '}') return fail(fail_at_next(kTrailingComma));
    if (c == kEnd) return fail(fail_at_next(kEofValue));
    return fail(fail_at_next(kKeyMustBeString));
  }
  if (c == kEnd) return fail(fail_at_next(kEofObject));
  if (!first) return fail(fail_at_next("expected `,` or `}`"));
  if (c != '"') return fail(fail_at_next(kKeyMustBeString));
  return true;
}

Read<bool> JsonCursor::next_element(bool first) {
  int c = peek();
  if (c == ']') return false;
  if (c == ',' && !first) {
    ++pos_;
    c = peek();
    if (c == ']') return fail(fail_at_next(kTrailingComma));
    if (c == kEnd) return fail(fail_at_next(kEofValue));
    return true;
  }
  if (c == kEnd) return fail(fail_at_next(kEofList));
  if (!first) return fail(fail_at_next("expected `,` or `]`"));
  return true;
}

Read<> JsonCursor::colon() {
  const int c = peek();
  if (c == ':') {
    ++pos_;
    return {};
  }
  if (c == kEnd) return fail(fail_at_next(kEofObject));
  return fail(fail_at_next("expected `:`"));
}

Read<std::string_view> JsonCursor::string() { return string_contents(StringUse::Keep); }

Read<std::string_view> JsonCursor::string_contents(StringUse use) {
  ++pos_;  // the opening quote
  const std::size_t start = pos_;
  // Keys and variant names of a written document have no escapes: compare
  // them where they stand.
  while (pos_ < text_.size()) {
    const auto c = static_cast<unsigned char>(text_[pos_]);
    if (c == '"') return text_.substr(start, pos_++ - start);
    if (c == '\\' || c < 0x20) break;
    ++pos_;
  }
  if (use == StringUse::Keep) scratch_.assign(text_.substr(start, pos_ - start));
  while (pos_ < text_.size()) {
    const auto c = static_cast<unsigned char>(text_[pos_]);
    if (c == '"') {
      ++pos_;
      return use == StringUse::Keep ? std::string_view(scratch_) : std::string_view{};
    }
    if (c < 0x20) {
      return fail(fail_at_next("control character (\\u0000-\\u001F) found while parsing a string"));
    }
    ++pos_;
    if (c == '\\') {
      DREL_TRY(escape(use));
    } else if (use == StringUse::Keep) {
      scratch_ += static_cast<char>(c);
    }
  }
  return fail(fail_here(kEofString));
}

// After the backslash. A skipped string needs complete escapes only; a kept
// one must also pair its surrogates.
Read<> JsonCursor::escape(StringUse use) {
  if (pos_ == text_.size()) return fail(fail_here(kEofString));
  const char c = text_[pos_++];
  char plain = 0;
  switch (c) {
    case '"': plain = '"'; break;
    case '\\': plain = '\\'; break;
    case '/': plain = '/'; break;
    case 'b': plain = '\b'; break;
    case 'f': plain = '\f'; break;
    case 'n': plain = '\n'; break;
    case 'r': plain = '\r'; break;
    case 't': plain = '\t'; break;
    case 'u': break;
    default: return fail(fail_here("invalid escape"));
  }
  if (c != 'u') {
    if (use == StringUse::Keep) scratch_ += plain;
    return {};
  }
  DREL_ASSIGN_OR_RETURN(const unsigned unit, hex_escape());
  if (use == StringUse::Skip) return {};
  constexpr const char* kLoneSurrogate = "lone leading surrogate in hex escape";
  if (unit >= 0xDC00 && unit <= 0xDFFF) return fail(fail_here(kLoneSurrogate));
  if (unit < 0xD800 || unit > 0xDBFF) {
    append_utf8(scratch_, unit);
    return {};
  }
  for (const char expected : {'\\', 'u'}) {
    if (pos_ == text_.size()) return fail(fail_here(kEofString));
    if (text_[pos_] != expected) return fail(fail_at_next("unexpected end of hex escape"));
    ++pos_;
  }
  DREL_ASSIGN_OR_RETURN(const unsigned trailing, hex_escape());
  if (trailing < 0xDC00 || trailing > 0xDFFF) return fail(fail_here(kLoneSurrogate));
  append_utf8(scratch_, 0x10000 + ((unit - 0xD800) << 10) + (trailing - 0xDC00));
  return {};
}

Read<unsigned> JsonCursor::hex_escape() {
  unsigned value = 0;
  for (int i = 0; i < 4; ++i) {
    if (pos_ == text_.size()) return fail(fail_here(kEofString));
    const int digit = hex_value(text_[pos_]);
    if (digit < 0) return fail(fail_at_next("invalid escape"));
    value = value * 16 + static_cast<unsigned>(digit);
    ++pos_;
  }
  return value;
}

Read<> JsonCursor::literal(std::string_view word) {
  for (const char expected : word) {
    if (pos_ == text_.size()) return fail(fail_here(kEofValue));
    if (text_[pos_] != expected) return fail(fail_at_next("expected ident"));
    ++pos_;
  }
  return {};
}

Read<NumberSpans> JsonCursor::number_text() {
  NumberSpans number;
  const auto at = [&] { return pos_ < text_.size() ? static_cast<int>(text_[pos_]) : kEnd; };
  const auto digits_from = [&](std::size_t start) -> Read<std::string_view> {
    while (is_digit(at())) ++pos_;
    if (pos_ == start) {
      return fail(at() == kEnd ? fail_here(kEofValue) : fail_at_next(kInvalidNumber));
    }
    return text_.substr(start, pos_ - start);
  };
  if (at() == '-') {
    number.negative = true;
    ++pos_;
  }
  const std::size_t integer_start = pos_;
  if (at() == '0') {
    ++pos_;
    if (is_digit(at())) return fail(fail_at_next(kInvalidNumber));
    number.integer_digits = text_.substr(integer_start, 1);
  } else {
    DREL_ASSIGN_OR_RETURN(number.integer_digits, digits_from(integer_start));
  }
  if (at() == '.') {
    ++pos_;
    number.has_fraction = true;
    DREL_ASSIGN_OR_RETURN(number.fraction_digits, digits_from(pos_));
  }
  if (at() == 'e' || at() == 'E') {
    ++pos_;
    number.has_exponent = true;
    if (at() == '+' || at() == '-') number.exponent_negative = text_[pos_++] == '-';
    DREL_ASSIGN_OR_RETURN(number.exponent_digits, digits_from(pos_));
  }
  return number;
}

Read<JsonNumber> JsonCursor::number() {
  DREL_ASSIGN_OR_RETURN(const NumberSpans spans, number_text());
  std::optional<JsonNumber> value = number_value(spans);
  if (!value) return fail(fail_here("number out of range"));
  return *value;
}

Read<double> JsonCursor::real() {
  const char* start = text_.data() + pos_;
  double value = 0.0;
  if (const char* stop = read_short_real(start, text_.data() + text_.size(), value)) {
    pos_ += static_cast<std::size_t>(stop - start);
    return value;
  }
  DREL_ASSIGN_OR_RETURN(const JsonNumber n, number());
  return std::visit([](auto v) { return static_cast<double>(v); }, n);
}

bool JsonCursor::compact_reals(std::vector<double>& out) {
  const char* const begin = text_.data() + pos_;
  const char* const end = text_.data() + text_.size();
  const char* p = begin;
  for (;;) {
    double value = 0.0;
    p = read_short_real(p, end, value);
    if (p == nullptr || p == end) break;
    out.push_back(value);
    if (*p == ']') {
      pos_ += static_cast<std::size_t>(p - begin);
      return true;
    }
    if (*p != ',') break;
    ++p;
  }
  out.clear();
  return false;
}

// A value that is not an array or an object, checked but not converted:
// skipped numbers are never out of range.
Read<> JsonCursor::skip_scalar(int first) {
  switch (first) {
    case 'n': return literal("null");
    case 't': return literal("true");
    case 'f': return literal("false");
    case '"': DREL_TRY(string_contents(StringUse::Skip)); return {};
    default:
      if (first != '-' && !is_digit(first)) return fail(fail_at_next(kExpectedValue));
      DREL_TRY(number_text());
      return {};
  }
}

// At the next byte of a skipped object where a key must start: the key and
// its colon.
Read<> JsonCursor::skip_key(int next) {
  if (next != '"') return fail(fail_at_next(kKeyMustBeString));
  DREL_TRY(string_contents(StringUse::Skip));
  return colon();
}

Read<> JsonCursor::skip_value() {
  // The open brackets live on the heap, so the depth of a skipped value is
  // bounded by memory only, never by the C++ stack.
  skip_stack_.clear();
  for (;;) {
    // A value is expected here.
    const int c = peek();
    if (c == kEnd) return fail(fail_at_next(kEofValue));
    if (c == '[' || c == '{') {
      ++pos_;
      skip_stack_ += static_cast<char>(c);
      const bool is_object = c == '{';
      const int inside = peek();
      if (inside == (is_object ? '}' : ']')) {
        ++pos_;
        skip_stack_.pop_back();
      } else if (inside == kEnd) {
        return fail(fail_at_next(is_object ? kEofObject : kEofList));
      } else {
        if (is_object) DREL_TRY(skip_key(inside));
        continue;
      }
    } else {
      DREL_TRY(skip_scalar(c));
    }
    // A value has ended: close brackets until a comma asks for the next one.
    for (;;) {
      if (skip_stack_.empty()) return {};
      const bool is_object = skip_stack_.back() == '{';
      const char closer = is_object ? '}' : ']';
      const int after = peek();
      if (after == closer) {
        ++pos_;
        skip_stack_.pop_back();
        continue;
      }
      if (after == ',') {
        ++pos_;
        const int next = peek();
        if (next == closer) return fail(fail_at_next(kTrailingComma));
        if (next == kEnd) return fail(fail_at_next(kEofValue));
        if (is_object) DREL_TRY(skip_key(next));
        break;
      }
      if (after == kEnd) return fail(fail_at_next(is_object ? kEofObject : kEofList));
      return fail(fail_at_next(is_object ? "expected `,` or `}`" : "expected `,` or `]`"));
    }
  }
}

Read<std::string> JsonCursor::describe_value() {
  const int c = peek();
  switch (c) {
    case 'n':
      DREL_TRY(literal("null"));
      return "null";
    case 't':
      DREL_TRY(literal("true"));
      return "boolean `true`";
    case 'f':
      DREL_TRY(literal("false"));
      return "boolean `false`";
    case '"': {
      DREL_ASSIGN_OR_RETURN(const std::string_view s, string());
      return "string " + quoted_for_message(s);
    }
    case '[': return "sequence";
    case '{': return "map";
    default:
      if (c == '-' || is_digit(c)) {
        DREL_ASSIGN_OR_RETURN(const JsonNumber n, number());
        return describe_number(n);
      }
      if (c == kEnd) return fail(fail_at_next(kEofValue));
      return fail(fail_at_next(kExpectedValue));
  }
}

ReadFailure JsonCursor::wrong_type(std::string_view expected) {
  Read<std::string> found = describe_value();
  if (!found) return std::move(found).error();
  return fail_here("invalid type: " + *found + ", expected " + std::string(expected));
}

Read<> JsonCursor::end_of_document() {
  if (peek() != kEnd) return fail(fail_at_next("trailing characters"));
  return {};
}

}  // namespace drel::snapshot
