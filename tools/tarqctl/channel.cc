#include "channel.h"

#include <condition_variable>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "channel_request.h"
#include "json_values.h"
#include "line_reader.h"

namespace tarq {
namespace {

void writeLine(std::FILE* output, const OutputJson& line) {
  std::string text = toLine(line) + "\n";
  std::fwrite(text.data(), 1, text.size(), output);
  std::fflush(output);
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
    if (isBlankLine(text)) {
      continue;
    }
    ChannelRequest request;
    try {
      request = parseChannelRequest(text);
    } catch (const std::exception& problem) {
      refuse(problem.what());
      continue;
    }
    switch (request.kind) {
      case ChannelRequest::Kind::kCall:
        outstanding->add();
        session.call(request.method, std::move(request.arguments),
                     [output, outstanding, id = request.id](MethodResponse response) {
                       writeLine(output, jsonFromResponse(id, response));
                       outstanding->done();
                     });
        break;
      case ChannelRequest::Kind::kListen:
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
      case ChannelRequest::Kind::kCancel:
        session.cancel(std::move(request.arguments));
        break;
    }
  }
  outstanding->waitForNone();
  session.host().flush();
  return 0;
}

}  // namespace tarq
