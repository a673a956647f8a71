// `tarqctl channel`: input lines to what comes out, through the real plug-in
// on the in-process host (its helper socket does not exist, so every helper
// command fails at once). Each input line runs the channel on its own and
// the lines it writes, events aside, must be: none for a blank line or for a
// "listen"/"cancel" object, otherwise exactly one, either a protocolError or
// the answer carrying the line's own "id"; a line nested deeper than the
// channel's bound is always a protocolError. Every output line is one JSON
// object.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "channel.h"
#include "engine_session.h"
#include "fuzz_check.h"
#include "json_nesting.h"

namespace {

using nlohmann::json;
using tarq::fuzzCheck;

constexpr size_t kMaxLines = 8;
// The channel's bound on a line's nesting.
constexpr size_t kMaxLineDepth = 128;

// Output lines other than events, each parsed.
std::vector<json> answersIn(const std::string& output) {
  std::vector<json> answers;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    json parsed = json::parse(line, nullptr, /*allow_exceptions=*/false);
    fuzzCheck(parsed.is_object(), "every output line is one JSON object");
    if (!parsed.contains("event") && !parsed.contains("eventError") &&
        !parsed.contains("endOfStream")) {
      answers.push_back(std::move(parsed));
    }
  }
  return answers;
}

void checkAnswers(const std::string& line, const std::vector<json>& answers) {
  const json request = json::parse(line, nullptr, /*allow_exceptions=*/false);
  fuzzCheck(answers.size() <= 1, "an input line is answered at most once");
  if (!request.is_discarded() && tarq::jsonNesting(line) > kMaxLineDepth) {
    fuzzCheck(answers.size() == 1 && answers.front().contains("protocolError"),
              "a line nested too deeply is a protocolError");
    return;
  }
  if (answers.empty()) {
    const bool blank = line.find_first_not_of(" \t\r") == std::string::npos;
    fuzzCheck(blank || (request.is_object() &&
                        (request.contains("listen") || request.contains("cancel"))),
              "only blank, listen and cancel lines go unanswered");
    return;
  }
  const json& answer = answers.front();
  if (answer.contains("protocolError")) {
    fuzzCheck(answer["protocolError"].is_string(), "a protocolError carries its text");
    return;
  }
  fuzzCheck(request.is_object() && request.contains("method") && request.contains("id") &&
                answer.contains("id") && answer["id"] == request["id"],
            "an answer is to a call and carries its id");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream input(std::string(reinterpret_cast<const char*>(data), size));
  char* buffer = nullptr;
  size_t length = 0;
  std::FILE* output = open_memstream(&buffer, &length);
  {
    tarq::EngineSession session("/nonexistent/tarq-fuzz/helper.sock",
                                std::make_shared<tarq::MemoryLog>());
    std::string line;
    for (size_t count = 0; count < kMaxLines && std::getline(input, line); ++count) {
      std::fseek(output, 0, SEEK_SET);
      std::istringstream one(line);
      tarq::runChannel(session, one, output);
      std::fflush(output);
      checkAnswers(line, answersIn(std::string(buffer, length)));
    }
  }
  std::fclose(output);
  std::free(buffer);
  return 0;
}
