#include "units.hpp"

namespace drel::py {

std::span<const PyMethodDef> config_functions() { return {}; }

}  // namespace drel::py
