#include "hashed_steps.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>
#include <variant>
#include <vector>

#include "bindings/frame.hpp"
#include "bulk_roles.hpp"
#include "by_key.hpp"
#include "feature_hasher.hpp"
#include "hashed_samples.hpp"
#include "instance_arg.hpp"
#include "last_sample.hpp"
#include "module_type.hpp"
#include "sample_items.hpp"
#include "linear/sparse_one.hpp"

namespace drel::py {
namespace {

// What the steps know of one model's state: valid while the model has let go
// of no exclusive borrow since it was read, for the model changes only under
// one (bindings/borrow.hpp). A step of these calls, taken under such a borrow,
// records the state it leaves and the count as the borrow's end will make it.
// The reference keeps the model alive, so that no other object can take its
// address while the record exists.
struct ModelRecord {
  Ref model;
  std::uint64_t exclusive_ends = 0;
  SparseState state;

  bool describes(const BorrowFlag& flag) const { return exclusive_ends == flag.exclusive_ends; }
  // The state read now, with no exclusive borrow of this call held.
  void describe(const BorrowFlag& flag, SparseState now) {
    exclusive_ends = flag.exclusive_ends;
    state = now;
  }
  // The state this call leaves, under an exclusive borrow that ends with it.
  void describe_on_end(const BorrowFlag& flag, SparseState now) {
    exclusive_ends = flag.exclusive_ends + 1;
    state = now;
  }
};

// Records for this many models at once: a river classifier's one model per
// class. Beyond, the oldest record goes, and its model's next call reads
// every weight once again.
constexpr std::size_t kModelRecords = 16;

// A sample's hashed row as the core takes it: columns in increasing order,
// each once, with their summed values.
struct SampleRow {
  std::vector<std::size_t> indices;
  std::vector<double> values;

  SparseRow view() const { return {indices.data(), values.data(), indices.size()}; }
  void assign(const features::HashedRows& rows) {
    indices.assign(rows.indices().begin(), rows.indices().end());
    values.assign(rows.values().begin(), rows.values().end());
  }
  // The row made dense, as transform_one makes it, for the model's own call.
  std::vector<double> dense(std::uint32_t n_features) const {
    std::vector<double> row(n_features);
    for (std::size_t k = 0; k < indices.size(); ++k) row[indices[k]] = values[k];
    return row;
  }
};

struct HashedStepsState {
  HashedStepsState(PyObject* hasher_object, const HasherSettings* hashing, bool text)
      : hasher(Ref::borrow(hasher_object)), settings(hashing), text_names(text) {}

  Ref hasher;  // the FeatureHasher, kept alive for `settings`
  const HasherSettings* settings;
  bool text_names;  // a sample with a name that is not a str is hashed by str(name)
  std::array<ModelRecord, kModelRecords> records;
  std::size_t next_record = 0;
  SampleRow row;         // the row of `last`, when it holds a sample
  LastSample last;
  bool row_in_use = false;  // by a call that may run Python code before it reads `row`
};

struct HashedStepsObject {
  PyObject_HEAD
  HashedStepsState* state;
};

HashedStepsState& steps_of(PyObject* self) {
  return *reinterpret_cast<HashedStepsObject*>(self)->state;
}

// The record of `model`, up to date. Reads every weight when the model is new
// here or has changed since.
template <class Model>
ModelRecord& record_of(HashedStepsState& s, PyObject* model, const Instance<Model>& instance) {
  ModelRecord* record = nullptr;
  for (ModelRecord& r : s.records)
    if (r.model.get() == model) record = &r;
  if (record == nullptr) {
    record = &s.records[s.next_record];
    s.next_record = (s.next_record + 1) % kModelRecords;
    record->model = Ref::borrow(model);  // a model's deallocation runs no Python code
    record->describe(instance.borrow, sparse_state(instance.value));
  } else if (!record->describes(instance.borrow)) {
    record->describe(instance.borrow, sparse_state(instance.value));
  }
  return *record;
}

constexpr const char* kWrongLength = "expected 2 values to unpack (got %zd)";

// Whether every name that x.items() gives is a str, as the hasher reads the
// names (a mapping need not be iterable itself); -1 with an exception set. An
// x without items() is no mapping: 1, so that the hasher's TypeError stands.
int all_names_text(PyObject* x) {
  if (!PyDict_Check(x) && PyObject_HasAttrString(x, "items") == 0) return 1;
  bool other = false;
  const bool read = for_each_named_value(x, kWrongLength, [&other](PyObject* name, PyObject*) {
    other = !PyUnicode_Check(name);
    return !other;  // stops at the first other name, with no exception set
  });
  if (other) return 0;
  return read ? 1 : -1;
}

// {str(name): value for name, value in x.items()}
PyObject* keyed_by_text(PyObject* x) {
  Ref keyed = Ref::steal(PyDict_New());
  if (!keyed) return nullptr;
  const bool read =
      for_each_named_value(x, kWrongLength, [&keyed](PyObject* name, PyObject* value) {
        Ref text = Ref::steal(PyObject_Str(name));
        return text && PyDict_SetItem(keyed.get(), text.get(), value) == 0;
      });
  return read ? keyed.release() : nullptr;
}

bool read_row(PyObject* x, SampleReader& reader) {
  if (PyDict_Check(x)) reader.rows().reserve(static_cast<std::size_t>(PyDict_GET_SIZE(x)));
  if (!reader.read(x)) return false;
  reader.rows().sum_duplicates();  // one row: sorted, each column once
  return true;
}

// One sample read and hashed; runs Python code (a value's __float__), so it
// comes before any model is borrowed or any record read. With text names, a
// TypeError of a sample with a name that is not a str sends the sample again,
// keyed by text: another river transformer's output may be keyed by numbers.
// Only a mapping is keyed so: a hasher of pairs or strings keeps its error.
bool hash_sample(const HashedStepsState& s, PyObject* x, SampleReader& reader) {
  if (read_row(x, reader)) [[likely]] return true;
  if (!s.text_names || s.settings->input_type != InputType::Dict ||
      !PyErr_ExceptionMatches(PyExc_TypeError))
    return false;
  Ref error = Ref::steal(take_raised_exception());
  const int text = all_names_text(x);
  if (text != 0) {
    if (text == 1) restore_raised_exception(error.release());
    return false;
  }
  Ref keyed = Ref::steal(keyed_by_text(x));
  return keyed && read_row(keyed.get(), reader);
}

// The row of one call: the steps' own, remembered for the next call, or (in
// a call made from Python code that an outer call runs while it holds its
// row) a row of this call alone.
class CallRow {
 public:
  explicit CallRow(HashedStepsState& s) : s_(s), shared_(!s.row_in_use) {
    if (shared_) s_.row_in_use = true;
  }
  CallRow(const CallRow&) = delete;
  CallRow& operator=(const CallRow&) = delete;
  ~CallRow() {
    if (shared_) s_.row_in_use = false;
  }

  // Hashes x, unless it is the sample last hashed; false with an exception set.
  bool hash(PyObject* x) {
    if (shared_ && s_.last.holds(x)) return true;
    if (shared_) s_.last.forget();  // the row is about to change
    SampleReader reader(*s_.settings->hasher, s_.settings->input_type);
    if (!hash_sample(s_, x, reader)) return false;
    row().assign(reader.rows());
    if (shared_) s_.last.remember(x);
    return true;
  }
  SampleRow& row() { return shared_ ? s_.row : own_; }

 private:
  HashedStepsState& s_;
  bool shared_;
  SampleRow own_;
};

PyObject* raised(const Error& error) {
  raise_failure(Failure(error));
  return nullptr;
}

// ---- learn_one ----

constexpr ArgSpec kLearnSpec{"HashedSteps.learn_one()", {"model", "x", "y"}, 3};

template <class Model>
PyObject* learn_on(HashedStepsState& s, PyObject* model, Instance<Model>& instance,
                   const SampleRow& sample, PyObject* y_object) {
  Borrow<Access::Exclusive> borrow(instance.borrow);
  if (!borrow) return nullptr;
  TargetParam<Model> y;
  if (!y.convert(y_object)) {
    add_processing_note("y");
    return nullptr;
  }
  Model& m = instance.value;
  // Python code may have run in the conversion: the row and record come after.
  const SparseRow row = sample.view();
  ModelRecord& record = record_of(s, model, instance);
  const std::size_t cols = s.settings->hasher->n_features();
  if (sparse_learn_one(m, row, cols, y, record.state) == StepOutcome::Done) [[likely]] {
    record.describe_on_end(instance.borrow, record.state);
    Py_RETURN_NONE;
  }
  const Status done = m.learn_one(sample.dense(cols), y);
  if (!done) return raised(done.error());
  record.describe_on_end(instance.borrow, sparse_state(m));
  Py_RETURN_NONE;
}

PyObject* learn_one(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    ArgSlots slots;
    if (!parse_args(kLearnSpec, args, nargs, kwnames, slots)) return nullptr;
    HashedStepsState& s = steps_of(self);
    return visit_instance(Accepts<LinearRegression, LogisticRegression>{}, kLearnSpec, slots, 0,
                          [&]<class Model>(Instance<Model>& instance) -> PyObject* {
                            CallRow call(s);
                            if (!call.hash(slots.values[1])) return nullptr;
                            return learn_on(s, slots.values[0], instance, call.row(),
                                            slots.values[2]);
                          });
  });
}

// ---- learn_each ----

constexpr ArgSpec kLearnEachSpec{"HashedSteps.learn_each()", {"models", "x", "ys"}, 3};
constexpr by_key::KeySpec kLearnEachKeySpec{kLearnEachSpec.full_name, {"models", "x", "ys"}, 3};

// One model's step of learn_each, with what takes it back: the sparse step's
// own undo, or a copy of the model made before a dense step.
template <class Model>
struct TakenStep {
  Instance<Model>* instance;
  PyObject* model;
  SparseState before;  // the record's state before the step
  std::variant<UndoableSparseLearn<Model>, Model> undo;
};

// The model as it was before `step`, and its record (if it still has one) as
// it was then.
template <class Model>
void take_back(HashedStepsState& s, TakenStep<Model>& step) {
  Model& m = step.instance->value;
  if (auto* sparse = std::get_if<UndoableSparseLearn<Model>>(&step.undo))
    std::move(*sparse).undo(m);
  else
    m = std::move(std::get<Model>(step.undo));
  for (ModelRecord& r : s.records)
    if (r.model.get() == step.model) r.describe_on_end(step.instance->borrow, step.before);
}

// Every model learns the sample with its own target, all of them or, when one
// refuses it, none: the steps taken are taken back, last first, and the
// refusal is that model's own.
template <class Model>
PyObject* learn_each_of(HashedStepsState& s, PyObject* models, const SampleRow& sample,
                        PyObject* ys) {
  const Py_ssize_t n = PyTuple_GET_SIZE(models);
  std::vector<TargetParam<Model>> targets(static_cast<std::size_t>(n));
  for (Py_ssize_t k = 0; k < n; ++k) {
    if (!targets[static_cast<std::size_t>(k)].convert(PyTuple_GET_ITEM(ys, k))) {
      add_processing_note("ys");
      return nullptr;
    }
  }
  // Python code may have run in the conversions: the borrows and the row come after.
  by_key::Borrowed<Model> borrowed;
  if (!borrowed.take(kLearnEachKeySpec, models)) return nullptr;
  const SparseRow row = sample.view();
  const std::size_t cols = s.settings->hasher->n_features();
  std::vector<TakenStep<Model>> taken;
  taken.reserve(static_cast<std::size_t>(n));
  struct TakeBackUnlessDone {
    HashedStepsState& s;
    std::vector<TakenStep<Model>>& taken;
    bool done = false;
    ~TakeBackUnlessDone() {
      if (done) return;
      for (auto step = taken.rbegin(); step != taken.rend(); ++step) take_back(s, *step);
    }
  } all_or_none{s, taken};
  for (Py_ssize_t k = 0; k < n; ++k) {
    Instance<Model>* instance = borrowed.instances()[static_cast<std::size_t>(k)];
    PyObject* model = PyTuple_GET_ITEM(models, k);
    Model& m = instance->value;
    const TargetParam<Model>& y = targets[static_cast<std::size_t>(k)];
    ModelRecord& record = record_of(s, model, *instance);
    const SparseState before = record.state;
    UndoableSparseLearn<Model> sparse;
    if (sparse.take(m, row, cols, y, record.state) == StepOutcome::Done) [[likely]] {
      record.describe_on_end(instance->borrow, record.state);
      taken.push_back({instance, model, before, std::move(sparse)});
      continue;
    }
    Model copy = m;
    const Status done = m.learn_one(sample.dense(cols), y);
    if (!done) return raised(done.error());
    record.describe_on_end(instance->borrow, sparse_state(m));
    taken.push_back({instance, model, before, std::move(copy)});
  }
  all_or_none.done = true;
  Py_RETURN_NONE;
}

// A list or tuple as a tuple, which Python code cannot change meanwhile.
Ref as_tuple(PyObject* o, const char* name) {
  if (!PyList_Check(o) && !PyTuple_Check(o)) {
    PyErr_Format(PyExc_TypeError, "%s argument '%s' must be a list or tuple, not '%s'",
                 kLearnEachSpec.full_name, name, Py_TYPE(o)->tp_name);
    return Ref();
  }
  return Ref::steal(PySequence_Tuple(o));
}

PyObject* learn_each(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    ArgSlots slots;
    if (!parse_args(kLearnEachSpec, args, nargs, kwnames, slots)) return nullptr;
    HashedStepsState& s = steps_of(self);
    Ref models = as_tuple(slots.values[0], "models");
    Ref ys = models ? as_tuple(slots.values[2], "ys") : Ref();
    if (!ys) return nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(models.get());
    if (PyTuple_GET_SIZE(ys.get()) != n) {
      PyErr_Format(PyExc_ValueError, "%s: %zd models but %zd targets", kLearnEachSpec.full_name,
                   n, PyTuple_GET_SIZE(ys.get()));
      return nullptr;
    }
    CallRow call(s);
    if (!call.hash(slots.values[1])) return nullptr;
    if (n == 0) Py_RETURN_NONE;
    PyObject* first = PyTuple_GET_ITEM(models.get(), 0);
    const auto each = [&]<class Model>(TypeList<Model>) -> PyObject* {
      if (!by_key::all_of_class<Model>(kLearnEachKeySpec, models.get())) return nullptr;
      return learn_each_of<Model>(s, models.get(), call.row(), ys.get());
    };
    if (exact_instance<LogisticRegression>(first) != nullptr) return each(TypeList<LogisticRegression>{});
    if (exact_instance<LinearRegression>(first) != nullptr) return each(TypeList<LinearRegression>{});
    PyErr_Format(PyExc_TypeError,
                 "%s models[0] must be LinearRegression or LogisticRegression, not '%s'",
                 kLearnEachSpec.full_name, by_key::type_name(first));
    return nullptr;
  });
}

// ---- predict_one, predict_proba_one ----

constexpr ArgSpec kPredictSpec{"HashedSteps.predict_one()", {"model", "x"}, 2};
constexpr ArgSpec kProbaSpec{"HashedSteps.predict_proba_one()", {"model", "x"}, 2};

// `sparse` maps the raw output to the result; `dense` is the model's own call.
template <class Model, class Sparse, class Dense>
PyObject* predict_on(HashedStepsState& s, PyObject* model, Instance<Model>& instance,
                     const SampleRow& sample, Sparse sparse, Dense dense) {
  Borrow<Access::Shared> borrow(instance.borrow);
  if (!borrow) return nullptr;
  const Model& m = instance.value;
  const SparseRow row = sample.view();
  const ModelRecord& record = record_of(s, model, instance);
  if (const auto out = sparse_output(m, row, s.settings->hasher->n_features(), record.state))
    [[likely]]
    return to_python(sparse(*out));
  auto result = dense(m, sample.dense(s.settings->hasher->n_features()));
  if (!result) return raised(result.error());
  return to_python(std::move(*result));
}

template <const ArgSpec& Spec, class... Models, class Each>
PyObject* predict_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, Each each) {
  return guarded([&]() -> PyObject* {
    ArgSlots slots;
    if (!parse_args(Spec, args, nargs, kwnames, slots)) return nullptr;
    HashedStepsState& s = steps_of(self);
    return visit_instance(Accepts<Models...>{}, Spec, slots, 0,
                          [&]<class Model>(Instance<Model>& instance) -> PyObject* {
                            CallRow call(s);
                            if (!call.hash(slots.values[1])) return nullptr;
                            return each(s, slots.values[0], instance, call.row());
                          });
  });
}

PyObject* predict_one(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return predict_entry<kPredictSpec, LinearRegression, LogisticRegression>(
      self, args, nargs, kwnames,
      [](HashedStepsState& s, PyObject* model, auto& instance, const SampleRow& sample) {
        using Model = std::remove_cvref_t<decltype(instance.value)>;
        const auto dense = [](const Model& m, std::span<const double> x) {
          return m.predict_one(x);
        };
        if constexpr (std::is_same_v<Model, LogisticRegression>)
          return predict_on(s, model, instance, sample, positive_class, dense);
        else
          return predict_on(s, model, instance, sample, [](double out) { return out; }, dense);
      });
}

PyObject* predict_proba_one(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return predict_entry<kProbaSpec, LogisticRegression>(
      self, args, nargs, kwnames,
      [](HashedStepsState& s, PyObject* model, auto& instance, const SampleRow& sample) {
        return predict_on(s, model, instance, sample, logistic,
                          [](const LogisticRegression& m, std::span<const double> x) {
                            return m.predict_proba_one(x);
                          });
      });
}

// ---- the class ----

PyObject* new_hashed_steps(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"hasher", "text_names", nullptr};
    PyObject* hasher = nullptr;
    int text_names = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$p:HashedSteps",
                                     const_cast<char**>(keywords), &hasher, &text_names))
      return nullptr;
    const HasherSettings* settings = hasher_settings(hasher);
    if (settings == nullptr) return nullptr;
    auto* state = new HashedStepsState(hasher, settings, text_names != 0);
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
      delete state;
      return nullptr;
    }
    reinterpret_cast<HashedStepsObject*>(self)->state = state;
    return self;
  });
}

// The references it holds are to models, a hasher and a sample's names and
// values (str, float, int, bool; see LastSample), which hold none: no cycle
// can pass through it, so it takes no part in garbage collection.
void dealloc_hashed_steps(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<HashedStepsObject*>(self)->state;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* hashed_steps_hasher(PyObject* self, void*) {
  return Py_NewRef(steps_of(self).hasher.get());
}

constexpr const char* kStepsLearnDoc =
    "learn_one(model, x, y)\n--\n\n"
    "model.learn_one(hasher.transform_one(x), y), reading only the row's non-zeros.";
constexpr const char* kStepsLearnEachDoc =
    "learn_each(models, x, ys)\n--\n\n"
    "learn_one(model, x, y) for each model and its y, all of them or none: when a\n"
    "model refuses the sample, the models before it are put back as they were,\n"
    "bit for bit, and the refusal is raised. The models are all LinearRegression\n"
    "or all LogisticRegression, each given once; x is hashed once.";
constexpr const char* kStepsPredictDoc =
    "predict_one(model, x)\n--\n\n"
    "model.predict_one(hasher.transform_one(x)), reading only the row's non-zeros.";
constexpr const char* kStepsProbaDoc =
    "predict_proba_one(model, x)\n--\n\n"
    "model.predict_proba_one(hasher.transform_one(x)), reading only the row's non-zeros.";

PyMethodDef hashed_steps_methods[] = {
    {"learn_one", as_cfunction(&learn_one), METH_FASTCALL | METH_KEYWORDS, kStepsLearnDoc},
    {"learn_each", as_cfunction(&learn_each), METH_FASTCALL | METH_KEYWORDS, kStepsLearnEachDoc},
    {"predict_one", as_cfunction(&predict_one), METH_FASTCALL | METH_KEYWORDS, kStepsPredictDoc},
    {"predict_proba_one", as_cfunction(&predict_proba_one), METH_FASTCALL | METH_KEYWORDS,
     kStepsProbaDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef hashed_steps_getset[] = {
    {"hasher", hashed_steps_hasher, nullptr, "The FeatureHasher that reads the samples.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kHashedStepsDoc =
    "HashedSteps(hasher, *, text_names=False)\n--\n\n"
    "The one-sample calls of a LinearRegression or LogisticRegression on samples\n"
    "hashed by `hasher`: each gives, bit for bit and with the same errors, the\n"
    "model's own call on hasher.transform_one(x), and costs the sample's features\n"
    "rather than n_features while the model's state allows it (no L2 penalty, and\n"
    "weights that a zero feature leaves unchanged). It remembers that state for\n"
    "the last models it saw, and keeps them alive meanwhile. With text_names, a\n"
    "sample that the hasher refuses with TypeError and that has a name other than a\n"
    "str is hashed again with each name as str(name), as river's adapters do\n"
    "(a hasher of input_type 'dict' only).";

PyType_Slot hashed_steps_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_hashed_steps)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_hashed_steps)},
    {Py_tp_methods, hashed_steps_methods},
    {Py_tp_getset, hashed_steps_getset},
    {Py_tp_doc, const_cast<char*>(kHashedStepsDoc)},
    {0, nullptr},
};

PyType_Spec hashed_steps_spec = {"drel_ml_ext._native.HashedSteps", sizeof(HashedStepsObject), 0,
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                                 hashed_steps_slots};

}  // namespace

int add_hashed_steps(PyObject* module) {
  return add_module_type(module, hashed_steps_spec, "HashedSteps") != nullptr ? 0 : -1;
}

}  // namespace drel::py
