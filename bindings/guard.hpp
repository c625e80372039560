// Fault containment at every entry point: no C++ exception ever reaches the
// interpreter. Allocation failure becomes MemoryError; anything else is an
// internal fault and surfaces as PanicException, a BaseException subclass.
#pragma once

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "bindings/python.hpp"

namespace drel::py {

// A broken internal assumption, carried to the entry point.
class InternalFault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reports the fault on standard error and raises PanicException(message).
// message may be null (a fault without a message).
void raise_panic(const char* message) noexcept;

// A PanicException raised by Python code that reached us is a fault again:
// report it with its traceback and raise a new PanicException outwards.
void resurface_panic() noexcept;

// Null for failure, like the interpreter's own entry points.
template <class T>
constexpr T failure_value() {
  if constexpr (std::is_pointer_v<T>) {
    return nullptr;
  } else {
    return static_cast<T>(-1);
  }
}

// Forced inline: every entry point is one guarded body, and a separate frame
// for the guard would cost each call a spill of its arguments and a call.
template <class Body>
[[gnu::always_inline]] inline auto guarded(Body&& body) noexcept -> decltype(body()) {
  using R = decltype(body());
  try {
    R result = body();
    if (result == failure_value<R>()) [[unlikely]] resurface_panic();
    return result;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    // A container asked for more than it can ever hold: the same as running
    // out of memory from the caller's point of view.
    PyErr_NoMemory();
  } catch (const std::exception& fault) {
    raise_panic(fault.what());
  } catch (...) {
    raise_panic(nullptr);
  }
  return failure_value<R>();
}

}  // namespace drel::py
