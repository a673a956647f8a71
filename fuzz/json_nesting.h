// How deeply a JSON text nests arrays and objects, for targets whose code
// under test bounds that depth.
#ifndef TARQ_FUZZ_JSON_NESTING_H_
#define TARQ_FUZZ_JSON_NESTING_H_

#include <algorithm>
#include <cstddef>
#include <string_view>

namespace tarq {

// The deepest level of `text`, which must be valid JSON (brackets inside
// strings do not count).
inline size_t jsonNesting(std::string_view text) {
  size_t depth = 0;
  size_t deepest = 0;
  bool inString = false;
  for (size_t index = 0; index < text.size(); ++index) {
    const char c = text[index];
    if (inString) {
      index += c == '\\' ? 1 : 0;
      inString = c != '"';
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

}  // namespace tarq

#endif  // TARQ_FUZZ_JSON_NESTING_H_
