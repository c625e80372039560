// Text forms of binary64 values. Both the message rule (positional, never an
// exponent) and the snapshot number rule start from the same shortest
// round-trip digits; only the layout of those digits differs.
#pragma once

#include <string>

namespace drel {

// |x| = 0.d1 d2 ... dn * 10^(exponent + 1), i.e. d1.d2...dn * 10^exponent.
struct ShortestDigits {
  char digits[17];  // d1 .. dn, d1 != '0', no trailing zeros
  int count;        // n, 1..17
  int exponent;     // E, decimal exponent of d1
};

// Shortest digit string that reads back to |x| under correct rounding (the one
// nearest to the exact value among equals). x must be finite and non-zero.
ShortestDigits shortest_digits(double x);

// Appends x as messages show it: shortest digits, positional notation only,
// "-" for every negative value including -0, "NaN", "inf", "-inf".
void append_message_float(std::string& out, double x);
std::string message_float(double x);

}  // namespace drel
