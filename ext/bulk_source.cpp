#include "bulk_source.hpp"

#include <string>

namespace drel::py {
namespace {

std::string count_text(std::optional<std::size_t> known, std::size_t at_least) {
  return known ? std::to_string(*known) : "more than " + std::to_string(at_least);
}

// A list that grew or shrank while it was read (its items' conversions, or
// another thread, changed it): said so, rather than as a difference in length.
bool raise_if_resized(const BulkSource& source) {
  const std::optional<std::size_t> before = source.known_count(), now = source.current_count();
  if (!before || !now || *before == *now) return false;
  PyErr_Format(PyExc_ValueError, "%s changed length while it was being read: from %zu %s%s to %zu",
               source.param, *before, source.unit, *before == 1 ? "" : "s", *now);
  return true;
}

bool raise_mismatch(const BulkSource& x, const std::string& x_count, const BulkSource& y,
                    const std::string& y_count) {
  if (raise_if_resized(x) || raise_if_resized(y)) return false;
  auto plural = [](const std::string& count) { return count == "1" ? "" : "s"; };
  PyErr_Format(PyExc_ValueError, "%s and %s differ in length: %s has %s %s%s, %s has %s %s%s",
               x.param, y.param, x.param, x_count.c_str(), x.unit, plural(x_count), y.param,
               y_count.c_str(), y.unit, plural(y_count));
  return false;
}

// Holds back the pending exception as the failure of `row`.
bool fail_at(std::size_t row, const BulkSource& source, RaisedIn raised_in, Conversion& out) {
  std::optional<RowFailure> failure = take_row_failure(row, source.param, raised_in);
  if (!failure) return false;
  failure->hint = source.failure_hint;
  out.count = row;
  out.failure = std::move(failure);
  return true;
}

bool fail_at(std::size_t row, const BulkSource& source, Converted how, Conversion& out) {
  const RaisedIn raised_in = how == Converted::Rejected  ? RaisedIn::Reader
                             : how == Converted::Refused ? RaisedIn::Conversion
                                                         : RaisedIn::Caller;
  return fail_at(row, source, raised_in, out);
}

// Buffers only: no Python code runs, so the first rejected row is the answer.
bool convert_whole(BulkSource& x, BulkSource* y, Conversion& out) {
  const std::size_t count = *x.known_count();
  std::optional<std::size_t> rejected = x.first_rejected();
  BulkSource* culprit = &x;
  if (y != nullptr) {
    // Within a row, y is converted first.
    if (auto at = y->first_rejected(); at && (!rejected || *at <= *rejected)) {
      rejected = at;
      culprit = y;
    }
  }
  if (!rejected) {
    out.count = count;
    return true;
  }
  const Converted how = culprit->convert(*rejected);
  return fail_at(*rejected, *culprit, how, out);
}

}  // namespace

bool convert_inputs(BulkSource& x, BulkSource* y, Conversion& out) {
  const std::optional<std::size_t> x_count = x.known_count();
  const std::optional<std::size_t> y_count = y != nullptr ? y->known_count() : x_count;
  if (y != nullptr && x_count && y_count && *x_count != *y_count)
    return raise_mismatch(x, std::to_string(*x_count), *y, std::to_string(*y_count));
  if (x.whole() && (y == nullptr || y->whole())) return convert_whole(x, y, out);

  for (std::size_t row = 0;; ++row) {
    const Fetched x_item = x.fetch(row);
    if (x_item == Fetched::Failed) return fail_at(row, x, RaisedIn::Caller, out);
    const Fetched y_item = y != nullptr ? y->fetch(row) : x_item;
    if (y_item == Fetched::Failed) return fail_at(row, *y, RaisedIn::Caller, out);
    if (x_item == Fetched::End || y_item == Fetched::End) {
      if (x_item == y_item) {
        out.count = row;
        return true;
      }
      return x_item == Fetched::End
                 ? raise_mismatch(x, std::to_string(row), *y, count_text(y_count, row))
                 : raise_mismatch(x, count_text(x_count, row), *y, std::to_string(row));
    }
    if (y != nullptr) {
      if (const Converted c = y->convert(row); c != Converted::Ok) return fail_at(row, *y, c, out);
    }
    if (const Converted c = x.convert(row); c != Converted::Ok) return fail_at(row, x, c, out);
  }
}

}  // namespace drel::py
