// What a module-level function over a drel_ml instance needs beside the call
// frame of bindings/frame.hpp: an entry point without a receiver, a trailing
// parameter that may be left out, and a first argument matched by exact type
// against the classes the function accepts. Borrowing, conversions and the
// fault guard are the frame's own.
#pragma once

#include <initializer_list>
#include <string>

#include "bindings/args.hpp"
#include "common/type_list.hpp"
#include "bound_classes.hpp"
#include "bindings/frame.hpp"

namespace drel::py {

// " (the class X itself: pass an instance of it)" when o is a class whose
// instances the call takes (a newcomer's MAE for MAE()); "" otherwise.
std::string class_itself_note(PyObject* o, bool taken_class);

// Parses with `spec`, whose last parameter may be left out: then its slot stays
// null. The frame's texts apply unchanged; a left-out last parameter simply
// does not count as missing.
template <const ArgSpec& Spec>
bool parse_optional_last(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                         ArgSlots& out) {
  static constexpr ArgSpec kWithoutLast{Spec.full_name, Spec.names, Spec.count - 1};
  bool given = static_cast<std::size_t>(nargs) >= Spec.count;
  if (!given && kwnames != nullptr) {
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames) && !given; ++k) {
      PyObject* name = PyTuple_GET_ITEM(kwnames, k);
      given = PyUnicode_Check(name) &&
              PyUnicode_CompareWithASCIIString(name, Spec.names[Spec.count - 1]) == 0;
    }
  }
  // Without it, the general parser: it leaves the last slot null, where the
  // caller's vector has nothing to read.
  return given ? parse_args(Spec, args, nargs, kwnames, out)
               : parse_fastcall(kWithoutLast, args, nargs, kwnames, out);
}

// The vector-call entry of a module function: the frame's parser and fault
// guard around Body(slots). With OptionalLast, the last parameter may be left
// out (its slot is then null).
template <const ArgSpec& Spec, PyObject* (*Body)(const ArgSlots&), bool OptionalLast = false>
PyObject* function_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    ArgSlots slots;
    const bool parsed = OptionalLast ? parse_optional_last<Spec>(args, nargs, kwnames, slots)
                                     : parse_args(Spec, args, nargs, kwnames, slots);
    return parsed ? Body(slots) : nullptr;
  });
}

template <const ArgSpec& Spec, PyObject* (*Body)(const ArgSlots&), bool OptionalLast = false>
PyMethodDef function_def(const char* name, const char* doc) {
  return {name, as_cfunction(&function_entry<Spec, Body, OptionalLast>),
          METH_FASTCALL | METH_KEYWORDS, doc};
}

// The classes a parameter accepts, as core types.
template <class... Cores>
using Accepts = TypeList<Cores...>;

// TypeError "{function} argument '{name}' must be A, B or C, not '{type}'".
void raise_not_accepted(const ArgSpec& spec, std::size_t param, PyObject* o,
                        std::initializer_list<PyTypeObject*> accepted);

// Calls visit(Instance<Core>&) for the drel_ml instance in slot `param` when
// its class is exactly one of Cores'; otherwise raises the TypeError above.
template <class... Cores, class Visit>
PyObject* visit_instance(Accepts<Cores...>, const ArgSpec& spec, const ArgSlots& slots,
                         std::size_t param, Visit&& visit) {
  PyObject* o = slots.values[param];
  PyObject* result = nullptr;
  const bool matched = ([&] {
    Instance<Cores>* instance = exact_instance<Cores>(o);
    if (instance == nullptr) return false;
    result = visit(*instance);
    return true;
  }() || ...);
  if (!matched) raise_not_accepted(spec, param, o, {class_object<Cores>()...});
  return result;
}

}  // namespace drel::py
