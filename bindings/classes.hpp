// The module's classes: one per entry of the core's stateful class list
// (src/stateful_classes.hpp), in that order, then Snapshot.
//
// The seam between drel_ml and drel_ml_ext. Both extensions compile the call
// frame, the conversions and Instance<Core> from these same sources, and both
// define class_object<Core> for every stateful class:
//   - drel_ml (bindings/*_classes.cpp) creates each class on first need;
//   - drel_ml_ext (ext/bound_classes.cpp) returns drel_ml's own class, taken
//     from the imported module once, so that what it creates and accepts are
//     genuine drel_ml instances.
// Two definitions of one specialisation are sound only because each extension
// is a separate shared object that exports nothing but its PyInit function
// (bindings/exports.map, ext/exports.map) and is built with hidden visibility:
// neither can bind to the other's definitions. Linking the two into one
// object would break this. What crosses the seam at run time is the instance
// layout, so drel_ml_ext checks, when it binds each class, that drel_ml's
// tp_basicsize is sizeof(Instance<Core>) as it was compiled, and refuses to
// import otherwise (an install that mixes builds).
#pragma once

#include <string_view>

#include "bindings/instance.hpp"
#include "stateful_classes.hpp"

namespace drel::py {

// Defined by each extension for every stateful class (see above).
#define DREL_DECLARE_CLASS_OBJECT_(Core, Name) template <> PyTypeObject* class_object<Core>();
DREL_STATEFUL_CLASSES(DREL_DECLARE_CLASS_OBJECT_)
#undef DREL_DECLARE_CLASS_OBJECT_
PyTypeObject* snapshot_class_object();

// The name of each class in drel_ml, under which the companion finds it too.
template <class Core>
inline constexpr std::string_view module_name{};
#define DREL_MODULE_NAME_(Core, Name) \
  template <>                         \
  inline constexpr std::string_view module_name<Core>{#Name};
DREL_STATEFUL_CLASSES(DREL_MODULE_NAME_)
#undef DREL_MODULE_NAME_

// module_name<Core> as a C string, checked to be given.
template <class Core>
consteval const char* name_in_module() {
  static_assert(!module_name<Core>.empty(), "a stateful class needs its module_name");
  return module_name<Core>.data();
}

}  // namespace drel::py
