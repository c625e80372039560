// `to_json` and the static `from_json`, the same pair on every stateful class.
#pragma once

#include <string>

#include "frame.hpp"
#include "snapshot/snapshot.hpp"

namespace drel::py {

template <class Core>
std::string write_document(const Core& core) {
  return to_snapshot_json(core);
}

template <class Core>
std::expected<Core, LoadError> load_document(Text json) {
  return load_snapshot<Core>(json);
}

template <class Core>
PyMethodDef to_json_def() {
  return noargs_def<&write_document<Core>>("to_json", "to_json($self)\n--\n\n");
}

// Spec names the class, e.g. {"Mean.from_json()", {"json"}, 1}.
template <const ArgSpec& Spec, class Core>
PyMethodDef from_json_def() {
  return static_def<Spec, &load_document<Core>>("from_json", "from_json(json)\n--\n\n");
}

}  // namespace drel::py
