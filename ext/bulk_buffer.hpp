// Native buffers of real numbers as the bulk functions read them: held for the
// whole call (so that their memory stays put while the core runs without the
// interpreter lock) and converted element by element exactly as float() would.
#pragma once

#include <cstddef>
#include <optional>

#include "bindings/buffer_format.hpp"
#include "bindings/python.hpp"

namespace drel::py {

class HeldBuffer {
 public:
  HeldBuffer() = default;
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() { release(); }

  // Asks `o` for a strided buffer with its format, when it exports one. Returns
  // false only with a non-ordinary exception pending (KeyboardInterrupt,
  // MemoryError, ...); an ordinary refusal is cleared and leaves nothing held,
  // and the object is then read by iteration like any other.
  bool acquire(PyObject* o);
  void release();

  bool held() const { return held_; }
  const Py_buffer& view() const { return view_; }
  // The element format when the buffer holds `ndim`-dimensional real numbers.
  std::optional<ElementFormat> real_format(int ndim) const;

  // Raises the error of a buffer that cannot be what `param` is, and returns
  // true: numbers in other than `ndim` dimensions (`shape` says what `param`
  // must be), or a memoryview (which cannot be iterated instead) of elements
  // that are not real numbers. False, with nothing raised, for anything else
  // (numpy arrays of other elements are iterated, as a loop would).
  bool refuse(PyObject* exporter, const char* param, int ndim, const char* shape) const;

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// Whether the elements of a float64 buffer can be read in place as doubles.
inline bool aligned_for_double(const void* p) {
  return reinterpret_cast<std::uintptr_t>(p) % alignof(double) == 0;
}

// Element (i) of a 1-D buffer, or (i, j) of a 2-D one, as float() gives it.
// Strides may be negative; the view is strided (never suboffsets).
inline const char* element_at(const Py_buffer& v, Py_ssize_t i) {
  return static_cast<const char*>(v.buf) + i * v.strides[0];
}
inline const char* element_at(const Py_buffer& v, Py_ssize_t i, Py_ssize_t j) {
  return element_at(v, i) + j * v.strides[1];
}

// Row-major doubles from rows [first, first + count) of a 2-D buffer:
// count * shape[1] values into `out`.
void read_rows(const Py_buffer& v, ElementFormat format, Py_ssize_t first, Py_ssize_t count,
               double* out);
// Doubles from elements [first, first + count) of a 1-D buffer into `out`.
void read_values(const Py_buffer& v, ElementFormat format, Py_ssize_t first, Py_ssize_t count,
                 double* out);

}  // namespace drel::py
