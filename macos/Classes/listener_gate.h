// Which Dart listener of the event channel may still receive events.
//
// Flutter's FlutterEventChannel only forgets its own reference to a
// listener's FlutterEventSink when Dart cancels; a sink already handed to the
// plug-in goes on sending on the channel, and so would reach the next
// listener. The core stops emitting only once its work queue has seen the
// cancel, and events it emitted before that may already wait on the main
// queue. So every event carries the ticket of the listen that created its
// sink, and is handed to Flutter, on the main thread, only while that ticket
// is the open one: from the cancel (or the next listen) on, nothing of the
// old listener gets through, queued events included.
//
// Plain C++, so that it is tested on Linux; the bridge (flutter_host.h) only
// uses it.
#ifndef TARQ_MACOS_CLASSES_LISTENER_GATE_H_
#define TARQ_MACOS_CLASSES_LISTENER_GATE_H_

#include <atomic>
#include <cstdint>

namespace tarq::macos {

// Thread-safe. Flutter calls listen and cancel on the main thread, where
// events are delivered too, so a check made there just before delivery
// cannot race a cancel; a check on another thread is only an early drop.
class ListenerGate {
 public:
  using Ticket = std::uint64_t;

  // On listen: the new listener's ticket. Every earlier ticket is refused
  // from now on.
  Ticket open() {
    const Ticket ticket = last_.fetch_add(1, std::memory_order_relaxed) + 1;
    open_.store(ticket, std::memory_order_release);
    return ticket;
  }

  // On cancel: every ticket is refused until the next open().
  void close() { open_.store(kClosed, std::memory_order_release); }

  // Whether an event of the listener holding `ticket` may go to Flutter.
  bool admits(Ticket ticket) const {
    return ticket != kClosed && open_.load(std::memory_order_acquire) == ticket;
  }

 private:
  static constexpr Ticket kClosed = 0;

  std::atomic<Ticket> last_{kClosed};
  std::atomic<Ticket> open_{kClosed};
};

}  // namespace tarq::macos

#endif  // TARQ_MACOS_CLASSES_LISTENER_GATE_H_
