// A list of types, and the few operations the class tables are built with.
#pragma once

#include <cstddef>
#include <type_traits>

namespace drel {

template <class... T>
struct TypeList {
  static constexpr std::size_t size = sizeof...(T);
};

// Calls f.template operator()<T>() for each T, in order.
template <class... T, class F>
constexpr void for_each_type(TypeList<T...>, F&& f) {
  (f.template operator()<T>(), ...);
}

// The list of T for which Keep<T>::value holds, in order.
template <template <class> class Keep, class List>
struct Filter;
template <template <class> class Keep>
struct Filter<Keep, TypeList<>> {
  using type = TypeList<>;
};
template <template <class> class Keep, class First, class... Rest>
struct Filter<Keep, TypeList<First, Rest...>> {
  using Tail = typename Filter<Keep, TypeList<Rest...>>::type;
  template <class... R>
  static TypeList<First, R...> with_first(TypeList<R...>);
  using type = std::conditional_t<Keep<First>::value, decltype(with_first(Tail{})), Tail>;
};
template <template <class> class Keep, class List>
using filter_t = typename Filter<Keep, List>::type;

template <class T, class List>
inline constexpr bool contains_v = false;
template <class T, class... U>
inline constexpr bool contains_v<T, TypeList<U...>> = (std::is_same_v<T, U> || ...);

// The same types, in any order, each once.
template <class A, class B>
inline constexpr bool same_members_v = false;
template <class... A, class... B>
inline constexpr bool same_members_v<TypeList<A...>, TypeList<B...>> =
    sizeof...(A) == sizeof...(B) && (contains_v<A, TypeList<B...>> && ...) &&
    (contains_v<B, TypeList<A...>> && ...);

}  // namespace drel
