#include "bindings/once.hpp"
#include "without_gil.hpp"

namespace drel::py {
namespace {

OnceObject main_thread_ident_cell;

// Whether this is the thread that Python runs signal handlers in. When that
// cannot be told it is taken to be: a needless look costs a moment only.
bool in_main_thread() {
  PyObject* ident = main_thread_ident_cell.get([]() -> PyObject* {
    Ref threading = Ref::steal(PyImport_ImportModule("threading"));
    if (!threading) return nullptr;
    Ref main = Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    return main ? PyObject_GetAttrString(main.get(), "ident") : nullptr;
  });
  if (ident == nullptr) {
    PyErr_Clear();
    return true;
  }
  const unsigned long main = PyLong_AsUnsignedLong(ident);
  if (main == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return true;
  }
  return PyThread_get_thread_ident() == main;
}

}  // namespace

SignalPoll::SignalPoll()
    : thread_(PyThreadState_Get()),
      main_thread_(in_main_thread()),
      last_(std::chrono::steady_clock::now()) {}

bool SignalPoll::interrupted() {
  if (raised_) return true;
  if (!main_thread_) return false;
  if (std::chrono::steady_clock::now() - last_ < kInterval) [[likely]] return false;
  PyEval_RestoreThread(thread_);
  raised_ = PyErr_CheckSignals() != 0;
  PyEval_SaveThread();
  last_ = std::chrono::steady_clock::now();
  return raised_;
}

}  // namespace drel::py
