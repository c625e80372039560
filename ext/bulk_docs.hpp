// Docstrings of the bulk functions: the text signature, then what each takes,
// returns and raises, with a short example.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "bindings/classes.hpp"
#include "bulk_roles.hpp"

namespace drel::py::bulk_docs {

inline constexpr const char* kLearnMany =
    "learn_many($module, model, X, y=None)\n--\n\n"
    "Learn from every row of X in order, as model.learn_one(X[i], y[i]) would.\n\n"
    "Parameters\n"
    "    model: a LinearRegression, LogisticRegression, RegressionPipeline or\n"
    "        ClassificationPipeline, which learns from X and y; or a StandardScaler,\n"
    "        which learns from X alone (y left out or None).\n"
    "    X: the feature vectors. A 2-D buffer of numbers (numpy arrays of any\n"
    "        real dtype, any order or strides; memoryviews) is read in place (a\n"
    "        block of rows at a time is converted when they are not contiguous\n"
    "        float64: X is never copied whole); any other iterable of feature\n"
    "        vectors is converted row by row as learn_one converts one (rows may\n"
    "        differ in length). A scipy.sparse matrix or array (CSR, CSC, COO;\n"
    "        other formats through their tocsr()) gives what the rows of\n"
    "        X.toarray() give; the linear models' rows then cost their stored\n"
    "        values where that changes no bit.\n"
    "    y: one target per row, as a 1-D buffer or any iterable. Regression\n"
    "        targets are real numbers; classifier targets are booleans (numpy bool_\n"
    "        arrays included) or integers that are 0 or 1.\n\n"
    "Returns\n"
    "    None.\n\n"
    "Raises\n"
    "    All or nothing: when any row is rejected, the model is left exactly as it\n"
    "    was and the one-sample error is raised with \" (row N)\" appended, as\n"
    "    RuntimeError for the core's errors and with its own type for a value that\n"
    "    the library cannot convert. An exception raised by the caller's own code\n"
    "    (a __float__, __index__, __getitem__ or iterator) is the very object\n"
    "    raised, with its row added as a note. A classifier target that is an\n"
    "    integer other than 0 or 1 is a ValueError naming the row. Ctrl-C stops\n"
    "    the call between blocks of rows, leaving the model as it was.\n"
    "    X and y of different lengths: ValueError, before anything is learned.\n"
    "    The model is borrowed for the whole call: another thread using it\n"
    "    meanwhile gets RuntimeError \"Already borrowed\" (or \"Already mutably\n"
    "    borrowed\"). The interpreter lock is released while the core runs.\n\n"
    "Example\n"
    "    >>> m = drel_ml.LinearRegression(2, 0.1)\n"
    "    >>> learn_many(m, [[1.0, 2.0], [0.5, 1.0]], [3.0, 1.5])\n"
    "    >>> m.samples_seen\n"
    "    2";

inline constexpr const char* kPredictMany =
    "predict_many($module, model, X)\n--\n\n"
    "Predict every row of X, as model.predict_one(X[i]) would.\n\n"
    "Parameters\n"
    "    model: a LinearRegression, LogisticRegression, RegressionPipeline or\n"
    "        ClassificationPipeline.\n"
    "    X: the feature vectors, as for learn_many.\n\n"
    "Returns\n"
    "    One prediction per row: a numpy float64 array for a regression model and a\n"
    "    numpy bool array for a classifier; without numpy, a list of float or bool.\n\n"
    "Raises\n"
    "    The one-sample error of the first rejected row with \" (row N)\" appended\n"
    "    (RuntimeError for the core's errors, the conversion's own type otherwise).\n\n"
    "Example\n"
    "    >>> predict_many(drel_ml.LinearRegression(2, 0.1), [[1.0, 2.0], [3.0, 4.0]])\n"
    "    array([0., 0.])";

inline constexpr const char* kPredictProbaMany =
    "predict_proba_many($module, classifier, X)\n--\n\n"
    "The probability of True for every row of X, as\n"
    "classifier.predict_proba_one(X[i]) would give it.\n\n"
    "Parameters\n"
    "    classifier: a LogisticRegression or ClassificationPipeline.\n"
    "    X: the feature vectors, as for learn_many.\n\n"
    "Returns\n"
    "    A numpy float64 array with one probability per row (a list of float\n"
    "    without numpy).\n\n"
    "Raises\n"
    "    As predict_many.\n\n"
    "Example\n"
    "    >>> predict_proba_many(drel_ml.LogisticRegression(2, 0.1), [[1.0, 2.0]])\n"
    "    array([0.5])";

inline constexpr const char* kTransformMany =
    "transform_many($module, scaler, X)\n--\n\n"
    "Scale every row of X, as scaler.transform_one(X[i]) would.\n\n"
    "Parameters\n"
    "    scaler: a StandardScaler.\n"
    "    X: the feature vectors, as for learn_many.\n\n"
    "Returns\n"
    "    A 2-D numpy float64 array of shape (rows, scaler's feature count); without\n"
    "    numpy, a list of lists of float.\n\n"
    "Raises\n"
    "    As predict_many.\n\n"
    "Example\n"
    "    >>> s = drel_ml.StandardScaler(2)\n"
    "    >>> learn_many(s, [[1.0, 10.0], [3.0, 30.0]])\n"
    "    >>> transform_many(s, [[2.0, 20.0], [3.0, 30.0]])\n"
    "    array([[0., 0.],\n"
    "           [1., 1.]])";

// "a Mean, EWMean or Variance": the classes' names as a docstring lists them.
template <class... Cores>
constexpr std::string class_list_text(TypeList<Cores...>) {
  const std::array<std::string_view, sizeof...(Cores)> names{module_name<Cores>...};
  std::string text = std::string_view("AEIOU").find(names[0][0]) == std::string_view::npos ? "a " : "an ";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += i + 1 == names.size() ? " or " : ", ";
    text += names[i];
  }
  return text;
}

// update_many's docstring names the statistics from their list: a new one is
// documented with no edit here.
constexpr std::string update_many_doc() {
  return "update_many($module, statistic, xs)\n--\n\n"
         "Update the statistic with every value of xs in order, as\n"
         "statistic.update(x) would.\n\n"
         "Parameters\n"
         "    statistic: " +
         class_list_text(Statistics{}) +
         ".\n"
         "    xs: the values: a 1-D buffer of numbers or any iterable of real numbers.\n\n"
         "Returns\n"
         "    None.\n\n"
         "Raises\n"
         "    All or nothing, as learn_many: the one-sample error with \" (row N)\"\n"
         "    appended, and the statistic left as it was.\n\n"
         "Example\n"
         "    >>> v = drel_ml.Variance(\"sample\")\n"
         "    >>> update_many(v, [2, 4, 4, 4, 5, 5, 7, 9])\n"
         "    >>> v.value\n"
         "    4.571428571428571";
}

inline constexpr auto kUpdateManyText = [] {
  std::array<char, update_many_doc().size() + 1> text{};
  const std::string doc = update_many_doc();
  std::copy(doc.begin(), doc.end(), text.begin());
  return text;
}();
inline constexpr const char* kUpdateMany = kUpdateManyText.data();

// Each docstring written out names every class its function accepts: a class
// the core gives a bulk overload is a compile error here until its function's
// docstring says it takes it.
consteval bool is_name_boundary(char c) { return c == ' ' || c == ',' || c == '.' || c == '\n'; }

consteval bool names_word(std::string_view doc, std::string_view word) {
  for (std::size_t at = doc.find(word); at != std::string_view::npos; at = doc.find(word, at + 1)) {
    const std::size_t end = at + word.size();
    if (at > 0 && is_name_boundary(doc[at - 1]) && end < doc.size() && is_name_boundary(doc[end]))
      return true;
  }
  return false;
}

template <class... Cores>
consteval bool names_all(std::string_view doc, TypeList<Cores...>) {
  return (names_word(doc, module_name<Cores>) && ...);
}

static_assert(names_all(kLearnMany, Learners{}), "learn_many's docstring must name every learner");
static_assert(names_all(kPredictMany, Predictors{}),
              "predict_many's docstring must name every predictor");
static_assert(names_all(kPredictProbaMany, Classifiers{}),
              "predict_proba_many's docstring must name every classifier");
static_assert(names_all(kTransformMany, Transformers{}),
              "transform_many's docstring must name every transformer");

}  // namespace drel::py::bulk_docs
