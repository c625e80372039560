// What the functions over many objects grouped by key share: rows
// offsets[k]:offsets[k + 1] of one converted input belong to key k, whose
// object is borrowed exclusively for the whole call and works on a private
// copy that is committed only when every key has taken every row.
#pragma once

#include <algorithm>
#include <array>
#include <expected>
#include <string>
#include <unordered_map>
#include <vector>

#include "bound_classes.hpp"
#include "bulk_rows.hpp"
#include "bulk_run.hpp"
#include "common/type_list.hpp"

namespace drel::py::by_key {

// Positional parameters only: four are more than the shared call frame parses.
struct KeySpec {
  const char* full_name;
  std::array<const char*, 4> names;
  Py_ssize_t count;
};

// "Mean" for drel_ml's classes (named builtins.Mean), "int" for an int.
const char* short_name(PyTypeObject* type);
const char* type_name(PyObject* o);

// ---- the objects ----

// Every object of the call borrowed exclusively, released together. The same
// object twice is refused before any borrow, naming both places.
template <class Core>
class Borrowed {
 public:
  Borrowed() = default;
  Borrowed(const Borrowed&) = delete;
  Borrowed& operator=(const Borrowed&) = delete;
  ~Borrowed() {
    for (Instance<Core>* instance : held_) instance->borrow.end_exclusive();
  }

  // False with an exception set.
  bool take(const KeySpec& spec, PyObject* items) {
    const Py_ssize_t n = PyTuple_GET_SIZE(items);
    std::unordered_map<PyObject*, Py_ssize_t> seen;
    if (n > 1) seen.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t k = 0; n > 1 && k < n; ++k) {
      PyObject* o = PyTuple_GET_ITEM(items, k);
      const auto [at, fresh] = seen.emplace(o, k);
      if (!fresh) {
        PyErr_Format(PyExc_ValueError,
                     "%s %s[%zd] is %s[%zd]: each key needs an object of its own",
                     spec.full_name, spec.names[0], k, spec.names[0], at->second);
        return false;
      }
    }
    held_.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k) {
      Instance<Core>* instance = exact_instance<Core>(PyTuple_GET_ITEM(items, k));
      // The same rule as Borrow<Access::Exclusive>, for many flags at once.
      if (instance->borrow.state != 0) {
        PyErr_Format(PyExc_RuntimeError, "Already borrowed (%s[%zd])", spec.names[0], k);
        return false;
      }
      instance->borrow.state = -1;
      held_.push_back(instance);
    }
    return true;
  }

  std::span<Instance<Core>* const> instances() const { return held_; }

 private:
  std::vector<Instance<Core>*> held_;
};

// The objects as a tuple (a list may change while X is iterated), each of
// exactly the class of the first; null with TypeError otherwise.
template <class Core>
bool all_of_class(const KeySpec& spec, PyObject* items) {
  for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(items); ++k) {
    PyObject* o = PyTuple_GET_ITEM(items, k);
    if (exact_instance<Core>(o) == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s %s[%zd] is a '%s', but %s[0] is a '%s': one class per call",
                   spec.full_name, spec.names[0], k, type_name(o), spec.names[0],
                   short_name(class_object<Core>()));
      return false;
    }
  }
  return true;
}

// keys + 1 positions from 0, never decreasing; the last is checked against
// the rows once X is converted. False with an exception set.
bool read_offsets(const KeySpec& spec, PyObject* o, std::size_t keys,
                  std::vector<std::size_t>& out);
// The last offset is the number of rows.
bool offsets_cover(const KeySpec& spec, const std::vector<std::size_t>& offsets, std::size_t rows);

// ---- the run ----

// The core's error at a row of key k: the one-sample message with the row of
// the whole call and the key.
struct KeyedError {
  RowError error;
  std::size_t key;
};

// Walks the converted rows block by block and, within each block, the keys
// whose rows it holds: learn(state, block_view, lo, count) learns rows
// [lo, lo + count) of the block into the copy of key k's state.
// A signal handler that raises between two blocks stops the walk.
template <class Core, class Fetch, class Learn>
std::expected<void, KeyedError> learn_keys(std::vector<Core>& work,
                                           const std::vector<std::size_t>& offsets,
                                           std::size_t n, std::size_t block, SignalPoll& signals,
                                           Fetch&& fetch, Learn&& learn) {
  std::size_t k = 0;
  for (std::size_t first = 0; first < n; first += block) {
    if (first > 0 && signals.interrupted()) [[unlikely]] return {};
    const std::size_t end = std::min(n, first + block);
    auto view = fetch(first, end - first);
    for (; k < work.size() && offsets[k] < end; ++k) {
      const std::size_t lo = std::max(offsets[k], first);
      const std::size_t hi = std::min(offsets[k + 1], end);
      if (lo < hi) {
        BulkStatus done = learn(work[k], view, lo - first, hi - lo);
        if (!done) [[unlikely]] {
          RowError failure = std::move(done).error();
          failure.row += lo;
          return std::unexpected(KeyedError{std::move(failure), k});
        }
      }
      if (offsets[k + 1] > end) break;  // the key goes on in the next block
    }
  }
  return {};
}

// Raises the keyed error: the core's message, " (row N, objects[k])" appended.
void raise_keyed_error(const KeySpec& spec, const KeyedError& failed);

// Rows [lo, lo + count) of a block.
Rows slice(const Rows& rows, std::size_t lo, std::size_t count);

// Argument `param` of the call (objects by default) as a new tuple, or null
// with TypeError: a list or a tuple only,
// so that nothing runs while they are read.
Ref object_tuple(const KeySpec& spec, PyObject* objects, std::size_t param = 0);

// Calls body.template operator()<Core>() for the class of the first object
// among Cores (no object: the first of Cores, for which nothing is learned).
template <class... Cores, class Body>
PyObject* by_first_class(TypeList<Cores...>, const KeySpec& spec, PyObject* items, Body&& body) {
  PyObject* first = PyTuple_GET_SIZE(items) > 0 ? PyTuple_GET_ITEM(items, 0) : nullptr;
  PyObject* result = nullptr;
  bool matched = false;
  std::size_t index = 0;
  ((matched = matched || [&] {
     const bool is = first == nullptr ? index == 0 : exact_instance<Cores>(first) != nullptr;
     ++index;
     if (is) result = body.template operator()<Cores>();
     return is;
   }()),
   ...);
  if (!matched) {
    std::string names;
    index = 0;
    ((names += (index++ == 0 ? "" : index == sizeof...(Cores) ? " or " : ", "),
      names += short_name(class_object<Cores>())),
     ...);
    PyErr_Format(PyExc_TypeError, "%s %s[0] must be %s, not '%s'", spec.full_name, spec.names[0],
                 names.c_str(), type_name(first));
  }
  return result;
}

}  // namespace drel::py::by_key
