// What sing-box's Clash API answers tarqctl while a start runs, so that a
// start that times out waiting for it can be explained.
//
// The plug-in stops the engine before it answers a failed start, so a look
// afterwards would only ever find nothing listening. A ClashWatch therefore
// asks GET /version on 127.0.0.1:PORT with the secret the plug-in uses, a few
// times a second while the start runs, and keeps the last answer.
//
// Thread safety: start() and stop() from one thread; last() from any.
#ifndef TARQ_TOOLS_TARQCTL_CLASH_WATCH_H_
#define TARQ_TOOLS_TARQCTL_CLASH_WATCH_H_

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace tarq {

enum class ClashAnswer {
  kNotAsked,        // no look yet
  kNothingListens,  // the connection was refused
  kUnauthorized,    // 401: the secret does not match
  kAnswered,        // 2xx
  kOther,           // another status, or no HTTP answer in time
};

// One look: GET /version with "Authorization: Bearer SECRET" (none when the
// secret is empty), within about a second.
ClashAnswer askClashApi(int64_t port, const std::string& secret, long* status = nullptr);

class ClashWatch {
 public:
  ClashWatch() = default;
  ~ClashWatch() { stop(); }
  ClashWatch(const ClashWatch&) = delete;
  ClashWatch& operator=(const ClashWatch&) = delete;

  void start(int64_t port, std::string secret);
  // Ends the looking; returns within about a second.
  void stop();
  ClashAnswer last() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable stopping_;
  bool stop_ = false;
  ClashAnswer last_ = ClashAnswer::kNotAsked;
  std::thread thread_;
};

}  // namespace tarq

#endif  // TARQ_TOOLS_TARQCTL_CLASH_WATCH_H_
