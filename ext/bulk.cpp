#include "units.hpp"

namespace drel::py {

std::span<const PyMethodDef> bulk_functions() { return {}; }

}  // namespace drel::py
