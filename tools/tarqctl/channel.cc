#include "channel.h"

#include <condition_variable>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "json_values.h"
#include "line_reader.h"
#include "support/bounded_json.h"

namespace tarq {
namespace {

using nlohmann::json;

// The translation into the host's values, their printing and their
// destruction each recurse once per level: a line nested deeper is a protocol
// error, refused before it is built.
constexpr int kMaxLineDepth = 128;

void writeLine(std::FILE* output, const OutputJson& line) {
  std::string text = toLine(line) + "\n";
  std::fwrite(text.data(), 1, text.size(), output);
  std::fflush(output);
}

bool isBlank(const std::string& text) {
  return text.find_first_not_of(" \t\r") == std::string::npos;
}

// Calls made and not answered yet.
class Outstanding {
 public:
  void add() {
    std::lock_guard lock(mutex_);
    ++count_;
  }
  void done() {
    std::lock_guard lock(mutex_);
    --count_;
    zero_.notify_all();
  }
  void waitForNone() {
    std::unique_lock lock(mutex_);
    zero_.wait(lock, [this] { return count_ == 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable zero_;
  size_t count_ = 0;
};

// One input line, understood; or why not.
struct Request {
  enum class Kind { kCall, kListen, kCancel } kind = Kind::kCall;
  json id;
  std::string method;
  Value arguments;
};

Value argumentsOf(const json& line, const char* key) {
  auto found = line.find(key);
  return found == line.end() ? Value() : valueFromJson(*found);
}

// Throws std::invalid_argument (or std::out_of_range) with the protocol
// error's text.
Request parseRequest(const std::string& text) {
  json line;
  try {
    line = parseBoundedJson(text, kMaxLineDepth);
  } catch (const json::parse_error& error) {
    throw std::invalid_argument(std::string("not JSON: ") + error.what());
  }
  if (!line.is_object()) {
    throw std::invalid_argument("expected a JSON object");
  }
  int kinds = static_cast<int>(line.contains("method")) +
              static_cast<int>(line.contains("listen")) + static_cast<int>(line.contains("cancel"));
  if (kinds != 1) {
    throw std::invalid_argument(
        R"(expected exactly one of "method" (with "id"), "listen" or "cancel")");
  }
  Request request;
  if (line.contains("listen")) {
    request.kind = Request::Kind::kListen;
    request.arguments = argumentsOf(line, "listen");
    return request;
  }
  if (line.contains("cancel")) {
    request.kind = Request::Kind::kCancel;
    request.arguments = argumentsOf(line, "cancel");
    return request;
  }
  if (!line.contains("id")) {
    throw std::invalid_argument(R"(a call needs an "id")");
  }
  if (!line["method"].is_string()) {
    throw std::invalid_argument(R"("method" must be a string)");
  }
  request.id = line["id"];
  request.method = line["method"].get<std::string>();
  request.arguments = argumentsOf(line, "arguments");
  return request;
}

}  // namespace

int runChannel(EngineSession& session, std::istream& input, std::FILE* output,
               size_t maxLineBytes) {
  auto outstanding = std::make_shared<Outstanding>();
  // Through the main thread, so that it takes its place among the rest.
  const auto refuse = [&session, output](std::string reason) {
    session.host().runOnMainThread([output, reason = std::move(reason)] {
      writeLine(output, {{"protocolError", reason}});
    });
  };
  LineReader lines(input, maxLineBytes);
  std::string text;
  for (LineReader::Status status; (status = lines.next(text)) != LineReader::Status::kEnd;) {
    if (status == LineReader::Status::kTooLong) {
      refuse("line longer than " + std::to_string(maxLineBytes) + " bytes");
      continue;
    }
    if (isBlank(text)) {
      continue;
    }
    Request request;
    try {
      request = parseRequest(text);
    } catch (const std::exception& problem) {
      refuse(problem.what());
      continue;
    }
    switch (request.kind) {
      case Request::Kind::kCall:
        outstanding->add();
        session.call(request.method, std::move(request.arguments),
                     [output, outstanding, id = request.id](MethodResponse response) {
                       writeLine(output, jsonFromResponse(id, response));
                       outstanding->done();
                     });
        break;
      case Request::Kind::kListen:
        session.listen(std::move(request.arguments),
                       {.onEvent =
                            [output](const Value& event) {
                              writeLine(output, {{"event", jsonFromValue(event)}});
                            },
                        .onError =
                            [output](const FlutterError& error) {
                              writeLine(output, {{"eventError",
                                                  {{"code", error.code},
                                                   {"message", error.message},
                                                   {"details", jsonFromValue(error.details)}}}});
                            },
                        .onEnd =
                            [output] {
                              writeLine(output, {{"endOfStream", true}});
                            }});
        break;
      case Request::Kind::kCancel:
        session.cancel(std::move(request.arguments));
        break;
    }
  }
  outstanding->waitForNone();
  session.host().flush();
  return 0;
}

}  // namespace tarq
