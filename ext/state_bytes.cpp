// to_bytes(obj) and from_bytes(data): an object's state as its binary form
// (src/snapshot/binary_state.hpp), for pickling and for moving states between
// processes without a decimal conversion per real.
#include <span>
#include <utility>

#include "instance_arg.hpp"
#include "snapshot/binary_state.hpp"
#include "units.hpp"

namespace drel::py {
namespace {

constexpr ArgSpec kToBytes{"to_bytes()", {"obj"}, 1};
constexpr ArgSpec kFromBytes{"from_bytes()", {"data"}, 1};
constexpr ArgSpec kAssignState{"assign_state()", {"obj", "data"}, 2};

// The state written straight into a new bytes object of its exact size, under
// a shared borrow.
template <class Core>
PyObject* state_bytes(Instance<Core>& instance) {
  Borrow<Access::Shared> borrow(instance.borrow);
  if (!borrow) return nullptr;
  const std::size_t size = binary_state_size(instance.value);
  PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
  if (bytes == nullptr) return nullptr;
  write_binary_state(instance.value,
                     reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes)));
  return bytes;
}

template <std::size_t... I>
PyObject* visit_state_records(const ArgSlots& slots, std::index_sequence<I...>) {
  return visit_instance(Accepts<std::tuple_element_t<I, BinaryStateRecords>...>{}, kToBytes,
                        slots, 0, [](auto& instance) { return state_bytes(instance); });
}

PyObject* to_bytes_entry(const ArgSlots& slots) {
  return visit_state_records(slots, std::make_index_sequence<kBinaryStateKinds>{});
}

PyObject* refused(const LoadError& error) {
  raise_failure(Failure(RuntimeText{error.message()}));
  return nullptr;
}

// A new object of the class the state's kind byte names. The buffer is held
// (and the lock with it) while it is read, so it cannot change meanwhile.
PyObject* restore_state(std::span<const unsigned char> bytes) {
  const auto kind = binary_state_kind_of(bytes);
  if (!kind) return refused(kind.error());
  PyObject* result = nullptr;
  snapshot::with_index<kBinaryStateKinds>(*kind, [&](auto i) {
    using Core = std::tuple_element_t<i, BinaryStateRecords>;
    auto loaded = load_binary_state<Core>(bytes);
    result = loaded ? to_python(std::move(*loaded)) : refused(loaded.error());
  });
  return result;
}

// f(bytes) on the contents of `data`, a bytes-like object, held (and the lock
// with it) while f reads them, so that they cannot change meanwhile.
template <class F>
PyObject* with_bytes(const ArgSpec& spec, const char* name, PyObject* data, F f) {
  if (!PyObject_CheckBuffer(data)) {
    PyErr_Format(PyExc_TypeError, "%s argument '%s' must be a bytes-like object, not '%s'",
                 spec.full_name, name, Py_TYPE(data)->tp_name);
    return nullptr;
  }
  Py_buffer view;
  if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) != 0) return nullptr;
  struct Release {
    Py_buffer* view;
    ~Release() { PyBuffer_Release(view); }
  } release{&view};
  return f(std::span<const unsigned char>{static_cast<const unsigned char*>(view.buf),
                                          static_cast<std::size_t>(view.len)});
}

PyObject* from_bytes_entry(const ArgSlots& slots) {
  return with_bytes(kFromBytes, "data", slots.values[0], restore_state);
}

// The state `data` holds, which must be of obj's class, put in obj in place:
// for undoing steps on an object that others may hold. Checked whole before
// anything changes.
template <std::size_t... I>
PyObject* assign_state(const ArgSlots& slots, std::index_sequence<I...>) {
  return with_bytes(kAssignState, "data", slots.values[1], [&](std::span<const unsigned char> bytes) {
    return visit_instance(
        Accepts<std::tuple_element_t<I, BinaryStateRecords>...>{}, kAssignState, slots, 0,
        [&]<class Core>(Instance<Core>& instance) -> PyObject* {
          auto loaded = load_binary_state<Core>(bytes);
          if (!loaded) return refused(loaded.error());
          Borrow<Access::Exclusive> borrow(instance.borrow);
          if (!borrow) return nullptr;
          instance.value = std::move(*loaded);
          Py_RETURN_NONE;
        });
  });
}

PyObject* assign_state_entry(const ArgSlots& slots) {
  return assign_state(slots, std::make_index_sequence<kBinaryStateKinds>{});
}

const PyMethodDef kFunctions[] = {
    function_def<kToBytes, &to_bytes_entry>(
        "to_bytes",
        "to_bytes(obj)\n--\n\n"
        "The state of a drel_ml object as bytes: its raw values and settings.\n\n"
        "The compact form pickles use, read back by from_bytes. The layout is\n"
        "versioned and little-endian on every machine; it is meant for moving\n"
        "states between processes of one version, not for keeping them:\n"
        "keep to_json text for that.\n\n"
        "Raises TypeError when obj is not one of drel_ml's eight stateful objects."),
    function_def<kFromBytes, &from_bytes_entry>(
        "from_bytes",
        "from_bytes(data)\n--\n\n"
        "A new drel_ml object from bytes that to_bytes wrote; its class is read\n"
        "from the bytes.\n\n"
        "The values are checked as from_json checks a snapshot (reals finite,\n"
        "a scaler's lengths and counts consistent, the format version), and\n"
        "besides the header, the length and every flag and variant byte.\n\n"
        "Raises TypeError when data is not bytes-like, RuntimeError naming the\n"
        "field and byte offset when the bytes are refused."),
    function_def<kAssignState, &assign_state_entry>(
        "assign_state",
        "assign_state(obj, data)\n--\n\n"
        "Puts the state that to_bytes wrote into obj, in place; the bytes must\n"
        "hold the state of an object of obj's class.\n\n"
        "The bytes are checked whole, as from_bytes checks them, before obj\n"
        "changes: a refused call leaves obj as it was. For undoing steps on an\n"
        "object that others hold references to.\n\n"
        "Raises TypeError when obj is not one of drel_ml's eight stateful objects\n"
        "or data is not bytes-like, RuntimeError naming the field and byte offset\n"
        "when the bytes are refused, another class's state among them."),
};

}  // namespace

std::span<const PyMethodDef> state_bytes_functions() { return kFunctions; }

}  // namespace drel::py
