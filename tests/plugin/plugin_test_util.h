// Small helpers shared by the plug-in's tests.
#ifndef TARQ_TESTS_PLUGIN_PLUGIN_TEST_UTIL_H_
#define TARQ_TESTS_PLUGIN_PLUGIN_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <string>

#include "clash-api-server/clash_api_server.h"
#include "host/value.h"
#include "tests/support/fake_helper_daemon.h"
#include "tests/support/plugin_harness.h"

namespace tarq::testing {

inline constexpr char kConfigText[] =
    R"({"outbounds":[{"type":"selector","tag":"tarq"}],"secret":"hunter2"})";

inline Value startArguments(int port, const std::string& secret = "s3cret",
                            const std::string& selected = "direct-b") {
  return Value(ValueMap{{"config", kConfigText},
                        {"selected", selected},
                        {"clashPort", port},
                        {"clashSecret", secret}});
}

inline std::string errorCode(const MethodResponse& response) {
  const FlutterError* error = asError(response);
  return error ? error->code : "";
}

inline std::string errorMessage(const MethodResponse& response) {
  const FlutterError* error = asError(response);
  return error ? error->message : "";
}

// The "status" event or answer's "error" text, or "" when absent.
inline std::string errorOf(const Value& map) {
  const Value* error = map.find("error");
  return error ? *error->get<std::string>() : "";
}

// A listening plug-in, a fake helper daemon and the stand-in's Clash API.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override { harness.listen(); }

  MethodResponse start(const std::string& selected = "direct-b") {
    return harness.call("start", startArguments(clash.port(), "s3cret", selected));
  }
  MethodResponse select(const std::string& tag) {
    return harness.call("select", Value(ValueMap{{"tag", tag}}));
  }

  PluginHarness harness;
  FakeHelperDaemon daemon{harness.socketPath};
  ClashApiServer clash{ClashApiSetup{.secret = "s3cret"}};
};

}  // namespace tarq::testing

#endif  // TARQ_TESTS_PLUGIN_PLUGIN_TEST_UTIL_H_
