// JSON text on the command line and the host's values, both ways: integers
// (numbers without fraction or exponent) are 64-bit integers, other numbers
// doubles, arrays lists, objects string-keyed maps.
#ifndef TARQ_TOOLS_TARQCTL_JSON_VALUES_H_
#define TARQ_TOOLS_TARQCTL_JSON_VALUES_H_

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "host/method_result.h"
#include "host/value.h"

namespace tarq {

// Throws std::out_of_range for an integer beyond the signed 64-bit range.
Value valueFromJson(const nlohmann::json& json);

// Output keeps its keys in the order written, so that a line reads
// {"id": ..., "result": ...}; the members of a map value come sorted.
using OutputJson = nlohmann::ordered_json;

OutputJson jsonFromValue(const Value& value);

// One output line of the channel protocol for the answer to call `id`:
// {"id":ID,"result":V} | {"id":ID,"error":{...}} | {"id":ID,"notImplemented":true}.
OutputJson jsonFromResponse(const nlohmann::json& id, const MethodResponse& response);

// Compact, one line, never throwing on text that is not UTF-8.
std::string toLine(const OutputJson& line);

}  // namespace tarq

#endif  // TARQ_TOOLS_TARQCTL_JSON_VALUES_H_
