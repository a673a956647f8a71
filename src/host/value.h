// The values that cross the Flutter channels, as the standard codec carries
// them: null, Boolean, 64-bit integer, double, string, list and string-keyed
// map. Shaped after Flutter's EncodableValue: a std::variant with helpers.
#ifndef TARQ_HOST_VALUE_H_
#define TARQ_HOST_VALUE_H_

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

namespace tarq {

class Value;
using ValueList = std::vector<Value>;
using ValueMap = std::map<std::string, Value>;

class Value : public std::variant<std::monostate, bool, int64_t, double, std::string, ValueList,
                                  ValueMap> {
 public:
  using Variant =
      std::variant<std::monostate, bool, int64_t, double, std::string, ValueList, ValueMap>;
  using Variant::Variant;
  using Variant::operator=;

  Value() = default;
  // Keeps string literals from decaying to bool and small integers from being
  // ambiguous.
  Value(const char* text) : Variant(std::string(text)) {}
  Value(int number) : Variant(int64_t{number}) {}

  bool isNull() const { return std::holds_alternative<std::monostate>(*this); }

  // The alternative T, or nullptr when the value holds another type.
  template <typename T>
  const T* get() const {
    return std::get_if<T>(this);
  }

  // In a map value, the entry named `key`; nullptr when this is not a map or
  // has no such key.
  const Value* find(const std::string& key) const;

  const Variant& variant() const { return *this; }
};

bool operator==(const Value& a, const Value& b);

// Compact JSON-like text of a value, for logs and test messages.
std::string describe(const Value& value);

}  // namespace tarq

#endif  // TARQ_HOST_VALUE_H_
