// Argument parsing for every callable of the module: positional-or-keyword,
// required parameters only, with the interpreter-style TypeError texts.
#pragma once

#include <array>
#include <cstddef>

#include "bindings/python.hpp"

namespace drel::py {

// The widest callable: the companion extension's bulk functions take three.
inline constexpr std::size_t kMaxParams = 3;

struct ArgSpec {
  const char* full_name;  // "Mean.update()", "LinearRegression.__new__()"
  std::array<const char*, kMaxParams> names;
  std::size_t count;
};

// Borrowed argument slots, one per parameter, in declaration order. They stay
// valid for the whole call: the caller (or `owned` below) holds them.
//
// A call with exactly the parameters, by position, is read from the caller's
// own argument vector (`values` points there); only the general parsers fill
// `parsed`. Copying the vector into a local array costs a one-sample call more
// than the whole copy's instructions: the copy is paired into one 16-byte
// store, and reading back a pointer from the middle of it is not forwarded
// from the pending store, so the conversion after it waits.
struct ArgSlots {
  std::array<PyObject*, kMaxParams> parsed;  // written by the general parsers only
  PyObject* const* values = parsed.data();

  ArgSlots() = default;
  ArgSlots(const ArgSlots&) = delete;  // `values` may point into the object
  ArgSlots& operator=(const ArgSlots&) = delete;
};

// Vector call, any mix of positional and keyword arguments: fills `parsed`
// (a left-out parameter stays null). Returns false with a TypeError set.
bool parse_fastcall(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, ArgSlots& out);

// Tuple-and-dict call (constructors). The slots get strong references, owned by
// `owned`, since a dict's values are not pinned by anyone else while Python
// code runs during conversion.
struct OwnedSlots {
  std::array<Ref, kMaxParams> refs;
};
bool parse_tuple_dict(const ArgSpec& spec, PyObject* args, PyObject* kwargs, ArgSlots& out,
                      OwnedSlots& owned);

}  // namespace drel::py
