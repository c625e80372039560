// The keys of each stateful class's snapshot record, from the core's field
// tables: what drel_ml_ext.load tells a snapshot's class by, without a copy of
// the records in Python.
#include <array>
#include <string_view>
#include <tuple>
#include <type_traits>

#include "bindings/classes.hpp"
#include "bindings/guard.hpp"
#include "bindings/python.hpp"
#include "snapshot/record_fields.hpp"
#include "stateful_classes.hpp"
#include "units.hpp"

namespace drel::py {
namespace {

// A new tuple of the keys of Core's record, in the order they are written.
template <class Core>
PyObject* record_keys_of() {
  const auto& fields = snapshot::RecordTraits<Core>::fields;
  Ref keys = Ref::steal(PyTuple_New(std::tuple_size_v<std::remove_cvref_t<decltype(fields)>>));
  if (!keys) return nullptr;
  Py_ssize_t at = 0;
  const bool filled = std::apply(
      [&](const auto&... field) {
        const auto put = [&](std::string_view key) {
          PyObject* text = PyUnicode_FromStringAndSize(key.data(), std::ssize(key));
          if (text == nullptr) return false;
          PyTuple_SET_ITEM(keys.get(), at++, text);  // steals text
          return true;
        };
        return (put(field.key) && ...);
      },
      fields);
  return filled ? keys.release() : nullptr;
}

template <class... Cores>
PyObject* record_table(TypeList<Cores...>) {
  Ref table = Ref::steal(PyDict_New());
  const auto add = [&]<class Core>() {
    Ref keys = Ref::steal(record_keys_of<Core>());
    return keys && PyDict_SetItemString(table.get(), name_in_module<Core>(), keys.get()) == 0;
  };
  if (!table || !(add.template operator()<Cores>() && ...)) return nullptr;
  return table.release();
}

PyObject* record_keys(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* { return record_table(StatefulClasses{}); });
}

const std::array<PyMethodDef, 1> kFunctions{
    PyMethodDef{"record_keys", &record_keys, METH_NOARGS,
                "{class name: keys of its snapshot record} for every stateful class, in "
                "drel_ml's order."},
};

}  // namespace

std::span<const PyMethodDef> record_key_functions() { return kFunctions; }

}  // namespace drel::py
