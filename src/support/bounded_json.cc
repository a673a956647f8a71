#include "support/bounded_json.h"

#include <string>

namespace tarq {

using Json = nlohmann::json;

Json parseBoundedJson(std::string_view text, int maxDepth) {
  const size_t nul = text.find('\0');
  if (nul != std::string_view::npos) {
    throw Json::parse_error::create(
        101, nul + 1, "syntax error while parsing value - invalid literal: a NUL byte", nullptr);
  }
  // The callback sees each container as it opens, with the number of
  // containers around it; refusing there stops the reader before it goes
  // deeper.
  const Json::parser_callback_t refuseDeep = [maxDepth](int depth, Json::parse_event_t event,
                                                        Json&) {
    if ((event == Json::parse_event_t::object_start || event == Json::parse_event_t::array_start) &&
        depth >= maxDepth) {
      throw Json::parse_error::create(101, 0,
                                      "syntax error while parsing value - nested deeper than " +
                                          std::to_string(maxDepth) + " levels",
                                      nullptr);
    }
    return true;
  };
  return Json::parse(text.begin(), text.end(), refuseDeep);
}

}  // namespace tarq
