#include "json_values.h"

#include <limits>

namespace tarq {

using nlohmann::json;

Value valueFromJson(const json& source) {
  switch (source.type()) {
    case json::value_t::null:
    case json::value_t::discarded:
      return Value();
    case json::value_t::boolean:
      return Value(source.get<bool>());
    case json::value_t::number_integer:
      return Value(source.get<int64_t>());
    case json::value_t::number_unsigned: {
      auto number = source.get<uint64_t>();
      if (number > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        throw std::out_of_range("integer out of the 64-bit range: " + source.dump());
      }
      return Value(static_cast<int64_t>(number));
    }
    case json::value_t::number_float:
      return Value(source.get<double>());
    case json::value_t::string:
      return Value(source.get<std::string>());
    case json::value_t::array: {
      ValueList list;
      list.reserve(source.size());
      for (const json& element : source) {
        list.push_back(valueFromJson(element));
      }
      return Value(std::move(list));
    }
    case json::value_t::object: {
      ValueMap map;
      for (const auto& [key, element] : source.items()) {
        map.emplace(key, valueFromJson(element));
      }
      return Value(std::move(map));
    }
    case json::value_t::binary:
      break;
  }
  throw std::invalid_argument("unsupported JSON value");
}

OutputJson jsonFromValue(const Value& value) {
  return std::visit(
      [](const auto& alternative) -> OutputJson {
        using T = std::decay_t<decltype(alternative)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return nullptr;
        } else if constexpr (std::is_same_v<T, ValueList>) {
          OutputJson list = OutputJson::array();
          for (const Value& element : alternative) {
            list.push_back(jsonFromValue(element));
          }
          return list;
        } else if constexpr (std::is_same_v<T, ValueMap>) {
          OutputJson map = OutputJson::object();
          for (const auto& [key, element] : alternative) {
            map[key] = jsonFromValue(element);
          }
          return map;
        } else {
          return alternative;
        }
      },
      value.variant());
}

OutputJson jsonFromResponse(const json& id, const MethodResponse& response) {
  OutputJson line = {{"id", OutputJson(id)}};
  if (const auto* value = std::get_if<Value>(&response)) {
    line["result"] = jsonFromValue(*value);
  } else if (const auto* error = std::get_if<FlutterError>(&response)) {
    line["error"] = {{"code", error->code},
                     {"message", error->message},
                     {"details", jsonFromValue(error->details)}};
  } else {
    line["notImplemented"] = true;
  }
  return line;
}

std::string toLine(const OutputJson& line) {
  return line.dump(-1, ' ', false, OutputJson::error_handler_t::replace);
}

}  // namespace tarq
