// The one-second traffic sampler, which is also the tunnel's watchdog.
#include <chrono>
#include <limits>
#include <utility>

#include "plugin/tarq_engine_plugin.h"

namespace tarq {
namespace {

constexpr Duration kSampleInterval = std::chrono::seconds(1);

// now - before, saturated: totals near the 64-bit limits must not overflow.
int64_t difference(int64_t now, int64_t before) {
  int64_t result = 0;
  if (__builtin_sub_overflow(now, before, &result)) {
    return now < before ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
  }
  return result;
}

}  // namespace

void TarqEnginePlugin::startStats() {
  if (statsTimer_) {
    statsTimer_->stop();
    statsTimer_.reset();
  }
  statsTimer_ =
      std::make_unique<RepeatingTimer>(*queue_, kSampleInterval, [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) {
          return;
        }
        self->tick();
        // Should this be the last reference, release it in a task of its own
        // rather than inside the timer's firing, which the plug-in owns.
        self->queue_->post([last = std::move(self)] {});
      });
  statsTimer_->start();
}

void TarqEnginePlugin::tick() {
  if (!clash_) {
    return;
  }
  const std::shared_ptr<ClashClient> client = clash_;
  try {
    const TrafficTotals totals = client->totals();
    const int64_t up = difference(totals.up, lastUp_);
    const int64_t down = difference(totals.down, lastDown_);
    // After a drop of the engine's counters the baseline follows them down.
    lastUp_ = totals.up;
    lastDown_ = totals.down;
    emit(Value(ValueMap{{"type", "stats"},
                        {"up", up < 0 ? int64_t{0} : up},
                        {"down", down < 0 ? int64_t{0} : down},
                        {"totalUp", totals.up},
                        {"totalDown", totals.down}}));
    return;
  } catch (...) {
    // Only the helper's answer decides whether the tunnel is gone.
  }
  bool running = false;
  try {
    running = helper_->send({{"op", "status"}}).running;
  } catch (...) {
    // An unreachable helper counts as "not running".
  }
  if (running) {
    return;
  }
  // This runs inside the timer's own firing: stop it now, destroy it in a
  // later task.
  statsTimer_->stop();
  queue_->post([finished = std::shared_ptr<RepeatingTimer>(std::move(statsTimer_))] {});
  clash_.reset();
  publish("error", std::string("the tunnel stopped"), 0);
}

}  // namespace tarq
