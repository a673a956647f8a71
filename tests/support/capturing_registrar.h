// A registrar without a host: it keeps the handlers the plug-in registers so
// that the caller can play the main thread itself, and runs main-thread posts
// inline.
#ifndef TARQ_TESTS_SUPPORT_CAPTURING_REGISTRAR_H_
#define TARQ_TESTS_SUPPORT_CAPTURING_REGISTRAR_H_

#include <memory>
#include <string>

#include "host/registrar.h"

namespace tarq::testing {

class CapturingRegistrar final : public Registrar {
 public:
  class Inline final : public MainThread {
   public:
    void post(std::function<void()> task) override { task(); }
    bool isCurrent() const override { return true; }
  };

  void setMethodCallHandler(const std::string&, MethodCallHandler handler) override {
    methodHandler = std::move(handler);
  }
  void setStreamHandler(const std::string&, std::shared_ptr<StreamHandler> handler) override {
    streamHandler = std::move(handler);
  }
  std::shared_ptr<MainThread> mainThread() override { return main; }

  MethodCallHandler methodHandler;
  std::shared_ptr<StreamHandler> streamHandler;
  std::shared_ptr<MainThread> main = std::make_shared<Inline>();
};

}  // namespace tarq::testing

#endif  // TARQ_TESTS_SUPPORT_CAPTURING_REGISTRAR_H_
