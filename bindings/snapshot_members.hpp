// `to_json` and the static `from_json`, the same pair on every stateful class.
#pragma once

#include <string>

#include "bindings/classes.hpp"
#include "bindings/frame.hpp"
#include "snapshot/snapshot.hpp"

namespace drel::py {

// The text is ASCII, so the core writes it straight into a new str sized for
// the longest possible document, which is then cut to its length: no second
// buffer, no copy, no decoding.
template <class Core>
Outcome<Ref> write_document(const Core& core) {
  const std::size_t room = snapshot_json_room(core);
  PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(room), 127);
  if (text == nullptr) return std::unexpected(Failure(PythonError{}));
  char* start = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text));
  const char* end = write_snapshot_json(core, start);
  // A str nobody else has seen yet may be shortened in place.
  if (PyUnicode_Resize(&text, end - start) < 0) {
    Py_DECREF(text);
    return std::unexpected(Failure(PythonError{}));
  }
  return Ref::steal(text);
}

template <class Core>
std::expected<Core, LoadError> load_document(Text json) {
  return load_snapshot<Core>(json);
}

template <class Core>
inline constexpr Member kToJson{module_name<Core>, "to_json"};
template <class Core>
inline constexpr Member kFromJson{module_name<Core>, "from_json", {"json"}, MemberKind::Static};

template <class Core>
PyMethodDef to_json_def() {
  return noargs_def<&write_document<Core>>(kToJson<Core>.name.data(), member_doc<kToJson<Core>>());
}

template <class Core>
PyMethodDef from_json_def() {
  return static_def<kFromJson<Core>, &load_document<Core>>();
}

}  // namespace drel::py
