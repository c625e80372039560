#include "snapshot/number_text.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

#include "snapshot/shortest_decimal.hpp"

namespace drel::snapshot {
namespace {

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

constexpr std::uint64_t kPowersOfTen[] = {1,
                                          10,
                                          100,
                                          1'000,
                                          10'000,
                                          100'000,
                                          1'000'000,
                                          10'000'000,
                                          100'000'000,
                                          1'000'000'000,
                                          10'000'000'000,
                                          100'000'000'000,
                                          1'000'000'000'000,
                                          10'000'000'000'000,
                                          100'000'000'000'000,
                                          1'000'000'000'000'000,
                                          10'000'000'000'000'000,
                                          100'000'000'000'000'000,
                                          1'000'000'000'000'000'000,
                                          10'000'000'000'000'000'000u};

// n >= 1.
int digit_count(std::uint64_t n) {
  // bit_width * log10(2), one too large at most below a power of ten.
  const int guess = (std::bit_width(n) * 1233) >> 12;
  return guess + 1 - (n < kPowersOfTen[guess] ? 1 : 0);
}

void two_digits(char* out, std::uint32_t n) { std::memcpy(out, kDigitPairs + 2 * n, 2); }

// Exactly eight digits, leading zeros included; the halves are independent.
void eight_digits(char* out, std::uint32_t n) {
  const std::uint32_t high = n / 10'000;
  const std::uint32_t low = n % 10'000;
  two_digits(out, high / 100);
  two_digits(out + 2, high % 100);
  two_digits(out + 4, low / 100);
  two_digits(out + 6, low % 100);
}

// The decimal digits of n, ending just before `end`.
void digits_before(char* end, std::uint64_t n) {
  while (n >= 100'000'000) {
    end -= 8;
    eight_digits(end, static_cast<std::uint32_t>(n % 100'000'000));
    n /= 100'000'000;
  }
  auto small = static_cast<std::uint32_t>(n);
  while (small >= 100) {
    end -= 2;
    two_digits(end, small % 100);
    small /= 100;
  }
  if (small >= 10) {
    two_digits(end - 2, small);
  } else {
    end[-1] = static_cast<char>('0' + small);
  }
}

char* put(char* out, const char* text, std::size_t n) {
  std::memcpy(out, text, n);
  return out + n;
}

// |x| laid out from its shortest digits d1..dn and the exponent e of d1.
char* write_magnitude(char* out, double x) {
  const ShortestDecimal d = shortest_decimal(x);
  const int n = digit_count(d.significand);
  const int e = d.exponent + n - 1;
  if (e >= -5 && e <= 15) {
    if (e < 0) {  // 0.000ddd: the zeros first, then the digits over the rest
      std::memcpy(out, "0.000000", 8);
      out += 1 - e;
      digits_before(out + n, d.significand);
      return out + n;
    }
    if (e <= n - 2) {  // ddd.ddd: the digits one place right, then the point
      digits_before(out + n + 1, d.significand);
      std::memmove(out, out + 1, static_cast<std::size_t>(e + 1));
      out[e + 1] = '.';
      return out + n + 1;
    }
    // ddd000.0
    digits_before(out + n, d.significand);
    out += n;
    std::memset(out, '0', static_cast<std::size_t>(e + 1 - n));
    out += e + 1 - n;
    return put(out, ".0", 2);
  }
  // d.ddde+XX: the digits one place right, then the first moved back.
  digits_before(out + n + 1, d.significand);
  out[0] = out[1];
  if (n > 1) {
    out[1] = '.';
    out += n + 1;
  } else {
    out += 1;
  }
  *out++ = 'e';
  *out++ = e < 0 ? '-' : '+';
  return std::to_chars(out, out + 3, e < 0 ? -e : e).ptr;
}

}  // namespace

char* write_real(char* out, double x) {
  if (!std::isfinite(x)) return put(out, "null", 4);
  // The sign is written always and kept only when negative: the signs of
  // consecutive numbers are unpredictable, so a branch here would often miss.
  *out = '-';
  out += std::signbit(x) ? 1 : 0;
  if (x == 0.0) return put(out, "0.0", 3);
  return write_magnitude(out, x);
}

char* write_unsigned(char* out, std::uint64_t n) {
  const int count = digit_count(n | 1);  // 0 has one digit, like 1
  digits_before(out + count, n);
  return out + count;
}

NumberText NumberText::real(double x) {
  NumberText text;
  text.size_ = static_cast<std::size_t>(write_real(text.chars_, x) - text.chars_);
  return text;
}

NumberText NumberText::unsigned_integer(std::uint64_t n) {
  NumberText text;
  text.size_ = static_cast<std::size_t>(write_unsigned(text.chars_, n) - text.chars_);
  return text;
}

NumberText NumberText::signed_integer(std::int64_t n) {
  NumberText text;
  const auto r = std::to_chars(text.chars_, text.chars_ + sizeof text.chars_, n);
  text.size_ = static_cast<std::size_t>(r.ptr - text.chars_);
  return text;
}

}  // namespace drel::snapshot
