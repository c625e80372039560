// The call frame shared by every constructor, method and property: parse,
// borrow, convert, run the core, release, then convert the result or raise.
//
// A member is declared by a plain function whose signature says everything:
// its first parameter `Core&` (exclusive borrow) or `const Core&` (shared
// borrow) names the receiver, the types of the others name their conversion,
// and its return type (Status, Result<T>, a load result or a plain value)
// names the result conversion. For example
//
//   +[](drel::Mean& m, Float x) { return m.update(x); }
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "bindings/args.hpp"
#include "bindings/borrow.hpp"
#include "bindings/convert.hpp"
#include "error/error.hpp"
#include "bindings/guard.hpp"
#include "bindings/instance.hpp"
#include "bindings/member.hpp"
#include "bindings/python.hpp"

// The steps of a call are forced inline into its entry point: one frame per
// call, no argument spills between steps. (A GNU attribute, since it must also
// apply to the lambdas that make up the guarded bodies.)
#define DREL_FRAME_INLINE __attribute__((always_inline))

namespace drel::py {

// ---- parameter kinds ---------------------------------------------------
// `noted` conversions carry "while processing '{name}'" on failure; `late`
// ones (feature vectors) are converted after all the others.

struct Float {
  double value;
  static constexpr bool noted = true, late = false;
  bool convert(PyObject* o) { return to_double(o, value); }
  operator double() const { return value; }
};

struct Count {
  std::uint64_t value;
  static constexpr bool noted = true, late = false;
  bool convert(PyObject* o) { return to_count(o, value); }
  operator std::uint64_t() const { return value; }
};

struct Text {
  std::string_view value;
  static constexpr bool noted = true, late = false;
  bool convert(PyObject* o) { return to_text(o, value); }
  operator std::string_view() const { return value; }
};

struct Bool {
  bool value;
  static constexpr bool noted = true, late = false;
  // True and False decided here; anything else (numpy booleans, refusals) by to_bool.
  DREL_FRAME_INLINE inline bool convert(PyObject* o) {
    if (o == Py_True || o == Py_False) [[likely]] {
      value = o == Py_True;
      return true;
    }
    return to_bool(o, value);
  }
  operator bool() const { return value; }
};

// Passed through unconverted (borrowed for the call).
struct Object {
  PyObject* value;
  static constexpr bool noted = false, late = false;
  bool convert(PyObject* o) {
    value = o;
    return true;
  }
};

struct Features : FeatureBuffer {
  static constexpr bool noted = false, late = true;
  DREL_FRAME_INLINE inline bool convert(PyObject* o) { return to_features_inline(o, *this); }
};

// ---- outcomes ----------------------------------------------------------

struct PythonError {};  // an exception is already set
struct RuntimeText {    // raised as RuntimeError(text)
  std::string text;
};
using Failure = std::variant<PythonError, Error, RuntimeText>;
template <class T>
using Outcome = std::expected<T, Failure>;

void raise_failure(const Failure& failure);

template <class R>
struct Lift {  // a plain value
  using type = R;
  DREL_FRAME_INLINE inline static Outcome<R> apply(R&& r) { return Outcome<R>(std::move(r)); }
};
template <class T, class E>
struct Lift<std::expected<T, E>> {
  using type = T;
  DREL_FRAME_INLINE inline static Outcome<T> apply(std::expected<T, E>&& r) {
    if (r) [[likely]] {
      if constexpr (std::is_void_v<T>) {
        return {};
      } else {
        return Outcome<T>(std::move(*r));
      }
    }
    if constexpr (std::is_same_v<E, Failure>) {
      return std::unexpected(std::move(r.error()));
    } else if constexpr (std::is_same_v<E, Error>) {
      return std::unexpected(Failure(std::move(r.error())));
    } else {  // a loader's error: only its rendered message reaches Python
      return std::unexpected(Failure(RuntimeText{r.error().message()}));
    }
  }
};

// ---- result conversion -------------------------------------------------

PyObject* to_python(double v);
PyObject* to_python(bool v);
PyObject* to_python(std::uint64_t v);
PyObject* to_python(std::optional<double>&& v);
PyObject* to_python(std::vector<double>&& v);
PyObject* to_python(std::string&& v);
inline PyObject* to_python(Ref&& v) { return v.release(); }
template <class Core>
PyObject* to_python(Core&& core) {  // a new instance of the core value's class
  static_assert(std::is_class_v<Core> && !std::is_reference_v<Core>);
  PyTypeObject* type = class_object<Core>();
  return type != nullptr ? make_instance(type, std::move(core)) : nullptr;
}

template <class T>
DREL_FRAME_INLINE inline PyObject* finish(Outcome<T>&& outcome) {
  if (!outcome) [[unlikely]] {
    raise_failure(outcome.error());
    return nullptr;
  }
  if constexpr (std::is_void_v<T>) {
    return Py_NewRef(Py_None);
  } else {
    return to_python(std::move(*outcome));
  }
}

// ---- signatures ----------------------------------------------------------

template <class F>
struct Signature;
template <class R, class... A>
struct Signature<R (*)(A...)> {
  using result = typename Lift<R>::type;
  using params = std::tuple<std::remove_cvref_t<A>...>;
};

template <class F>
struct MethodSignature;
template <class R, class Self, class... A>
struct MethodSignature<R (*)(Self&, A...)> {
  using core = std::remove_const_t<Self>;
  static constexpr Access access = std::is_const_v<Self> ? Access::Shared : Access::Exclusive;
  using result = typename Lift<R>::type;
  using params = std::tuple<std::remove_cvref_t<A>...>;
};

// Converts every parameter: the others in declaration order, then the late ones.
template <class Params, std::size_t... I>
DREL_FRAME_INLINE inline bool convert_params(Params& values, const ArgSlots& slots, const ArgSpec& spec,
                    std::index_sequence<I...>) {
  [[maybe_unused]] auto one = [&]<std::size_t J>(bool late_pass) DREL_FRAME_INLINE {
    using P = std::tuple_element_t<J, Params>;
    if (P::late != late_pass) return true;
    if (std::get<J>(values).convert(slots.values[J])) [[likely]] return true;
    if constexpr (P::noted) add_processing_note(spec.names[J]);
    return false;
  };
  return (one.template operator()<I>(false) && ...) && (one.template operator()<I>(true) && ...);
}

template <auto Body>
auto run_free(const ArgSlots& slots, const ArgSpec& spec) {
  using Sig = Signature<decltype(Body)>;
  using R = typename Sig::result;
  typename Sig::params values;
  if (!convert_params(values, slots, spec,
                      std::make_index_sequence<std::tuple_size_v<typename Sig::params>>{}))
    return Outcome<R>(std::unexpected(Failure(PythonError{})));
  return std::apply(
      [](auto&... p) { return Lift<decltype(Body(p...))>::apply(Body(p...)); }, values);
}

// The borrow is released when this returns, before any result object exists.
template <auto Body>
DREL_FRAME_INLINE inline auto run_on_instance(PyObject* self, const ArgSlots& slots, const ArgSpec& spec) {
  using Sig = MethodSignature<decltype(Body)>;
  using R = typename Sig::result;
  auto* instance = instance_of<typename Sig::core>(self);
  Borrow<Sig::access> borrow(instance->borrow);
  if (!borrow) [[unlikely]] return Outcome<R>(std::unexpected(Failure(PythonError{})));
  typename Sig::params values;
  if (!convert_params(values, slots, spec,
                      std::make_index_sequence<std::tuple_size_v<typename Sig::params>>{}))
    return Outcome<R>(std::unexpected(Failure(PythonError{})));
  return std::apply(
      [instance](auto&... p) {
        return Lift<decltype(Body(instance->value, p...))>::apply(Body(instance->value, p...));
      },
      values);
}

inline bool parse_args(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, ArgSlots& out) {
  if (kwnames == nullptr && static_cast<std::size_t>(nargs) == spec.count) [[likely]] {
    out.values = args;
    return true;
  }
  return parse_fastcall(spec, args, nargs, kwnames, out);
}

inline constexpr ArgSpec kNoParams{"", {}, 0};

// A member's argument names match its function's parameters one for one: a
// name too few would leave a parameter unnamed in errors, a name too many would
// let the positional fast path read past the caller's argument vector.
template <const ArgSpec& Spec, std::size_t Arity>
consteval bool names_match_arity() {
  if (Spec.count != Arity || Arity > kMaxParams) return false;
  for (std::size_t i = 0; i < kMaxParams; ++i) {
    if ((Spec.names[i] != nullptr) != (i < Arity)) return false;
  }
  return true;
}

// ---- entry points --------------------------------------------------------

template <const ArgSpec& Spec, auto Body>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static_assert(names_match_arity<
                    Spec, std::tuple_size_v<typename MethodSignature<decltype(Body)>::params>>(),
                "the member's argument names must match its parameters");
  return guarded([&]() DREL_FRAME_INLINE -> PyObject* {
    ArgSlots slots;
    if (!parse_args(Spec, args, nargs, kwnames, slots)) return nullptr;
    return finish(run_on_instance<Body>(self, slots, Spec));
  });
}

template <auto Body>
PyObject* noargs_method(PyObject* self, PyObject*) {
  return guarded([&]() DREL_FRAME_INLINE -> PyObject* { return finish(run_on_instance<Body>(self, {}, kNoParams)); });
}

template <auto Body>
PyObject* getter(PyObject* self, void*) {
  return guarded([&]() DREL_FRAME_INLINE -> PyObject* { return finish(run_on_instance<Body>(self, {}, kNoParams)); });
}

template <const ArgSpec& Spec, auto Body>
PyObject* static_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static_assert(
      names_match_arity<Spec, std::tuple_size_v<typename Signature<decltype(Body)>::params>>(),
      "the member's argument names must match its parameters");
  return guarded([&]() DREL_FRAME_INLINE -> PyObject* {
    ArgSlots slots;
    if (!parse_args(Spec, args, nargs, kwnames, slots)) return nullptr;
    return finish(run_free<Body>(slots, Spec));
  });
}

// The core value is built (and may fail) before anything is allocated.
template <const ArgSpec& Spec, auto Body>
PyObject* constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static_assert(
      names_match_arity<Spec, std::tuple_size_v<typename Signature<decltype(Body)>::params>>(),
      "the constructor's argument names must match its parameters");
  return guarded([&]() DREL_FRAME_INLINE -> PyObject* {
    ArgSlots slots;
    OwnedSlots owned;
    if (!parse_tuple_dict(Spec, args, kwargs, slots, owned)) return nullptr;
    auto outcome = run_free<Body>(slots, Spec);
    if (!outcome) {
      raise_failure(outcome.error());
      return nullptr;
    }
    return make_instance(type, std::move(*outcome));
  });
}

// ---- method tables -------------------------------------------------------

template <class F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

template <const ArgSpec& Spec, auto Body>
PyMethodDef method_def(const char* name, const char* doc) {
  return {name, as_cfunction(&method<Spec, Body>), METH_FASTCALL | METH_KEYWORDS, doc};
}
template <auto Body>
PyMethodDef noargs_def(const char* name, const char* doc) {
  return {name, as_cfunction(&noargs_method<Body>), METH_NOARGS, doc};
}
template <const ArgSpec& Spec, auto Body>
PyMethodDef static_def(const char* name, const char* doc) {
  return {name, as_cfunction(&static_method<Spec, Body>),
          METH_FASTCALL | METH_KEYWORDS | METH_STATIC, doc};
}
// The same from one Member declaration: name, argument names and docstring.
template <const Member& M, auto Body>
PyMethodDef method_def() {
  static_assert(M.kind == MemberKind::Method);
  return method_def<member_spec<M>, Body>(M.name.data(), member_doc<M>());
}
template <const Member& M, auto Body>
PyMethodDef static_def() {
  static_assert(M.kind == MemberKind::Static);
  return static_def<member_spec<M>, Body>(M.name.data(), member_doc<M>());
}
template <const Member& M, auto Body>
constexpr newfunc constructor_of() {
  static_assert(M.kind == MemberKind::Constructor);
  return &constructor<member_spec<M>, Body>;
}

template <auto Body>
PyGetSetDef getter_def(const char* name) {
  return {name, &getter<Body>, nullptr, nullptr, nullptr};
}
inline constexpr PyMethodDef kMethodsEnd{nullptr, nullptr, 0, nullptr};
inline constexpr PyGetSetDef kPropertiesEnd{nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace drel::py
