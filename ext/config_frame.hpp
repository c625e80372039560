// The call frame of the configuration functions. They take positional arguments
// only: the Python layer of drel_ml_ext owns the keywords and their defaults and
// passes every setting in a fixed order. Each argument is converted by drel_ml's
// own rules, and a failed conversion carries the note "while processing
// '{keyword}'" naming the keyword the user wrote.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "bindings/convert.hpp"
#include "bindings/frame.hpp"
#include "bindings/guard.hpp"
#include "bindings/python.hpp"

namespace drel::py {

template <std::size_t N>
struct PositionalSpec {
  const char* full_name;  // "linear_regression()"
  std::array<const char*, N> keywords;
};

// The keywords of several parameters, one run after another.
template <std::size_t... N>
constexpr std::array<const char*, (N + ...)> keyword_runs(const std::array<const char*, N>&... runs) {
  std::array<const char*, (N + ...)> all{};
  std::size_t at = 0;
  ((std::copy(runs.begin(), runs.end(), all.begin() + static_cast<std::ptrdiff_t>(at)),
    at += N),
   ...);
  return all;
}

// A parameter takes one argument, or a run of `width` arguments when it
// declares one (converting them itself, with its own notes).
template <class P>
constexpr std::size_t width_of() {
  if constexpr (requires { P::width; }) return P::width;
  else return 1;
}

// A text setting with a closed set of values: Traits gives `what` (the setting's
// name in messages) and `choices` (text and value pairs). Anything else is a
// ValueError that names the allowed texts.
template <class Traits>
struct Option {
  typename decltype(Traits::choices)::value_type::second_type value;
  static constexpr bool noted = true, late = false;

  bool convert(PyObject* o) {
    std::string_view text;
    if (!to_text(o, text)) return false;
    for (const auto& [name, choice] : Traits::choices) {
      if (text == name) {
        value = choice;
        return true;
      }
    }
    std::string expected;
    for (std::size_t i = 0; i < Traits::choices.size(); ++i) {
      if (i > 0) expected += i + 1 == Traits::choices.size() ? " or " : ", ";
      expected += "'";
      expected += Traits::choices[i].first;
      expected += "'";
    }
    PyErr_Format(PyExc_ValueError, "unknown %s: %R (expected %s)", Traits::what, o,
                 expected.c_str());
    return false;
  }
  operator decltype(value)() const { return value; }
};

template <const auto& Spec, auto Body>
PyObject* positional_function(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    using Sig = Signature<decltype(Body)>;
    using Params = typename Sig::params;
    constexpr std::size_t params = std::tuple_size_v<Params>;
    // Where each parameter's arguments start, and how many there are in all.
    constexpr auto starts = []<std::size_t... I>(std::index_sequence<I...>) {
      std::array<std::size_t, params + 1> at{};
      ((at[I + 1] = at[I] + width_of<std::tuple_element_t<I, Params>>()), ...);
      return at;
    }(std::make_index_sequence<params>{});
    constexpr std::size_t count = starts[params];
    static_assert(count == Spec.keywords.size());
    if (nargs != static_cast<Py_ssize_t>(count)) {
      PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd were given",
                   Spec.full_name, count, nargs);
      return nullptr;
    }
    Params values;
    const bool converted = [&]<std::size_t... I>(std::index_sequence<I...>) {
      auto one = [&]<std::size_t J>() {
        using P = std::tuple_element_t<J, Params>;
        if constexpr (width_of<P>() != 1) {
          return std::get<J>(values).convert_run(args + starts[J]);
        } else {
          if (std::get<J>(values).convert(args[starts[J]])) return true;
          if constexpr (P::noted) add_processing_note(Spec.keywords[starts[J]]);
          return false;
        }
      };
      return (one.template operator()<I>() && ...);
    }(std::make_index_sequence<params>{});
    if (!converted) return nullptr;
    return finish(std::apply(
        [](auto&... p) { return Lift<decltype(Body(p...))>::apply(Body(p...)); }, values));
  });
}

template <const auto& Spec, auto Body>
PyMethodDef positional_def(const char* name, const char* doc) {
  return {name, as_cfunction(&positional_function<Spec, Body>), METH_FASTCALL, doc};
}

}  // namespace drel::py
