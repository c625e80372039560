// The native buffer element formats that hold real numbers, and the conversion
// of one element to the double that Python's float() gives for it. Shared by
// the one-sample feature conversion and the companion extension's 2-D reader.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>

#include "bindings/python.hpp"

namespace drel::py {

enum class ElementKind : std::uint8_t {
  Float64, Float32, Float16,
  Int8, Int16, Int32, Int64,
  UInt8, UInt16, UInt32, UInt64,
  Bool,
};

// The kind of a buffer's elements, or nullopt for anything that is not a real
// number in native (little-endian) order: complex, long double, big-endian,
// structured or unknown formats keep the generic path.
inline std::optional<ElementKind> element_kind(const char* format, Py_ssize_t itemsize) {
  if (format == nullptr) return ElementKind::UInt8;  // PEP 3118: no format means 'B'
  const char* f = format;
  if (*f == '@' || *f == '=' || *f == '<') ++f;
  if (f[0] == '\0' || f[1] != '\0') return std::nullopt;
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

// One reader per kind, so that loops over a buffer are compiled per kind.
// Integer conversions round to nearest, as float() of a numpy integer does.
template <ElementKind K>
struct ElementReader {
  static double read(const char* p) {
    auto load = [p]<class T>(std::type_identity<T>) {
      T v;
      std::memcpy(&v, p, sizeof v);
      return v;
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

// Calls f(ElementReader<K>{}) for the kind at hand.
template <class F>
decltype(auto) with_element_reader(ElementKind kind, F&& f) {
  switch (kind) {
    case ElementKind::Float64: return f(ElementReader<ElementKind::Float64>{});
    case ElementKind::Float32: return f(ElementReader<ElementKind::Float32>{});
    case ElementKind::Float16: return f(ElementReader<ElementKind::Float16>{});
    case ElementKind::Int8: return f(ElementReader<ElementKind::Int8>{});
    case ElementKind::Int16: return f(ElementReader<ElementKind::Int16>{});
    case ElementKind::Int32: return f(ElementReader<ElementKind::Int32>{});
    case ElementKind::Int64: return f(ElementReader<ElementKind::Int64>{});
    case ElementKind::UInt8: return f(ElementReader<ElementKind::UInt8>{});
    case ElementKind::UInt16: return f(ElementReader<ElementKind::UInt16>{});
    case ElementKind::UInt32: return f(ElementReader<ElementKind::UInt32>{});
    case ElementKind::UInt64: return f(ElementReader<ElementKind::UInt64>{});
    case ElementKind::Bool: return f(ElementReader<ElementKind::Bool>{});
  }
  std::unreachable();
}

}  // namespace drel::py
