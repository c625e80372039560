// The buffer element formats that hold real numbers, and the conversion of one
// element to the double that Python's float() gives for it. Shared by the
// one-sample feature conversion (native byte order only) and the companion
// extension's buffer readers (either byte order).
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>
#include <utility>

#include "bindings/python.hpp"

namespace drel::py {

enum class ElementKind : std::uint8_t {
  Float64, Float32, Float16,
  Int8, Int16, Int32, Int64,
  UInt8, UInt16, UInt32, UInt64,
  Bool,
};

// A buffer's elements: real numbers of one kind, stored in this machine's byte
// order or in the other one (`swapped`).
struct ElementFormat {
  ElementKind kind;
  bool swapped;
  friend bool operator==(const ElementFormat&, const ElementFormat&) = default;
};

// The format of a buffer's elements when they are real numbers, in either byte
// order; nullopt for complex, long double, structured or unknown formats.
inline std::optional<ElementFormat> element_format(const char* format, Py_ssize_t itemsize) {
  if (format == nullptr) return ElementFormat{ElementKind::UInt8, false};  // PEP 3118: 'B'
  const char* f = format;
  bool swapped = false;
  constexpr bool little = std::endian::native == std::endian::little;
  switch (*f) {
    case '@': case '=': ++f; break;
    case '<': swapped = !little; ++f; break;
    case '>': case '!': swapped = little; ++f; break;
    default: break;
  }
  if (f[0] == '\0' || f[1] != '\0') return std::nullopt;
  const std::optional<ElementKind> kind = [&]() -> std::optional<ElementKind> {
  // The character names the class of number; the item size decides the width,
  // which differs between native ('@') and standard ('=', '<') sizes for 'l'.
  switch (f[0]) {
    case 'd': return itemsize == 8 ? std::optional(ElementKind::Float64) : std::nullopt;
    case 'f': return itemsize == 4 ? std::optional(ElementKind::Float32) : std::nullopt;
    case 'e': return itemsize == 2 ? std::optional(ElementKind::Float16) : std::nullopt;
    case '?': return itemsize == 1 ? std::optional(ElementKind::Bool) : std::nullopt;
    case 'b': case 'h': case 'i': case 'l': case 'q': case 'n':
      switch (itemsize) {
        case 1: return ElementKind::Int8;
        case 2: return ElementKind::Int16;
        case 4: return ElementKind::Int32;
        case 8: return ElementKind::Int64;
        default: return std::nullopt;
      }
    case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N':
      switch (itemsize) {
        case 1: return ElementKind::UInt8;
        case 2: return ElementKind::UInt16;
        case 4: return ElementKind::UInt32;
        case 8: return ElementKind::UInt64;
        default: return std::nullopt;
      }
    default: return std::nullopt;
  }
  }();
  if (!kind) return std::nullopt;
  return ElementFormat{*kind, swapped && itemsize > 1};
}

// The kind of a buffer's elements when they are real numbers in native order;
// nullopt otherwise (those keep the generic path).
inline std::optional<ElementKind> element_kind(const char* format, Py_ssize_t itemsize) {
  const std::optional<ElementFormat> f = element_format(format, itemsize);
  if (!f || f->swapped) return std::nullopt;
  return f->kind;
}

// Whether a format describes one number of any kind (complex and long double
// included), as opposed to objects, bytes or structures.
inline bool is_number_format(const char* format) {
  if (format == nullptr) return true;
  const char* f = format;
  if (*f == '@' || *f == '=' || *f == '<' || *f == '>' || *f == '!') ++f;
  if (*f == 'Z') ++f;
  return f[0] != '\0' && f[1] == '\0' && std::strchr("?bBhHiIlLqQnNefdg", f[0]) != nullptr;
}

// IEEE half precision to double: exact, signs, infinities and NaNs kept.
inline double half_to_double(std::uint16_t h) {
  const bool negative = (h & 0x8000u) != 0;
  const int exponent = (h >> 10) & 0x1f;
  const int mantissa = h & 0x3ff;
  double magnitude;
  if (exponent == 0) {
    magnitude = std::ldexp(static_cast<double>(mantissa), -24);  // subnormal or zero
  } else if (exponent == 0x1f) {
    magnitude = mantissa == 0 ? INFINITY : NAN;
  } else {
    magnitude = std::ldexp(static_cast<double>(mantissa | 0x400), exponent - 25);
  }
  return negative ? -magnitude : magnitude;
}

// One reader per kind (and byte order), so that loops over a buffer are
// compiled per kind. Integer conversions round to nearest, as float() of a
// numpy integer does.
template <ElementKind K, bool Swapped = false>
struct ElementReader {
  static double read(const char* p) {
    auto load = [p]<class T>(std::type_identity<T>) {
      if constexpr (Swapped && sizeof(T) > 1) {
        using Bits = std::conditional_t<sizeof(T) == 8, std::uint64_t,
                     std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint16_t>>;
        Bits bits;
        std::memcpy(&bits, p, sizeof bits);
        return std::bit_cast<T>(std::byteswap(bits));
      } else {
        T v;
        std::memcpy(&v, p, sizeof v);
        return v;
      }
    };
    if constexpr (K == ElementKind::Float64) return load(std::type_identity<double>{});
    if constexpr (K == ElementKind::Float32) return load(std::type_identity<float>{});
    if constexpr (K == ElementKind::Float16)
      return half_to_double(load(std::type_identity<std::uint16_t>{}));
    if constexpr (K == ElementKind::Int8) return load(std::type_identity<std::int8_t>{});
    if constexpr (K == ElementKind::Int16) return load(std::type_identity<std::int16_t>{});
    if constexpr (K == ElementKind::Int32) return load(std::type_identity<std::int32_t>{});
    if constexpr (K == ElementKind::Int64)
      return static_cast<double>(load(std::type_identity<std::int64_t>{}));
    if constexpr (K == ElementKind::UInt8) return load(std::type_identity<std::uint8_t>{});
    if constexpr (K == ElementKind::UInt16) return load(std::type_identity<std::uint16_t>{});
    if constexpr (K == ElementKind::UInt32) return load(std::type_identity<std::uint32_t>{});
    if constexpr (K == ElementKind::UInt64)
      return static_cast<double>(load(std::type_identity<std::uint64_t>{}));
    if constexpr (K == ElementKind::Bool)
      return load(std::type_identity<std::uint8_t>{}) != 0 ? 1.0 : 0.0;
  }
};

// Calls f(ElementReader<K, Swapped>{}) for the kind at hand.
template <bool Swapped, class F>
decltype(auto) with_reader_of(ElementKind kind, F&& f) {
  switch (kind) {
    case ElementKind::Float64: return f(ElementReader<ElementKind::Float64, Swapped>{});
    case ElementKind::Float32: return f(ElementReader<ElementKind::Float32, Swapped>{});
    case ElementKind::Float16: return f(ElementReader<ElementKind::Float16, Swapped>{});
    case ElementKind::Int8: return f(ElementReader<ElementKind::Int8, Swapped>{});
    case ElementKind::Int16: return f(ElementReader<ElementKind::Int16, Swapped>{});
    case ElementKind::Int32: return f(ElementReader<ElementKind::Int32, Swapped>{});
    case ElementKind::Int64: return f(ElementReader<ElementKind::Int64, Swapped>{});
    case ElementKind::UInt8: return f(ElementReader<ElementKind::UInt8, Swapped>{});
    case ElementKind::UInt16: return f(ElementReader<ElementKind::UInt16, Swapped>{});
    case ElementKind::UInt32: return f(ElementReader<ElementKind::UInt32, Swapped>{});
    case ElementKind::UInt64: return f(ElementReader<ElementKind::UInt64, Swapped>{});
    case ElementKind::Bool: return f(ElementReader<ElementKind::Bool, Swapped>{});
  }
  std::unreachable();
}

// Calls f(ElementReader<K>{}) for the kind at hand, in native byte order.
template <class F>
decltype(auto) with_element_reader(ElementKind kind, F&& f) {
  return with_reader_of<false>(kind, std::forward<F>(f));
}

// Calls f(ElementReader<K, Swapped>{}) for the format at hand.
template <class F>
decltype(auto) with_element_reader(ElementFormat format, F&& f) {
  if (format.swapped) return with_reader_of<true>(format.kind, std::forward<F>(f));
  return with_reader_of<false>(format.kind, std::forward<F>(f));
}

}  // namespace drel::py
