#include <string>

#include "error/error.hpp"
#include "snapshot/snapshot.hpp"

namespace drel {

LoadError LoadError::at(std::string text, std::size_t line, std::size_t column) {
  return LoadError(std::move(text), true, line, column);
}

LoadError LoadError::incompatible_version(std::uint32_t got) {
  return LoadError(Error::incompatible_state_version(SNAPSHOT_FORMAT_VERSION, got).message(),
                   false, 0, 0);
}

LoadError LoadError::without_position(std::string text) {
  return LoadError(std::move(text), false, 0, 0);
}

std::string LoadError::message() const {
  if (!has_position_) return text_;
  return text_ + " at line " + std::to_string(line_) + " column " + std::to_string(column_);
}

}  // namespace drel
