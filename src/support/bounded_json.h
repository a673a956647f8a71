// Reading JSON text that comes from outside the process with a bounded cost.
//
// Containers nested deeper than the caller's limit are refused while the text
// is read, before a deep value exists: every later walk of the value
// (conversions, copies, printing) recurses once per level, so the limit is
// what keeps a hostile text from exhausting the stack. A NUL byte is refused
// too: no JSON text contains one, and the reader would otherwise take it for
// the end of the text and accept whatever came before.
//
// Each decoder picks its own limit (a constant beside it, named in the docs).
#ifndef TARQ_SUPPORT_BOUNDED_JSON_H_
#define TARQ_SUPPORT_BOUNDED_JSON_H_

#include <nlohmann/json.hpp>
#include <string_view>

namespace tarq {

// Parses `text` as one JSON text whose arrays and objects nest at most
// `maxDepth` levels (a top-level object is level 1). Throws
// nlohmann::json::parse_error when the text is not JSON, holds a NUL byte or
// nests deeper, and nlohmann's other errors unchanged (a number beyond the
// range of a double is out_of_range 406).
nlohmann::json parseBoundedJson(std::string_view text, int maxDepth);

}  // namespace tarq

#endif  // TARQ_SUPPORT_BOUNDED_JSON_H_
