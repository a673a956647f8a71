#include "host/in_process_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <thread>
#include <vector>

namespace tarq {
namespace {

using Strings = std::vector<std::string>;

// Everything the application side sees goes into inbox_, marked when it did
// not arrive on the main thread; the test reads it only after flush(). The
// fixture is also the stream handler: it keeps the sinks it is given.
class InProcessHostTest : public ::testing::Test, public StreamHandler {
 protected:
  std::optional<FlutterError> onListen(const Value& arguments,
                                       std::shared_ptr<EventSink> events) override {
    sinks_.push_back(std::move(events));
    record("listen " + describe(arguments));
    return std::nullopt;
  }
  std::optional<FlutterError> onCancel(const Value& arguments) override {
    record("cancel " + describe(arguments));
    return std::nullopt;
  }
  void record(const std::string& text) {
    inbox_.push_back(main_->isCurrent() ? text : text + " off main");
  }
  void invoke(const std::string& channel, const std::string& method) {
    host_.invokeMethod(channel, {method, "x"},
                       [this](MethodResponse response) { record(describe(response)); });
  }
  void listen(const Value& arguments) {
    host_.listen("events", arguments,
                 {[this](const Value& event) { record(describe(event)); },
                  [this](const FlutterError& error) { record("error " + error.code); },
                  [this] { record("end"); }});
  }

  std::shared_ptr<MemoryLog> log_ = std::make_shared<MemoryLog>();
  Strings inbox_;
  std::vector<std::shared_ptr<EventSink>> sinks_;
  InProcessHost host_{log_};  // after what it delivers into
  std::shared_ptr<MainThread> main_ = host_.mainThread();
};

TEST_F(InProcessHostTest, EachCallIsAnsweredExactlyOnceOnTheMainThread) {
  std::vector<std::thread> workers;
  host_.setMethodCallHandler(
      "c", [&](const MethodCall& call, std::unique_ptr<MethodResult> result) {
        record("handled");
        std::shared_ptr<MethodResult> shared(std::move(result));
        for (int i = 0; i < 2; ++i) {
          workers.emplace_back([call, shared] { shared->success(call.arguments); });
        }
      });
  host_.setMethodCallHandler("gone", [](const MethodCall&, std::unique_ptr<MethodResult>) {});
  invoke("c", "m");
  invoke("gone", "dropped");
  invoke("nobody", "m");
  host_.flush();
  std::for_each(workers.begin(), workers.end(), [](std::thread& worker) { worker.join(); });
  host_.flush();
  Strings logged = log_->lines();
  std::sort(inbox_.begin(), inbox_.end());
  std::sort(logged.begin(), logged.end());
  EXPECT_EQ(inbox_, (Strings{"\"x\"", "handled", "not implemented"}));
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[0], "tarq: call of \"dropped\" on \"gone\" was dropped without an answer");
  EXPECT_TRUE(logged[1].starts_with("tarq: second answer to \"m\" on \"c\" ignored: "));
}

TEST_F(InProcessHostTest, EventsAndAnswersKeepTheirOrderAndReachOnlyTheCurrentListener) {
  host_.setStreamHandler("events", std::shared_ptr<StreamHandler>(std::shared_ptr<void>(), this));
  listen("a");
  host_.flush();
  std::thread([sink = sinks_[0]] {
    for (int i = 0; i < 100; ++i) {
      sink->success(i);
    }
  }).join();
  listen("b");
  host_.setMethodCallHandler("c", [&](const MethodCall&, std::unique_ptr<MethodResult> result) {
    // As the plug-in does from its work queue: event, answer, event.
    std::thread([this, shared = std::shared_ptr<MethodResult>(std::move(result)),
                 sink = sinks_[1]] {
      main_->post([sink] { sink->success("connected"); });
      main_->post([shared] { shared->success(); });
      main_->post([sink] { sink->success("stats"); });
    }).join();
  });
  invoke("c", "start");
  host_.flush();
  host_.flush();
  sinks_[0]->success("stale");  // a replaced listener hears nothing more
  sinks_[1]->error("code", "message", Value());
  host_.cancel("events", "c");
  sinks_[1]->success("after cancel");
  host_.flush();

  Strings expected{"listen \"a\""};
  for (int i = 0; i < 100; ++i) {
    expected.push_back(std::to_string(i));
  }
  expected.insert(expected.end(), {"listen \"b\"", "\"connected\"", "null", "\"stats\"",
                                   "error code", "cancel \"c\""});
  EXPECT_EQ(inbox_, expected);
}

TEST(InProcessHostShutdownTest, ReleasesHandlersOnTheMainThreadAndDropsLatePosts) {
  auto host = std::make_unique<InProcessHost>(std::make_shared<MemoryLog>());
  auto main = host->mainThread();
  std::promise<bool> releasedOnMain;  // as a plug-in held by a handler would be
  std::shared_ptr<void> probe(nullptr, [&](void*) { releasedOnMain.set_value(main->isCurrent()); });
  host->setMethodCallHandler("c", [probe](const MethodCall&, std::unique_ptr<MethodResult>) {});
  probe.reset();
  host.reset();
  auto released = releasedOnMain.get_future();
  ASSERT_EQ(released.wait_for(std::chrono::seconds(1)), std::future_status::ready);
  EXPECT_TRUE(released.get());
  main->post([] { FAIL() << "ran after shutdown"; });
}

TEST(InProcessHostShutdownTest, ShutdownFromTheMainThreadItselfDoesNotDeadlock) {
  InProcessHost host(std::make_shared<MemoryLog>());
  host.runOnMainThread([&] { host.shutdown(); });
  host.shutdown();
  host.runOnMainThread([] { FAIL() << "ran after shutdown"; });
}

}  // namespace
}  // namespace tarq
