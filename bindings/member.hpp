// One declaration per member of a class: its class's name in drel_ml, its own
// name and its parameters. The argument spec (whose names the argument errors
// use) and the text signature that opens the docstring both derive from it, so
// neither can disagree with the other.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "bindings/args.hpp"

namespace drel::py {

enum class MemberKind {
  Method,       // "name($self, x)": a receiver, then the parameters
  Static,       // "name(json)"
  Constructor,  // "Owner(kind)", named Owner.__new__() in errors
};

struct Member {
  std::string_view owner;  // the class's name in drel_ml
  std::string_view name;
  std::array<std::string_view, kMaxParams> params{};
  MemberKind kind = MemberKind::Method;
  std::string_view doc{};  // after the signature (a class's docstring)

  constexpr std::size_t count() const {
    std::size_t n = 0;
    while (n < params.size() && !params[n].empty()) ++n;
    return n;
  }
};

// Counts the characters of a text, or writes them too when `out` is given.
struct TextSink {
  char* out = nullptr;
  std::size_t size = 0;
  constexpr void put(std::string_view part) {
    for (char c : part) {
      if (out != nullptr) out[size] = c;
      ++size;
    }
  }
};

// "Mean.update()", "Mean.__new__()": how argument errors name the member.
constexpr void write_full_name(const Member& m, TextSink& text) {
  text.put(m.owner);
  text.put(".");
  text.put(m.kind == MemberKind::Constructor ? "__new__" : m.name);
  text.put("()");
}

// "update($self, x)\n--\n\n" and the rest of the docstring: the form from
// which Python reads __text_signature__.
constexpr void write_signature(const Member& m, TextSink& text) {
  text.put(m.kind == MemberKind::Constructor ? m.owner : m.name);
  text.put("(");
  bool first = m.kind != MemberKind::Method;
  if (!first) text.put("$self");
  for (std::size_t i = 0; i < m.count(); ++i) {
    if (!first) text.put(", ");
    text.put(m.params[i]);
    first = false;
  }
  text.put(")\n--\n\n");
  text.put(m.doc);
}

// A text written by Write for M, as a NUL-terminated array of static storage.
template <void (*Write)(const Member&, TextSink&), const Member& M>
inline constexpr auto member_text = [] {
  constexpr std::size_t size = [] {
    TextSink counter;
    Write(M, counter);
    return counter.size;
  }();
  std::array<char, size + 1> text{};
  TextSink sink{text.data()};
  Write(M, sink);
  return text;
}();

template <const Member& M>
inline constexpr ArgSpec member_spec{member_text<&write_full_name, M>.data(),
                                     {M.params[0].data(), M.params[1].data(), M.params[2].data()},
                                     M.count()};

template <const Member& M>
constexpr const char* member_doc() {
  return member_text<&write_signature, M>.data();
}

}  // namespace drel::py
