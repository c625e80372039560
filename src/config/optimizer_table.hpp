// The optimizers as the configuration sees them, derived from the optimizers
// themselves: Optimizer::variant is the one list, and each optimizer names
// itself (config_name) and its settings (Config, whose snapshot field table
// gives their keys and types, and whose default-built value their defaults).
//
// The choices of the keyword factories, their keywords, the settings readers
// and make_optimizer all walk this table, so an optimizer added to the variant
// is offered, built and read back everywhere without another list to extend.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>

#include "optim/optimizer.hpp"
#include "snapshot/record_fields.hpp"

namespace drel {

using OptimizerVariant = decltype(Optimizer::variant);
inline constexpr std::size_t kOptimizerCount = std::variant_size_v<OptimizerVariant>;

template <std::size_t I>
using OptimizerAt = std::variant_alternative_t<I, OptimizerVariant>;

// The index of optimizer O in the variant: the kind that selects it.
template <class O>
inline constexpr std::size_t optimizer_kind = [] {
  std::size_t kind = kOptimizerCount;
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    ((std::is_same_v<O, OptimizerAt<I>> ? (kind = I) : 0), ...);
  }(std::make_index_sequence<kOptimizerCount>{});
  return kind;
}();

// Calls f.template operator()<O>() for each optimizer O, in the variant's order.
template <class F>
constexpr void for_each_optimizer(F&& f) {
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (f.template operator()<OptimizerAt<I>>(), ...);
  }(std::make_index_sequence<kOptimizerCount>{});
}

// An optimizer's settings: its Config's snapshot field table.
template <class O>
constexpr const auto& config_fields() {
  return snapshot::RecordTraits<typename O::Config>::fields;
}

inline constexpr std::array<std::string_view, kOptimizerCount> kOptimizerNames =
    []<std::size_t... I>(std::index_sequence<I...>) {
      return std::array<std::string_view, kOptimizerCount>{OptimizerAt<I>::config_name...};
    }(std::make_index_sequence<kOptimizerCount>{});

// The kind named `name`, if an optimizer has that name.
constexpr std::optional<std::size_t> optimizer_kind_named(std::string_view name) {
  for (std::size_t i = 0; i < kOptimizerCount; ++i)
    if (kOptimizerNames[i] == name) return i;
  return std::nullopt;
}

// A keyword of at most 47 characters, kept with its terminating zero so that
// Python's C API can take it as it is.
struct SettingKeyword {
  std::array<char, 48> text{};
  std::size_t size = 0;

  constexpr void append(std::string_view part) {
    for (char c : part) text[size++] = c;
  }
  constexpr std::string_view view() const { return {text.data(), size}; }
  constexpr const char* c_str() const { return text.data(); }
};

// One setting of one or more optimizers. Its keyword is its key when every
// optimizer has it, else the key prefixed by the first owner's name
// ("adagrad_epsilon"): a setting only some optimizers read says whose it is.
struct OptimizerSetting {
  std::string_view key;
  SettingKeyword keyword;
  double default_value = 0.0;
};

namespace detail {

constexpr std::size_t config_field_total() {
  std::size_t total = 0;
  for_each_optimizer([&]<class O>() {
    total += std::tuple_size_v<std::remove_cvref_t<decltype(config_fields<O>())>>;
  });
  return total;
}

struct SettingDraft {
  std::string_view key;
  double default_value = 0.0;
  std::string_view first_owner;
  std::size_t owners = 0;
};

struct SettingDrafts {
  std::array<SettingDraft, config_field_total()> drafts{};
  std::size_t count = 0;
  bool defaults_agree = true;
};

// Every key of every optimizer's settings, once, in the order they first appear.
consteval SettingDrafts setting_drafts() {
  SettingDrafts out;
  for_each_optimizer([&]<class O>() {
    constexpr typename O::Config defaults{};
    std::apply(
        [&](const auto&... field) {
          const auto add = [&](const auto& f) {
            static_assert(std::is_same_v<std::remove_cvref_t<decltype(defaults.*f.member)>, double>,
                          "an optimizer's settings are real numbers");
            const double value = defaults.*f.member;
            for (std::size_t i = 0; i < out.count; ++i) {
              if (out.drafts[i].key != f.key) continue;
              ++out.drafts[i].owners;
              // Two optimizers sharing a setting must agree on its default, or
              // the one keyword could not have one.
              if (out.drafts[i].default_value != value) out.defaults_agree = false;
              return;
            }
            out.drafts[out.count++] = {f.key, value, O::config_name, 1};
          };
          (add(field), ...);
        },
        config_fields<O>());
  });
  return out;
}

inline constexpr SettingDrafts kDrafts = setting_drafts();
static_assert(kDrafts.defaults_agree,
              "optimizers that share a setting must give it the same default");

}  // namespace detail

inline constexpr std::size_t kOptimizerSettingCount = detail::kDrafts.count;

inline constexpr std::array<OptimizerSetting, kOptimizerSettingCount> kOptimizerSettings = [] {
  std::array<OptimizerSetting, kOptimizerSettingCount> out{};
  for (std::size_t i = 0; i < kOptimizerSettingCount; ++i) {
    const detail::SettingDraft& d = detail::kDrafts.drafts[i];
    out[i].key = d.key;
    out[i].default_value = d.default_value;
    if (d.owners != kOptimizerCount) {
      out[i].keyword.append(d.first_owner);
      out[i].keyword.append("_");
    }
    out[i].keyword.append(d.key);
  }
  return out;
}();

// The position of the setting `key` in kOptimizerSettings.
consteval std::size_t setting_index(std::string_view key) {
  for (std::size_t i = 0; i < kOptimizerSettingCount; ++i)
    if (kOptimizerSettings[i].key == key) return i;
  throw "no optimizer has this setting";
}

// For each field of O's Config, in its order, the position of its setting.
template <class O>
inline constexpr auto kSettingsOf = []<std::size_t... I>(std::index_sequence<I...>) {
  return std::array<std::size_t, sizeof...(I)>{setting_index(std::get<I>(config_fields<O>()).key)...};
}(std::make_index_sequence<std::tuple_size_v<std::remove_cvref_t<decltype(config_fields<O>())>>>{});

}  // namespace drel
