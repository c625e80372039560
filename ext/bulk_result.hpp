// The result of predict_many, predict_proba_many and transform_many: one numpy
// array, allocated once through numpy's own Python API and filled by the core
// in place; without numpy, a list of floats or bools (a list of lists for 2-D).
// numpy is imported on first need and the outcome is kept for the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "bindings/python.hpp"

namespace drel::py {

enum class ResultKind { Real, Flag };  // float64 / bool elements

class BulkResult {
 public:
  BulkResult() = default;
  BulkResult(const BulkResult&) = delete;
  BulkResult& operator=(const BulkResult&) = delete;
  ~BulkResult();

  // Room for `rows` values, or `rows` x `width` when width is given (2-D).
  // False with an exception set.
  bool allocate(ResultKind kind, std::size_t rows, std::optional<std::size_t> width = {});

  std::span<double> reals() { return {static_cast<double*>(data_), size_}; }
  std::span<std::uint8_t> flags() { return {static_cast<std::uint8_t*>(data_), size_}; }

  // The finished result (a new reference), or null with an exception set.
  PyObject* release();

 private:
  ResultKind kind_ = ResultKind::Real;
  std::size_t rows_ = 0;
  std::optional<std::size_t> width_;
  std::size_t size_ = 0;
  void* data_ = nullptr;
  // numpy: the array and its buffer, held while the core fills it.
  Ref array_;
  Py_buffer view_{};
  bool viewing_ = false;
  // Without numpy: native storage, turned into lists at the end.
  std::vector<double> reals_;
  std::vector<std::uint8_t> flags_;
};

}  // namespace drel::py
