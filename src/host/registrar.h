// What a plug-in sees of its host: channel registration by name and the main
// thread. The in-process host implements it on Linux; the macOS bridge
// implements it over FlutterMacOS.
//
// Thread safety: postToMainThread() may be called from any thread; every other
// method is called on the main thread.
#ifndef TARQ_HOST_REGISTRAR_H_
#define TARQ_HOST_REGISTRAR_H_

#include <functional>
#include <memory>
#include <string>

#include "host/method_call.h"
#include "host/method_result.h"
#include "host/stream_handler.h"

namespace tarq {

// Posts tasks to the host's main thread, in order. Shared so that tasks
// posted late (after the host is gone) are dropped instead of crashing.
class MainThread {
 public:
  virtual ~MainThread() = default;
  virtual void post(std::function<void()> task) = 0;
  virtual bool isCurrent() const = 0;
};

using MethodCallHandler =
    std::function<void(const MethodCall& call, std::unique_ptr<MethodResult> result)>;

class Registrar {
 public:
  virtual ~Registrar() = default;

  // Makes `handler` receive every call on the method channel `channel`,
  // replacing any earlier handler. The host keeps the handler, and what it
  // captures, alive as long as the channel is registered.
  virtual void setMethodCallHandler(const std::string& channel, MethodCallHandler handler) = 0;

  // Makes `handler` the stream handler of the event channel `channel`. The
  // host keeps it alive as long as the channel is registered.
  virtual void setStreamHandler(const std::string& channel,
                                std::shared_ptr<StreamHandler> handler) = 0;

  virtual std::shared_ptr<MainThread> mainThread() = 0;
};

}  // namespace tarq

#endif  // TARQ_HOST_REGISTRAR_H_
