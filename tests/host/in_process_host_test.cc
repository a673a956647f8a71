#include "host/in_process_host.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace tarq {
namespace {

using std::chrono::seconds;

// What the application side received, and on which thread.
class Inbox {
 public:
  void add(std::string item) {
    std::lock_guard<std::mutex> guard(mutex_);
    items_.push_back(std::move(item));
    threads_.push_back(std::this_thread::get_id());
  }
  std::vector<std::string> items() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return items_;
  }
  std::vector<std::thread::id> threads() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return threads_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> items_;
  std::vector<std::thread::id> threads_;
};

// A stream handler that keeps the sinks it is given and records its calls.
class RecordingStreamHandler final : public StreamHandler {
 public:
  explicit RecordingStreamHandler(std::shared_ptr<MainThread> main) : main_(std::move(main)) {}

  std::optional<FlutterError> onListen(const Value& arguments,
                                       std::shared_ptr<EventSink> events) override {
    EXPECT_TRUE(main_->isCurrent());
    std::lock_guard<std::mutex> guard(mutex);
    calls.push_back("listen " + describe(arguments));
    sinks.push_back(std::move(events));
    return std::nullopt;
  }
  std::optional<FlutterError> onCancel(const Value& arguments) override {
    EXPECT_TRUE(main_->isCurrent());
    std::lock_guard<std::mutex> guard(mutex);
    calls.push_back("cancel " + describe(arguments));
    return std::nullopt;
  }
  std::shared_ptr<EventSink> sink(size_t index) {
    std::lock_guard<std::mutex> guard(mutex);
    return sinks.at(index);
  }

  std::mutex mutex;
  std::vector<std::string> calls;
  std::vector<std::shared_ptr<EventSink>> sinks;

 private:
  std::shared_ptr<MainThread> main_;
};

class InProcessHostTest : public ::testing::Test {
 protected:
  std::thread::id mainThreadId() {
    std::promise<std::thread::id> id;
    host_.runOnMainThread([&] { id.set_value(std::this_thread::get_id()); });
    return id.get_future().get();
  }

  InProcessHost::Listener listenerInto(Inbox& inbox) {
    return {[&inbox](const Value& event) { inbox.add(describe(event)); },
            [&inbox](const FlutterError& error) { inbox.add("error " + error.code); },
            [&inbox] { inbox.add("end"); }};
  }

  std::function<void(MethodResponse)> responsesInto(Inbox& inbox) {
    return [&inbox](MethodResponse response) { inbox.add(describe(response)); };
  }

  std::shared_ptr<MemoryLog> log_ = std::make_shared<MemoryLog>();
  InProcessHost host_{log_};
  Inbox inbox_;
};

TEST_F(InProcessHostTest, CallsAndAnswersTravelOnTheMainThread) {
  std::thread::id handledOn;
  std::thread worker;
  host_.setMethodCallHandler(
      "orvek/engine", [&](const MethodCall& call, std::unique_ptr<MethodResult> result) {
        handledOn = std::this_thread::get_id();
        worker = std::thread([call, result = std::shared_ptr<MethodResult>(std::move(result))] {
          result->success(ValueMap{{"echo", call.arguments}});
        });
      });
  host_.invokeMethod("orvek/engine", {"status", "x"}, responsesInto(inbox_));
  host_.flush();
  worker.join();
  host_.flush();
  std::thread::id main = mainThreadId();
  EXPECT_EQ(handledOn, main);
  EXPECT_EQ(inbox_.items(), std::vector<std::string>{R"({"echo":"x"})"});
  EXPECT_EQ(inbox_.threads(), std::vector<std::thread::id>{main});
}

TEST_F(InProcessHostTest, AnswersGivenTwiceFromTwoThreadsArriveOnce) {
  host_.setMethodCallHandler("c", [&](const MethodCall&, std::unique_ptr<MethodResult> result) {
    std::shared_ptr<MethodResult> shared(std::move(result));
    std::thread first([shared] { shared->success(1); });
    std::thread second([shared] { shared->error("e", "m"); });
    first.join();
    second.join();
  });
  host_.invokeMethod("c", {"m", Value()}, responsesInto(inbox_));
  host_.flush();
  host_.flush();
  ASSERT_EQ(inbox_.items().size(), 1u);
  auto lines = log_->lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].starts_with("tarq: second answer to \"m\" on \"c\" ignored: ")) << lines[0];
}

TEST_F(InProcessHostTest, UnregisteredChannelAnswersNotImplemented) {
  host_.invokeMethod("nobody", {"status", Value()}, responsesInto(inbox_));
  host_.setMethodCallHandler("gone", [](const MethodCall&, std::unique_ptr<MethodResult>) {});
  host_.setMethodCallHandler("gone", nullptr);
  host_.invokeMethod("gone", {"status", Value()}, responsesInto(inbox_));
  host_.flush();
  EXPECT_EQ(inbox_.items(), (std::vector<std::string>{"not implemented", "not implemented"}));
}

TEST_F(InProcessHostTest, ResultDroppedWithoutAnswerIsLogged) {
  host_.setMethodCallHandler("c", [](const MethodCall&, std::unique_ptr<MethodResult>) {});
  host_.invokeMethod("c", {"start", Value()}, responsesInto(inbox_));
  host_.flush();
  EXPECT_TRUE(inbox_.items().empty());
  ASSERT_EQ(log_->lines().size(), 1u);
  EXPECT_EQ(log_->lines()[0], "tarq: call of \"start\" on \"c\" was dropped without an answer");
}

TEST_F(InProcessHostTest, EventsArriveInOrderAndOnlyAtTheCurrentListener) {
  auto handler = std::make_shared<RecordingStreamHandler>(host_.mainThread());
  host_.setStreamHandler("events", handler);
  Inbox first;
  Inbox second;
  host_.listen("events", "a", listenerInto(first));
  host_.flush();
  std::thread sender([sink = handler->sink(0)] {
    for (int i = 0; i < 100; ++i) {
      sink->success(i);
    }
  });
  sender.join();
  host_.listen("events", "b", listenerInto(second));
  host_.flush();
  handler->sink(0)->success("stale");  // the replaced listener hears nothing more
  handler->sink(1)->success("fresh");
  handler->sink(1)->error("code", "message", Value());
  host_.cancel("events", "c");
  handler->sink(1)->success("after cancel");
  host_.flush();

  ASSERT_EQ(first.items().size(), 100u);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(first.items()[static_cast<size_t>(i)], std::to_string(i));
  }
  EXPECT_EQ(second.items(), (std::vector<std::string>{"\"fresh\"", "error code"}));
  EXPECT_EQ(handler->calls,
            (std::vector<std::string>{"listen \"a\"", "listen \"b\"", "cancel \"c\""}));
}

TEST_F(InProcessHostTest, WhatThePluginHandsOverOnTheMainThreadKeepsItsOrder) {
  auto handler = std::make_shared<RecordingStreamHandler>(host_.mainThread());
  host_.setStreamHandler("events", handler);
  host_.listen("events", Value(), listenerInto(inbox_));
  host_.setMethodCallHandler("c", [&](const MethodCall&, std::unique_ptr<MethodResult> result) {
    // As the plug-in does from its work queue: an event, then the answer,
    // each posted to the main thread.
    std::shared_ptr<MethodResult> shared(std::move(result));
    auto main = host_.mainThread();
    std::thread([main, shared, sink = handler->sink(0)] {
      main->post([sink] { sink->success("connected"); });
      main->post([shared] { shared->success(); });
      main->post([sink] { sink->success("stats"); });
    }).join();
  });
  host_.invokeMethod("c", {"start", Value()}, responsesInto(inbox_));
  host_.flush();
  EXPECT_EQ(inbox_.items(), (std::vector<std::string>{"\"connected\"", "null", "\"stats\""}));
}

TEST_F(InProcessHostTest, ListenWithoutStreamHandlerReportsAnError) {
  host_.listen("nothing", Value(), listenerInto(inbox_));
  host_.flush();
  EXPECT_EQ(inbox_.items(), std::vector<std::string>{"error error"});
}

// Records the thread on which it is destroyed, as a plug-in released by the
// host would be.
struct ReleaseProbe {
  explicit ReleaseProbe(std::promise<std::thread::id>& released) : released_(released) {}
  ~ReleaseProbe() { released_.set_value(std::this_thread::get_id()); }
  std::promise<std::thread::id>& released_;
};

TEST(InProcessHostShutdownTest, FinishesPendingWorkReleasesOnTheMainThreadAndDropsLatePosts) {
  auto log = std::make_shared<MemoryLog>();
  auto host = std::make_unique<InProcessHost>(log);
  std::promise<std::thread::id> released;
  auto probe = std::make_shared<ReleaseProbe>(released);
  std::shared_ptr<MethodResult> lateResult;
  host->setMethodCallHandler(
      "c", [probe, &lateResult](const MethodCall&, std::unique_ptr<MethodResult> result) {
        lateResult = std::move(result);
      });
  probe.reset();
  std::atomic<int> ran{0};
  std::promise<std::thread::id> mainId;
  host->runOnMainThread([&] { mainId.set_value(std::this_thread::get_id()); });
  for (int i = 0; i < 50; ++i) {
    host->runOnMainThread([&] {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
      ++ran;
    });
  }
  Inbox inbox;
  host->invokeMethod("c", {"m", Value()}, [&](MethodResponse) { inbox.add("answered"); });
  auto main = host->mainThread();
  host.reset();

  EXPECT_EQ(ran, 50);
  auto releasedOn = released.get_future();
  ASSERT_EQ(releasedOn.wait_for(seconds(1)), std::future_status::ready);
  EXPECT_EQ(releasedOn.get(), mainId.get_future().get());
  // After shutdown everything posted is dropped, quietly.
  ASSERT_NE(lateResult, nullptr);
  lateResult->success(1);
  bool posted = false;
  main->post([&] { posted = true; });
  EXPECT_FALSE(main->isCurrent());
  EXPECT_FALSE(posted);
  EXPECT_TRUE(inbox.items().empty());
}

TEST(InProcessHostShutdownTest, ShutdownFromTheMainThreadItselfDoesNotDeadlock) {
  InProcessHost host(std::make_shared<MemoryLog>());
  host.runOnMainThread([&] { host.shutdown(); });
  host.shutdown();
  host.flush();
  host.runOnMainThread([] { FAIL() << "ran after shutdown"; });
}

}  // namespace
}  // namespace tarq
