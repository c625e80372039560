// Running native work with the interpreter lock released, and looking for
// signals (Ctrl-C) between its blocks.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
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

// The work between two looks for a pending signal: rows of `cols` values make
// up blocks of about this many values, whatever the width, so that a look
// comes well within a tenth of a second even for the slowest row.
inline constexpr std::size_t kSignalBlockValues = std::size_t{1} << 18;

inline std::size_t signal_block_rows(std::size_t cols) {
  return std::max<std::size_t>(1, kSignalBlockValues / std::max<std::size_t>(cols, 1));
}

// Looks for signals from work that runs without the interpreter lock. Python
// runs signal handlers in the main thread only, so elsewhere a look is
// nothing; in the main thread it takes the lock back for a moment, at most
// once per kInterval, and runs the pending handlers. Created with the lock held.
class SignalPoll {
 public:
  SignalPoll();
  SignalPoll(const SignalPoll&) = delete;
  SignalPoll& operator=(const SignalPoll&) = delete;

  // Without the lock, between two blocks of work: true once a handler has
  // raised (KeyboardInterrupt from Ctrl-C). Its exception then stays pending on
  // this thread, to be raised once the lock is back; the work stops and
  // changes nothing.
  bool interrupted();
  bool raised() const { return raised_; }

 private:
  static constexpr std::chrono::milliseconds kInterval{50};

  PyThreadState* thread_;
  bool main_thread_;
  bool raised_ = false;
  std::chrono::steady_clock::time_point last_;
};

// Under the lock, while converting Python objects: runs the pending signal
// handlers once per kSignalBlockValues values. False with the handler's
// exception set when one raised.
class SignalBudget {
 public:
  bool spend(std::size_t values) {
    left_ -= static_cast<std::ptrdiff_t>(values);
    if (left_ > 0) [[likely]] return true;
    left_ = static_cast<std::ptrdiff_t>(kSignalBlockValues);
    return PyErr_CheckSignals() == 0;
  }

 private:
  std::ptrdiff_t left_ = static_cast<std::ptrdiff_t>(kSignalBlockValues);
};

}  // namespace drel::py
