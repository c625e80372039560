// The metrics argument of the progressive validation functions: each element
// an instance of a metric class, borrowed exclusively for the call (one object
// given twice is refused by its borrow), the pass running on copies that are
// moved back only when the whole call succeeded.
#pragma once

#include <deque>
#include <vector>

#include "bindings/borrow.hpp"
#include "bindings/python.hpp"
#include "metrics/progressive.hpp"

namespace drel::py {

struct MetricArgs {
  std::vector<AnyMetric> work;        // the copies the pass updates
  std::vector<PyObject*> objects;     // their instances, borrowed
  std::deque<Borrow<Access::Exclusive>> borrows;
};

// Appends the metrics of the tuple `metrics` to `out`; false with an exception
// set when one is not a metric, is in use, or scores the other kind of model.
// `caller` names the function in the messages.
bool read_metrics(const char* caller, PyObject* metrics, MetricArgs& out, bool classifier);

// Moves every copy back into its instance. Cannot fail.
void commit_metrics(MetricArgs& metrics);

}  // namespace drel::py
