#include "host/in_process_host.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <vector>

namespace tarq {
namespace {

// A stream handler that keeps the sinks it is given and records its calls.
class RecordingStreamHandler final : public StreamHandler {
 public:
  explicit RecordingStreamHandler(std::shared_ptr<MainThread> main) : main_(std::move(main)) {}
  std::optional<FlutterError> onListen(const Value& arguments,
                                       std::shared_ptr<EventSink> events) override {
    calls.push_back("listen " + describe(arguments) + (main_->isCurrent() ? " on main" : ""));
    sinks.push_back(std::move(events));
    return std::nullopt;
  }
  std::optional<FlutterError> onCancel(const Value& arguments) override {
    calls.push_back("cancel " + describe(arguments) + (main_->isCurrent() ? " on main" : ""));
    return std::nullopt;
  }
  // Touched on the main thread; read by the test after a flush.
  std::vector<std::string> calls;
  std::vector<std::shared_ptr<EventSink>> sinks;

 private:
  std::shared_ptr<MainThread> main_;
};

// The application side. Callbacks run on the main thread, and the test reads
// what they recorded only after flush(), so no lock is needed.
class InProcessHostTest : public ::testing::Test {
 protected:
  std::thread::id mainThreadId() {
    std::thread::id id;
    host_.runOnMainThread([&] { id = std::this_thread::get_id(); });
    host_.flush();
    return id;
  }
  InProcessHost::Listener listenerInto(std::vector<std::string>& inbox) {
    return {[&inbox](const Value& event) { inbox.push_back(describe(event)); },
            [&inbox](const FlutterError& error) { inbox.push_back("error " + error.code); },
            [&inbox] { inbox.push_back("end"); }};
  }
  std::function<void(MethodResponse)> responses() {
    return [this](MethodResponse response) {
      inbox_.push_back(describe(response));
      threads_.push_back(std::this_thread::get_id());
    };
  }

  // Declared before the host, which may deliver into them until it is gone.
  std::shared_ptr<MemoryLog> log_ = std::make_shared<MemoryLog>();
  std::vector<std::string> inbox_;
  std::vector<std::thread::id> threads_;
  InProcessHost host_{log_};
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
  host_.invokeMethod("orvek/engine", {"status", "x"}, responses());
  host_.flush();
  worker.join();
  host_.flush();
  EXPECT_EQ(handledOn, mainThreadId());
  EXPECT_EQ(inbox_, std::vector<std::string>{R"({"echo":"x"})"});
  EXPECT_EQ(threads_, std::vector<std::thread::id>{mainThreadId()});
}

TEST_F(InProcessHostTest, AnswersFromTwoThreadsArriveOnceAndTheSecondIsLogged) {
  host_.setMethodCallHandler("c", [&](const MethodCall&, std::unique_ptr<MethodResult> result) {
    std::shared_ptr<MethodResult> shared(std::move(result));
    std::thread first([shared] { shared->success(1); });
    std::thread second([shared] { shared->error("e", "m"); });
    first.join();
    second.join();
  });
  host_.invokeMethod("c", {"m", Value()}, responses());
  host_.flush();
  host_.flush();
  EXPECT_EQ(inbox_.size(), 1u);
  ASSERT_EQ(log_->lines().size(), 1u);
  EXPECT_TRUE(log_->lines()[0].starts_with("tarq: second answer to \"m\" on \"c\" ignored: "));
}

TEST_F(InProcessHostTest, ChannelsWithoutHandlersAnswerNotImplementedOrAnError) {
  host_.invokeMethod("nobody", {"status", Value()}, responses());
  host_.setMethodCallHandler("gone", [](const MethodCall&, std::unique_ptr<MethodResult>) {});
  host_.invokeMethod("gone", {"dropped", Value()}, responses());
  host_.flush();
  host_.setMethodCallHandler("gone", nullptr);
  host_.invokeMethod("gone", {"status", Value()}, responses());
  host_.listen("nothing", Value(), listenerInto(inbox_));
  host_.flush();
  EXPECT_EQ(inbox_,
            (std::vector<std::string>{"not implemented", "not implemented", "error error"}));
  EXPECT_EQ(log_->lines(),
            std::vector<std::string>{
                "tarq: call of \"dropped\" on \"gone\" was dropped without an answer"});
}

TEST_F(InProcessHostTest, EventsArriveInOrderAndOnlyAtTheCurrentListener) {
  auto handler = std::make_shared<RecordingStreamHandler>(host_.mainThread());
  host_.setStreamHandler("events", handler);
  std::vector<std::string> first;
  std::vector<std::string> second;
  host_.listen("events", "a", listenerInto(first));
  host_.flush();
  std::thread([sink = handler->sinks[0]] {
    for (int i = 0; i < 100; ++i) {
      sink->success(i);
    }
  }).join();
  host_.listen("events", "b", listenerInto(second));
  host_.flush();
  handler->sinks[0]->success("stale");  // a replaced listener hears nothing more
  handler->sinks[1]->success("fresh");
  handler->sinks[1]->error("code", "message", Value());
  host_.cancel("events", "c");
  handler->sinks[1]->success("after cancel");
  host_.flush();

  ASSERT_EQ(first.size(), 100u);
  for (size_t i = 0; i < first.size(); ++i) {
    EXPECT_EQ(first[i], std::to_string(i));
  }
  EXPECT_EQ(second, (std::vector<std::string>{"\"fresh\"", "error code"}));
  EXPECT_EQ(handler->calls,
            (std::vector<std::string>{"listen \"a\" on main", "listen \"b\" on main",
                                      "cancel \"c\" on main"}));
}

TEST_F(InProcessHostTest, WhatThePluginHandsOverOnTheMainThreadKeepsItsOrder) {
  auto handler = std::make_shared<RecordingStreamHandler>(host_.mainThread());
  host_.setStreamHandler("events", handler);
  host_.listen("events", Value(), listenerInto(inbox_));
  host_.setMethodCallHandler("c", [&](const MethodCall&, std::unique_ptr<MethodResult> result) {
    // As the plug-in does from its work queue: an event, the answer, an event,
    // each posted to the main thread.
    std::shared_ptr<MethodResult> shared(std::move(result));
    std::thread([main = host_.mainThread(), shared, sink = handler->sinks[0]] {
      main->post([sink] { sink->success("connected"); });
      main->post([shared] { shared->success(); });
      main->post([sink] { sink->success("stats"); });
    }).join();
  });
  host_.invokeMethod("c", {"start", Value()}, responses());
  host_.flush();  // the handler has run and posted its three tasks
  host_.flush();
  EXPECT_EQ(inbox_, (std::vector<std::string>{"\"connected\"", "null", "\"stats\""}));
}

// Records the thread on which it is destroyed, as a plug-in released by the
// host would be.
struct ReleaseProbe {
  ~ReleaseProbe() { released.set_value(std::this_thread::get_id()); }
  std::promise<std::thread::id> released;
};

TEST(InProcessHostShutdownTest, FinishesPendingWorkReleasesOnTheMainThreadAndDropsLatePosts) {
  auto host = std::make_unique<InProcessHost>(std::make_shared<MemoryLog>());
  auto probe = std::make_shared<ReleaseProbe>();
  auto releasedOn = probe->released.get_future();
  std::shared_ptr<MethodResult> lateResult;
  host->setMethodCallHandler(
      "c", [probe, &lateResult](const MethodCall&, std::unique_ptr<MethodResult> result) {
        lateResult = std::move(result);
      });
  probe.reset();
  std::thread::id mainId;
  int ran = 0;
  host->runOnMainThread([&] { mainId = std::this_thread::get_id(); });
  for (int i = 0; i < 50; ++i) {
    host->runOnMainThread([&] {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
      ++ran;
    });
  }
  bool answered = false;
  host->invokeMethod("c", {"m", Value()}, [&](MethodResponse) { answered = true; });
  auto main = host->mainThread();
  host.reset();

  EXPECT_EQ(ran, 50);
  ASSERT_EQ(releasedOn.wait_for(std::chrono::seconds(1)), std::future_status::ready);
  EXPECT_EQ(releasedOn.get(), mainId);
  ASSERT_NE(lateResult, nullptr);
  lateResult->success(1);  // after shutdown: dropped quietly
  bool posted = false;
  main->post([&] { posted = true; });
  EXPECT_FALSE(main->isCurrent());
  EXPECT_FALSE(posted || answered);
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
