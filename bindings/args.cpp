#include "bindings/args.hpp"

#include <string>

namespace drel::py {
namespace {

bool too_many_positional(const ArgSpec& spec, Py_ssize_t nargs) {
  PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
               spec.full_name, spec.count, nargs, nargs == 1 ? "was" : "were");
  return false;
}

// Matches one keyword argument by exact name; false with a TypeError set.
bool assign_keyword(const ArgSpec& spec, PyObject* name, PyObject* value, ArgSlots& out) {
  for (std::size_t i = 0; i < spec.count; ++i) {
    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, spec.names[i]) == 0) {
      if (out.parsed[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", spec.full_name,
                     spec.names[i]);
        return false;
      }
      out.parsed[i] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", spec.full_name,
               name);
  return false;
}

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
bool check_missing(const ArgSpec& spec, const ArgSlots& out) {
  std::size_t missing = 0;
  for (std::size_t i = 0; i < spec.count; ++i) missing += out.parsed[i] == nullptr;
  if (missing == 0) [[likely]] return true;
  std::string list;
  std::size_t listed = 0;
  for (std::size_t i = 0; i < spec.count; ++i) {
    if (out.parsed[i] != nullptr) continue;
    if (listed > 0) list += missing > 2 ? ", " : " ";
    if (listed > 0 && listed + 1 == missing) list += "and ";
    list += '\'';
    list += spec.names[i];
    list += '\'';
    ++listed;
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", spec.full_name,
               missing, missing == 1 ? "argument" : "arguments", list.c_str());
  return false;
}

}  // namespace

bool parse_fastcall(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, ArgSlots& out) {
  if (static_cast<std::size_t>(nargs) > spec.count) return too_many_positional(spec, nargs);
  out.parsed.fill(nullptr);
  out.values = out.parsed.data();
  for (Py_ssize_t i = 0; i < nargs; ++i) out.parsed[static_cast<std::size_t>(i)] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!assign_keyword(spec, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
    }
  }
  return check_missing(spec, out);
}

bool parse_tuple_dict(const ArgSpec& spec, PyObject* args, PyObject* kwargs, ArgSlots& out,
                      OwnedSlots& owned) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (static_cast<std::size_t>(nargs) > spec.count) return too_many_positional(spec, nargs);
  out.parsed.fill(nullptr);
  out.values = out.parsed.data();
  for (Py_ssize_t i = 0; i < nargs; ++i) out.parsed[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (!assign_keyword(spec, name, value, out)) return false;
    }
  }
  if (!check_missing(spec, out)) return false;
  for (std::size_t i = 0; i < spec.count; ++i) {
    owned.refs[i] = Ref::borrow(out.parsed[i]);
  }
  return true;
}

}  // namespace drel::py
