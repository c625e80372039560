#include "bindings/guard.hpp"

#include <cstdio>
#include <cstdlib>

#include "bindings/once.hpp"

namespace drel::py {
namespace {

constexpr const char* kPanicDoc =
    "Raised when the native code of drel_ml panics: an internal assumption broke.\n\n"
    "Like SystemExit, it derives from BaseException, not Exception, so that it\n"
    "typically propagates all the way up and ends the interpreter.";
constexpr const char* kFaultWithoutMessage = "drel_ml: internal fault without a message";

OnceObject panic_type_cell;

PyObject* panic_type() {
  return panic_type_cell.get([] {
    return PyErr_NewExceptionWithDoc("drel_ml_runtime.PanicException", kPanicDoc,
                                     PyExc_BaseException, nullptr);
  });
}

// The last resort: a fault while turning a fault into an exception.
[[noreturn]] void abort_at_boundary() {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

void raise_panic_unchecked(const char* message) {
  const char* text = message != nullptr ? message : kFaultWithoutMessage;
  std::fprintf(stderr, "drel_ml: internal fault: %s\n", text);
  PyErr_Clear();  // the fault replaces whatever was pending
  PyObject* type = panic_type();
  if (type == nullptr) abort_at_boundary();
  PyErr_SetString(type, text);
}

}  // namespace

void raise_panic(const char* message) noexcept {
  try {
    raise_panic_unchecked(message);
  } catch (...) {
    abort_at_boundary();
  }
}

void resurface_panic() noexcept {
  try {
    // Until the type exists, no PanicException can be pending.
    PyObject* type = panic_type_cell.peek();
    if (type == nullptr || !PyErr_Occurred() || !PyErr_ExceptionMatches(type)) return;
    PyObject* exc = take_raised_exception();
    std::fputs("drel_ml: a PanicException raised by Python code reached native code; "
               "the fault continues outwards\n",
               stderr);
    display_exception(exc);
    Ref text = Ref::steal(PyObject_Str(exc));
    Py_DECREF(exc);
    const char* message = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (message == nullptr) PyErr_Clear();
    raise_panic_unchecked(message);
  } catch (...) {
    abort_at_boundary();
  }
}

}  // namespace drel::py
