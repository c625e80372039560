// The per-instance borrow flag: any number of readers or one writer, refused at
// once (never waited for) when a call would conflict. Conflicts can only arise
// when Python code runs while a borrow is held, i.e. during argument conversion.
//
// Every change of the flag happens with the interpreter lock held (a call that
// releases the lock while it holds an exclusive borrow takes the lock back
// before releasing the borrow), so the lock orders every access and plain loads
// and stores suffice: no atomic read-modify-write on the hot path.
#pragma once

#include <cstdint>

#include "bindings/python.hpp"

namespace drel::py {

enum class Access { Shared, Exclusive };

class BorrowFlag {
 public:
  // 0 free, n > 0 shared by n, -1 exclusively held.
  std::int64_t state = 0;
  // Exclusive borrows let go of. The value changes only under one, so while
  // this count stays the same the value does too: what a caller remembers of
  // the value (keyed by this count) cannot outlive a change, even one that
  // leaves the value's storage where it was.
  std::uint64_t exclusive_ends = 0;

  void end_exclusive() {
    state = 0;
    ++exclusive_ends;
  }
};

template <Access A>
class Borrow {
 public:
  explicit Borrow(BorrowFlag& flag) : flag_(flag) {
    const std::int64_t current = flag_.state;
    if constexpr (A == Access::Exclusive) {
      if (current != 0) [[unlikely]] {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return;
      }
      flag_.state = -1;
    } else {
      if (current == -1) [[unlikely]] {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return;
      }
      flag_.state = current + 1;
    }
    held_ = true;
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  ~Borrow() {
    if (!held_) return;
    if constexpr (A == Access::Exclusive) {
      flag_.end_exclusive();
    } else {
      flag_.state = flag_.state - 1;
    }
  }
  explicit operator bool() const { return held_; }

 private:
  BorrowFlag& flag_;
  bool held_ = false;
};

}  // namespace drel::py
