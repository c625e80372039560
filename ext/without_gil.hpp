// Running native work with the interpreter lock released.
#pragma once

#include <utility>

#include "bindings/python.hpp"

namespace drel::py {

// Runs f() with the interpreter lock released and takes it back on every path
// out, a C++ exception included (the fault guard then runs with the lock held).
// f must not touch any Python object: everything it reads is pinned by the
// caller (a held buffer, a borrowed instance, native storage).
template <class F>
decltype(auto) without_gil(F&& f) {
  struct Reacquire {
    PyThreadState* state;
    ~Reacquire() { PyEval_RestoreThread(state); }
  } reacquire{PyEval_SaveThread()};
  return std::forward<F>(f)();
}

}  // namespace drel::py
