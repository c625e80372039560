// The function tables of the companion extension, one per unit. Each unit owns
// its file and its table; the module concatenates them.
#pragma once

#include <span>

#include "bindings/python.hpp"

namespace drel::py {

std::span<const PyMethodDef> bulk_functions();    // learn_many, predict_many, ...
std::span<const PyMethodDef> merge_functions();   // merge
std::span<const PyMethodDef> config_functions();  // configuration factories and readers
std::span<const PyMethodDef> progressive_functions();  // progressive validation
std::span<const PyMethodDef> progressive_by_key_functions();  // ... of many models by key
std::span<const PyMethodDef> state_bytes_functions();  // to_bytes, from_bytes
std::span<const PyMethodDef> bulk_by_key_functions();  // learn_many_by_key, update_many_by_key
std::span<const PyMethodDef> record_key_functions();   // record_keys

}  // namespace drel::py
