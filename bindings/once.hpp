// Process-wide objects created once, on first need, and kept until exit.
#pragma once

#include <atomic>
#include <mutex>

#include "bindings/python.hpp"

namespace drel::py {

class OnceObject {
 public:
  // The cached object (borrowed), creating it with `init` on first need;
  // nullptr with an exception set when `init` fails (a later call retries).
  // The object if it was created already, else null; never creates it.
  PyObject* peek() const { return value_.load(std::memory_order_acquire); }

  template <class Init>
  PyObject* get(Init&& init) {
    if (PyObject* ready = value_.load(std::memory_order_acquire)) [[likely]] return ready;
    return get_slow(init);
  }

 private:
  template <class Init>
  PyObject* get_slow(Init& init) {
    // Wait for the flag without the interpreter lock: the thread running the
    // initialiser may need the lock back (initialisers run Python code).
    PyThreadState* state = PyEval_SaveThread();
    std::unique_lock<std::mutex> lock(mutex_);
    PyEval_RestoreThread(state);
    PyObject* value = value_.load(std::memory_order_acquire);
    if (value == nullptr) {
      value = init();  // a new reference, kept for the life of the process
      if (value != nullptr) value_.store(value, std::memory_order_release);
    }
    return value;
  }

  std::atomic<PyObject*> value_{nullptr};
  std::mutex mutex_;
};

}  // namespace drel::py
