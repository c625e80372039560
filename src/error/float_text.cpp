#include "error/float_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace drel {

ShortestDigits shortest_digits(double x) {
  // Scientific form without a precision is the shortest round-trip form:
  // "d[.ddd]e[+-]XX".
  char buffer[32];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, std::fabs(x), std::chars_format::scientific);
  ShortestDigits out{};
  const char* p = buffer;
  const char* end = result.ptr;
  while (p != end && *p != 'e') {
    if (*p != '.') out.digits[out.count++] = *p;
    ++p;
  }
  // to_chars already drops trailing zeros of the mantissa; keep it defensive.
  while (out.count > 1 && out.digits[out.count - 1] == '0') --out.count;
  ++p;  // 'e'
  const bool negative = (*p == '-');
  ++p;
  int magnitude = 0;
  std::from_chars(p, end, magnitude);
  out.exponent = negative ? -magnitude : magnitude;
  return out;
}

void append_message_float(std::string& out, double x) {
  if (std::isnan(x)) {
    out += "NaN";
    return;
  }
  if (std::signbit(x)) out += '-';
  if (std::isinf(x)) {
    out += "inf";
    return;
  }
  if (x == 0.0) {
    out += '0';
    return;
  }
  const ShortestDigits d = shortest_digits(x);
  if (d.exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
    out.append(d.digits, static_cast<std::size_t>(d.count));
  } else if (d.exponent + 1 >= d.count) {
    out.append(d.digits, static_cast<std::size_t>(d.count));
    out.append(static_cast<std::size_t>(d.exponent + 1 - d.count), '0');
  } else {
    out.append(d.digits, static_cast<std::size_t>(d.exponent + 1));
    out += '.';
    out.append(d.digits + d.exponent + 1, static_cast<std::size_t>(d.count - d.exponent - 1));
  }
}

std::string message_float(double x) {
  std::string out;
  append_message_float(out, x);
  return out;
}

}  // namespace drel
