// Exhaustive choices between the alternatives of a std::variant.
//
// Every choice between optimizers or between losses goes through std::visit or
// visit_in_order with one overload per alternative, so that a new alternative
// that some place does not handle is a compile error at that place, never a
// bad_variant_access at run time.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>
#include <variant>

namespace drel {

// One callable made of several lambdas: Overloads{[](const Sgd&) {...}, ...}.
template <class... F>
struct Overloads : F... {
  using F::operator()...;
};
template <class... F>
Overloads(F...) -> Overloads<F...>;

namespace detail {

template <std::size_t I, class Variant, class F>
[[gnu::always_inline]] inline decltype(auto) visit_from(Variant& v, F& f) {
  constexpr std::size_t n = std::variant_size_v<std::remove_const_t<Variant>>;
  static_assert(std::is_invocable_v<F&, decltype(*std::get_if<I>(&v))>,
                "a variant alternative has no overload here: handle it");
  if constexpr (I + 1 == n) {
    return f(*std::get_if<I>(&v));
  } else {
    if (auto* alternative = std::get_if<I>(&v)) [[likely]] return f(*alternative);
    return visit_from<I + 1>(v, f);
  }
}

}  // namespace detail

// std::visit for the hot paths: the alternatives are tested in declaration
// order, the first one marked likely, as a chain of plain branches that the
// step inlines (std::visit may go through a table of function pointers). A
// variant never left valueless is assumed: the last alternative is not tested.
template <class Variant, class F>
[[gnu::always_inline]] inline decltype(auto) visit_in_order(Variant& v, F&& f) {
  return detail::visit_from<0>(v, f);
}

}  // namespace drel
