// `tarqctl channel`: the bytes on its standard input to what it would hand
// the plug-in or answer at once. The input is cut into lines by the
// channel's own LineReader (with the channel's limit for inputs of even
// size, 128 bytes for odd ones, so that over-long lines come up too); each
// line is read by parseChannelRequest(), a call's arguments are checked as
// the plug-in's main thread checks them (checkCall()), and each answer line
// is written as the channel writes it. The reference for what a line is:
// nlohmann's reading of it.
//
// Properties: the lines are std::getline's, those beyond the limit reported
// as such and none lost; a line is a protocolError exactly when it is no
// request (not JSON, a NUL byte, not an object, not exactly one of "method",
// "listen" and "cancel", a call without "id" or whose "method" is no string,
// an integer beyond 64 bits in what goes to the plug-in), "nested deeper than
// 128 levels" when it nests deeper; a call keeps its id and method, and gets
// "bad_args" exactly when "start" lacks a string "config" or "select" a
// string "tag", notImplemented exactly for other methods, and otherwise the
// arguments as given or their defaults; every line written is one JSON
// object, an answer carrying the call's id.
//
// The plug-in itself, its threads and the host stay out: they cost far
// more than the reading, and their every-call-answered-once contract has
// tests and the soak of its own. Inputs are at most 4,096 bytes unless
// -max_len says otherwise (a seed nests 10,000 levels in 20 kB; cut to 4 kB
// it still nests 2,000 deep, and inputs grown to 20 kB would slow every run
// fivefold), and only their first eight lines count.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "channel.h"
#include "channel_request.h"
#include "fuzz_check.h"
#include "json_nesting.h"
#include "json_values.h"
#include "line_reader.h"
#include "plugin/checked_call.h"

namespace {

using nlohmann::json;
using tarq::fuzzCheck;

constexpr size_t kSmallLimit = 128;
constexpr size_t kMaxLines = 8;

// Whether `value` holds an integer that the host's values cannot hold (they
// have signed 64-bit integers); nested at most 128 levels here.
bool holdsIntegerBeyond64Bits(const json& value) {
  if (value.is_number_unsigned()) {
    return value.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX);
  }
  if (value.is_structured()) {
    for (const json& element : value) {
      if (holdsIntegerBeyond64Bits(element)) {
        return true;
      }
    }
  }
  return false;
}

// The reference reading of a line that is not blank: nothing when it is no
// request, else the request as nlohmann reads it.
struct Reference {
  bool request = false;
  bool deep = false;
  json line;
};

Reference referenceOf(const std::string& text) {
  Reference reference;
  reference.line = json::parse(text, nullptr, /*allow_exceptions=*/false);
  // nlohmann ends the text at a NUL byte; the channel refuses the line.
  if (reference.line.is_discarded() || text.find('\0') != std::string::npos) {
    return reference;
  }
  if (tarq::jsonNesting(text) > static_cast<size_t>(tarq::kMaxChannelLineDepth)) {
    reference.deep = true;
    return reference;
  }
  const json& line = reference.line;
  const int kinds = static_cast<int>(line.contains("method")) +
                    static_cast<int>(line.contains("listen")) +
                    static_cast<int>(line.contains("cancel"));
  if (!line.is_object() || kinds != 1) {
    return reference;
  }
  const char* const passed = line.contains("method")   ? "arguments"
                             : line.contains("listen") ? "listen"
                                                       : "cancel";
  if (line.contains(passed) && holdsIntegerBeyond64Bits(line[passed])) {
    return reference;
  }
  if (line.contains("method") && (!line.contains("id") || !line["method"].is_string())) {
    return reference;
  }
  reference.request = true;
  return reference;
}

// Every line the channel writes is one JSON object.
json written(const tarq::OutputJson& line) {
  const std::string text = tarq::toLine(line);
  fuzzCheck(text.find('\n') == std::string::npos, "an output line is one line");
  json parsed = json::parse(text, nullptr, /*allow_exceptions=*/false);
  fuzzCheck(parsed.is_object(), "every output line is one JSON object");
  return parsed;
}

void checkProtocolError(const std::string& reason, const Reference& reference) {
  fuzzCheck(!reference.request, "a request is no protocolError");
  fuzzCheck(!reference.deep || reason.find("nested deeper than 128 levels") != std::string::npos,
            "a line nested too deeply is refused as such");
  // Validated without a DOM: this line is written for most inputs.
  const std::string text = tarq::toLine({{"protocolError", reason}});
  fuzzCheck(text.starts_with(R"({"protocolError":")") && text.find('\n') == std::string::npos &&
                json::accept(text),
            "a protocolError is one JSON object with its text");
}

// A call's arguments as the plug-in's main thread checks them, against the
// reference's, and the answer it gets at once.
void checkCall(const tarq::ChannelRequest& request, const json& line) {
  const json arguments = line.value("arguments", json());
  const auto stringOf = [&arguments](const char* key) -> const json* {
    return arguments.is_object() && arguments.contains(key) && arguments[key].is_string()
               ? &arguments[key]
               : nullptr;
  };
  const std::string& method = request.method;
  auto checked = tarq::checkCall(tarq::MethodCall{method, request.arguments});
  if (auto* response = std::get_if<tarq::MethodResponse>(&checked)) {
    const bool badArguments = (method == "start" && stringOf("config") == nullptr) ||
                              (method == "select" && stringOf("tag") == nullptr);
    const bool known = method == "start" || method == "select" || method == "prepare" ||
                       method == "stop" || method == "status" || method == "helperStatus";
    if (badArguments) {
      const auto* error = std::get_if<tarq::FlutterError>(response);
      fuzzCheck(error != nullptr && error->code == "bad_args",
                "a missing required argument is bad_args");
    } else {
      fuzzCheck(!known && std::holds_alternative<tarq::NotImplemented>(*response),
                "only an unknown method is not implemented");
    }
    fuzzCheck(written(tarq::jsonFromResponse(request.id, *response))["id"] == request.id,
              "an answer carries the call's id");
    return;
  }
  const tarq::CheckedCall& call = std::get<tarq::CheckedCall>(checked);
  if (method == "start") {
    fuzzCheck(stringOf("config") != nullptr && *stringOf("config") == call.config,
              "start's config is the one given");
    const json* selected = stringOf("selected");
    fuzzCheck(call.selected == (selected ? selected->get<std::string>() : "auto"),
              "start's selected is the one given, else \"auto\"");
    const json* secret = stringOf("clashSecret");
    fuzzCheck(call.clashSecret == (secret ? secret->get<std::string>() : ""),
              "start's clashSecret is the one given, else empty");
    const json port = arguments.value("clashPort", json());
    fuzzCheck(call.clashPort == (port.is_number_integer() ? port.get<int64_t>() : 0),
              "start's clashPort is the integer given, else 0");
  } else if (method == "select") {
    fuzzCheck(stringOf("tag") != nullptr && *stringOf("tag") == call.tag,
              "select's tag is the one given");
  }
  fuzzCheck(written(tarq::jsonFromResponse(request.id, tarq::Value()))["id"] == request.id,
            "an answer carries the call's id");
}

void checkLine(const std::string& text) {
  const Reference reference = referenceOf(text);
  tarq::ChannelRequest request;
  try {
    request = tarq::parseChannelRequest(text);
  } catch (const std::exception& problem) {
    checkProtocolError(problem.what(), reference);
    return;
  }
  fuzzCheck(reference.request, "what is no request is a protocolError");
  const json& line = reference.line;
  switch (request.kind) {
    case tarq::ChannelRequest::Kind::kListen:
      fuzzCheck(line.contains("listen"), "a listen is a line with \"listen\"");
      return;
    case tarq::ChannelRequest::Kind::kCancel:
      fuzzCheck(line.contains("cancel"), "a cancel is a line with \"cancel\"");
      return;
    case tarq::ChannelRequest::Kind::kCall:
      fuzzCheck(request.id == line["id"] && request.method == line["method"],
                "a call keeps its id and method");
      checkCall(request, line);
      return;
  }
}

}  // namespace

// Adds "-max_len=4096" to the command line unless it sets a length.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  for (int i = 1; i < *argc; ++i) {
    if (std::string_view((*argv)[i]).starts_with("-max_len=")) {
      return 0;
    }
  }
  static std::vector<char*> arguments((*argv), (*argv) + *argc);
  static char maxLength[] = "-max_len=4096";
  arguments.insert(arguments.begin() + 1, maxLength);
  arguments.push_back(nullptr);
  *argc += 1;
  *argv = arguments.data();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const size_t limit = size % 2 == 0 ? tarq::kMaxChannelLineBytes : kSmallLimit;
  std::istringstream input(text);
  std::istringstream reference(text);
  tarq::LineReader lines(input, limit);
  std::string line;
  std::string expected;
  size_t count = 0;
  for (tarq::LineReader::Status status;
       count < kMaxLines && (status = lines.next(line)) != tarq::LineReader::Status::kEnd;
       ++count) {
    fuzzCheck(static_cast<bool>(std::getline(reference, expected)), "no line is made up");
    if (status == tarq::LineReader::Status::kTooLong) {
      fuzzCheck(expected.size() > limit && line.empty(),
                "only a line beyond the limit is too long");
      continue;
    }
    fuzzCheck(line == expected, "a line is read whole");
    if (!tarq::isBlankLine(line)) {
      checkLine(line);
    }
  }
  fuzzCheck(count == kMaxLines || !std::getline(reference, expected), "no line is lost");
  return 0;
}
