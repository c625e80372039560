// merge(a, b) and merge_from(start, a, b): a new drel_ml object from two of
// one class, computed by the core's merge rules under shared borrows, so the
// inputs (which may be one and the same object) are never changed.
#include <cstring>
#include <optional>
#include <utility>

#include "bound_classes.hpp"
#include "bindings/frame.hpp"
#include "merge/merge.hpp"
#include "units.hpp"

namespace drel::py {
namespace {

// "Mean" for drel_ml's classes (named builtins.Mean), the type's own name otherwise.
const char* class_name(PyObject* o) {
  const char* name = Py_TYPE(o)->tp_name;
  const char* dot = std::strrchr(name, '.');
  return dot != nullptr ? dot + 1 : name;
}

template <class T>
Outcome<T> python_error() {
  return std::unexpected(Failure(PythonError{}));
}

template <class Core>
Outcome<Core> merged_core(Instance<Core>* start, Instance<Core>* a, Instance<Core>* b) {
  Borrow<Access::Shared> borrow_a(a->borrow);
  if (!borrow_a) return python_error<Core>();
  Borrow<Access::Shared> borrow_b(b->borrow);
  if (!borrow_b) return python_error<Core>();
  if (start == nullptr) return Lift<Result<Core>>::apply(merge(a->value, b->value));
  Borrow<Access::Shared> borrow_start(start->borrow);
  if (!borrow_start) return python_error<Core>();
  return Lift<Result<Core>>::apply(merge_from(start->value, a->value, b->value));
}

// a is a Core; b and start (when given) must be too. The result object is
// created after every borrow is released.
template <class Core>
Outcome<Ref> merge_as(PyObject* start, PyObject* a, PyObject* b) {
  for (PyObject* other : {b, start}) {
    if (other != nullptr && exact_instance<Core>(other) == nullptr) {
      PyErr_Format(PyExc_TypeError, "merge() needs objects of one class: got '%s' and '%s'",
                   class_name(a), class_name(other));
      return python_error<Ref>();
    }
  }
  Outcome<Core> merged = merged_core<Core>(
      start != nullptr ? exact_instance<Core>(start) : nullptr, exact_instance<Core>(a),
      exact_instance<Core>(b));
  if (!merged) return std::unexpected(std::move(merged).error());
  Ref object = Ref::steal(to_python(std::move(*merged)));
  if (!object) return python_error<Ref>();
  return object;
}

// Every stateful class has merge and merge_from (some refuse): a class of the
// list without them does not compile here.
template <class... Cores>
Outcome<Ref> merge_any(TypeList<Cores...>, PyObject* start, PyObject* a, PyObject* b) {
  std::optional<Outcome<Ref>> result;
  ((result = !result && exact_instance<Cores>(a) != nullptr
                 ? std::optional<Outcome<Ref>>(merge_as<Cores>(start, a, b))
                 : std::move(result)),
   ...);
  if (result) return std::move(*result);
  // The metrics of drel_ml_ext.metrics merge in place, by their own method.
  const bool merges_itself = PyObject_HasAttrString(a, "merge") == 1;
  PyErr_Format(PyExc_TypeError, "merge() takes drel_ml objects, got '%s'%s", class_name(a),
               merges_itself ? ", which merges in place by its own method: a.merge(b)" : "");
  return python_error<Ref>();
}

Outcome<Ref> merge_objects(PyObject* start, PyObject* a, PyObject* b) {
  return merge_any(StatefulClasses{}, start, a, b);
}

constexpr ArgSpec kMergeSpec{"merge()", {"a", "b"}, 2};
constexpr ArgSpec kMergeFromSpec{"merge_from()", {"start", "a", "b"}, 3};

constexpr auto kMerge = +[](Object a, Object b) { return merge_objects(nullptr, a.value, b.value); };
constexpr auto kMergeFrom = +[](Object start, Object a, Object b) {
  return merge_objects(start.value, a.value, b.value);
};

template <const ArgSpec& Spec, auto Body>
PyMethodDef function_def(const char* name, const char* doc) {
  return {name, as_cfunction(&static_method<Spec, Body>), METH_FASTCALL | METH_KEYWORDS, doc};
}

const PyMethodDef kFunctions[] = {
    function_def<kMergeSpec, kMerge>(
        "merge", "merge(a, b)\n--\n\nA new object merging two of one class (see drel_ml_ext.merge)."),
    function_def<kMergeFromSpec, kMergeFrom>(
        "merge_from",
        "merge_from(start, a, b)\n--\n\nA new object merging two continuations of `start`."),
};

}  // namespace

std::span<const PyMethodDef> merge_functions() { return kFunctions; }

}  // namespace drel::py
