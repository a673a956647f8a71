#include "host/value.h"

#include <nlohmann/json.hpp>
#include <type_traits>

namespace tarq {

namespace {

nlohmann::json toJson(const Value& value) {
  return std::visit(
      [](const auto& item) -> nlohmann::json {
        using T = std::decay_t<decltype(item)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return nullptr;
        } else if constexpr (std::is_same_v<T, ValueList>) {
          nlohmann::json list = nlohmann::json::array();
          for (const Value& element : item) {
            list.push_back(toJson(element));
          }
          return list;
        } else if constexpr (std::is_same_v<T, ValueMap>) {
          nlohmann::json map = nlohmann::json::object();
          for (const auto& [key, element] : item) {
            map[key] = toJson(element);
          }
          return map;
        } else {
          return item;
        }
      },
      value.variant());
}

}  // namespace

const Value* Value::find(const std::string& key) const {
  const ValueMap* map = get<ValueMap>();
  if (map == nullptr) {
    return nullptr;
  }
  auto entry = map->find(key);
  return entry == map->end() ? nullptr : &entry->second;
}

bool operator==(const Value& a, const Value& b) {
  return a.variant() == b.variant();
}

std::string describe(const Value& value) {
  // Text that is not UTF-8 is shown with replacement characters rather than
  // making a log line throw.
  return toJson(value).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace tarq
