// The gate that keeps a cancelled Dart listener's events from Flutter. The
// main thread is a WorkQueue here; "emit" is what the bridge's event sink
// adapter does: an early check on the emitting thread, then the deciding
// check when the event's turn comes on the main thread.
#include "macos/Classes/listener_gate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <thread>
#include <vector>

#include "support/clock.h"
#include "support/work_queue.h"

namespace tarq::macos {
namespace {

using Ticket = ListenerGate::Ticket;

// The real-thread case below covers a cancel and a listen after it; here a
// listen that replaces one never cancelled, and a cancel repeated.
TEST(ListenerGateTest, ANewListenRetiresTheOldTicketWithoutACancel) {
  ListenerGate gate;
  EXPECT_FALSE(gate.admits(0));
  const Ticket first = gate.open();
  const Ticket second = gate.open();
  EXPECT_TRUE(gate.admits(second));
  EXPECT_FALSE(gate.admits(first));
  gate.close();
  gate.close();
  EXPECT_FALSE(gate.admits(second));
}

class MainThreadSink {
 public:
  MainThreadSink() : main_("main", Clock::system()) {}

  void onMain(std::function<void()> task) { main_.post(std::move(task)); }

  void emit(Ticket ticket) {
    if (!gate_.admits(ticket)) {
      return;
    }
    main_.post([this, ticket] {
      if (gate_.admits(ticket)) {
        delivered_.push_back(ticket);
      }
    });
  }

  // Waits for every task posted so far; then the delivered events.
  std::vector<Ticket> drain() {
    std::promise<void> done;
    main_.post([&done] { done.set_value(); });
    done.get_future().wait();
    return delivered_;
  }

  ListenerGate& gate() { return gate_; }

 private:
  ListenerGate gate_;
  std::vector<Ticket> delivered_;  // on the main thread only
  WorkQueue main_;
};

TEST(ListenerGateTest, AfterCancelNoEventOfTheOldListenerReachesFlutterEvenIfAlreadyQueued) {
  MainThreadSink sink;
  std::promise<Ticket> firstListen;
  sink.onMain([&] { firstListen.set_value(sink.gate().open()); });
  const Ticket first = firstListen.get_future().get();
  for (int i = 0; i < 10; ++i) {
    sink.emit(first);
  }

  // The main thread is busy while the core queues 100 more events behind it;
  // then Dart's cancel arrives there, before the queued events get their turn.
  std::promise<void> busy;
  std::promise<void> queued;
  sink.onMain([&] {
    busy.set_value();
    queued.get_future().wait();
    sink.gate().close();
  });
  busy.get_future().wait();
  for (int i = 0; i < 100; ++i) {
    sink.emit(first);
  }
  queued.set_value();

  // A new listen, while the core still emits on the old sink until its work
  // queue sees the cancel, and already on the new one.
  std::promise<Ticket> secondListen;
  sink.onMain([&] { secondListen.set_value(sink.gate().open()); });
  const Ticket second = secondListen.get_future().get();
  std::thread oldSink([&] {
    for (int i = 0; i < 200; ++i) {
      sink.emit(first);
    }
  });
  std::thread newSink([&] {
    for (int i = 0; i < 100; ++i) {
      sink.emit(second);
    }
  });
  oldSink.join();
  newSink.join();

  std::vector<Ticket> expected(10, first);
  expected.insert(expected.end(), 100, second);
  EXPECT_EQ(sink.drain(), expected);
}

}  // namespace
}  // namespace tarq::macos
