// The helper's reply line: the transport hands over the bytes before the
// first line feed (at most kMaxReplyBytes) and HelperClient::decode() turns
// them into a HelperReply. Properties: only the reader's own errors and
// "unreadable reply" escape, and
// a decoded reply, encoded as the daemon would and decoded again, is the same.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "helper/helper_client.h"
#include "helper/helper_error.h"
#include "helper/socket_transport.h"

namespace {

using tarq::fuzzCheck;

nlohmann::json encode(const tarq::HelperReply& reply) {
  return {{"ok", reply.ok},
          {"running", reply.running},
          {"pid", reply.pid},
          {"error", reply.error},
          {"build", reply.build}};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  // What the transport returns: the line without its feed; a longer one never
  // reaches the decoder.
  std::string line = bytes.substr(0, bytes.find('\n'));
  if (line.size() > tarq::kMaxReplyBytes) {
    return 0;
  }
  tarq::HelperReply reply;
  try {
    reply = tarq::HelperClient::decode(line);
  } catch (const nlohmann::json::parse_error&) {
    return 0;
  } catch (const nlohmann::json::out_of_range& error) {
    // The reader's own refusal of a number beyond a double's range.
    fuzzCheck(error.id == 406, "the reader's out_of_range is its number overflow");
    return 0;
  } catch (const tarq::HelperError& error) {
    fuzzCheck(error.kind() == tarq::HelperError::Kind::io && error.message() == "unreadable reply",
              "decode throws HelperError::io(\"unreadable reply\") only");
    return 0;
  }
  // Strings came out of the JSON reader, so they are valid UTF-8 and the
  // strict encoder must take them.
  const std::string again = encode(reply).dump();
  fuzzCheck(tarq::HelperClient::decode(again) == reply, "encode then decode gives the same reply");
  fuzzCheck(again.find('\n') == std::string::npos, "an encoded reply is one line");
  return 0;
}
