#include "snapshot/number_text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

#include "error/float_text.hpp"

namespace drel::snapshot {
namespace {

class Layout {
 public:
  explicit Layout(char* out) : out_(out) {}
  void put(char c) { out_[size_++] = c; }
  void put(const char* text, std::size_t n) {
    std::memcpy(out_ + size_, text, n);
    size_ += n;
  }
  void zeros(int n) {
    for (int i = 0; i < n; ++i) put('0');
  }
  std::size_t size() const { return size_; }

 private:
  char* out_;
  std::size_t size_ = 0;
};

}  // namespace

NumberText NumberText::real(double x) {
  NumberText text;
  Layout out(text.chars_);
  if (!std::isfinite(x)) {
    out.put("null", 4);
  } else if (x == 0.0) {
    if (std::signbit(x)) out.put('-');
    out.put("0.0", 3);
  } else {
    if (x < 0.0) out.put('-');
    const ShortestDigits d = shortest_digits(x);
    const int n = d.count;
    const int e = d.exponent;
    if (e >= -5 && e <= 15) {
      if (e < 0) {
        out.put("0.", 2);
        out.zeros(-e - 1);
        out.put(d.digits, static_cast<std::size_t>(n));
      } else if (e <= n - 2) {
        out.put(d.digits, static_cast<std::size_t>(e + 1));
        out.put('.');
        out.put(d.digits + e + 1, static_cast<std::size_t>(n - e - 1));
      } else {
        out.put(d.digits, static_cast<std::size_t>(n));
        out.zeros(e + 1 - n);
        out.put(".0", 2);
      }
    } else {
      out.put(d.digits[0]);
      if (n > 1) {
        out.put('.');
        out.put(d.digits + 1, static_cast<std::size_t>(n - 1));
      }
      out.put('e');
      out.put(e < 0 ? '-' : '+');
      char exponent[8];
      const auto r = std::to_chars(exponent, exponent + sizeof exponent, e < 0 ? -e : e);
      out.put(exponent, static_cast<std::size_t>(r.ptr - exponent));
    }
  }
  text.size_ = out.size();
  return text;
}

NumberText NumberText::unsigned_integer(std::uint64_t n) { return integer(n); }

NumberText NumberText::signed_integer(std::int64_t n) { return integer(n); }

template <class Int>
NumberText NumberText::integer(Int n) {
  NumberText text;
  const auto r = std::to_chars(text.chars_, text.chars_ + sizeof text.chars_, n);
  text.size_ = static_cast<std::size_t>(r.ptr - text.chars_);
  return text;
}

}  // namespace drel::snapshot
