// The `Snapshot` namespace class: the format version and a generic to_json.
#include "bindings/classes.hpp"
#include "bindings/frame.hpp"
#include "bindings/once.hpp"
#include "snapshot/snapshot.hpp"

namespace drel::py {
namespace {

constexpr ArgSpec kSnapshotToJson{"Snapshot.to_json()", {"obj"}, 1};

// Any object with a to_json method returning text, not only ours. No borrow is
// taken here: the object's own method takes what it needs.
Outcome<Ref> snapshot_to_json(Object obj) {
  Ref name = Ref::steal(PyUnicode_FromString("to_json"));
  if (!name) return std::unexpected(Failure(PythonError{}));
  Ref text = Ref::steal(PyObject_CallMethodNoArgs(obj.value, name.get()));
  if (!text) return std::unexpected(Failure(PythonError{}));
  if (!PyUnicode_Check(text.get())) {
    raise_not_instance(text.get(), "str");
    return std::unexpected(Failure(PythonError{}));
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (data == nullptr) return std::unexpected(Failure(PythonError{}));
  Ref copy = Ref::steal(PyUnicode_FromStringAndSize(data, size));
  if (!copy) return std::unexpected(Failure(PythonError{}));
  return copy;
}

PyObject* format_version(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* { return PyLong_FromUnsignedLong(SNAPSHOT_FORMAT_VERSION); });
}

PyMethodDef snapshot_methods[] = {
    {"format_version", &format_version, METH_NOARGS | METH_STATIC,
     "format_version()\n--\n\nReturns the snapshot format version supported by this build."},
    static_def<kSnapshotToJson, &snapshot_to_json>(
        "to_json", "to_json(obj)\n--\n\nSerialize any object exposing a `to_json` method."),
    kMethodsEnd,
};

OnceObject snapshot_class;

}  // namespace

PyTypeObject* snapshot_class_object() {
  return reinterpret_cast<PyTypeObject*>(snapshot_class.get([] {
    return create_class(ClassSpec{
        "builtins.Snapshot",
        "Snapshot helper namespace.\n\nEach model class already exposes its own `to_json` method "
        "(serialization\nvia `Snapshot<T>`). `Snapshot` is exported as a namespace marker so\n"
        "downstream code can feature-detect the binding at runtime.",
        0, nullptr, nullptr, snapshot_methods, nullptr});
  }));
}

}  // namespace drel::py
