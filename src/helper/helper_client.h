// The client of the helper daemon: one compact JSON object per line, one
// request per exchange.
//
// Thread safety: the client has no mutable state; send() may be called from
// any thread, and each exchange uses its own connection.
#ifndef TARQ_HELPER_HELPER_CLIENT_H_
#define TARQ_HELPER_HELPER_CLIENT_H_

#include <memory>
#include <nlohmann/json.hpp>

#include "helper/helper_reply.h"
#include "helper/helper_transport.h"

namespace tarq {

class HelperClient {
 public:
  explicit HelperClient(std::unique_ptr<HelperTransport> transport);

  // Sends `request` (a JSON object whose "op" names the command) and decodes
  // the reply. A reply with "ok" false is a normal result. Throws the
  // transport's HelperError, nlohmann::json's parse error when the reply is
  // not JSON (or its top level is a bare scalar, or it holds a NUL byte, or
  // it nests more than 64 levels deep), nlohmann's out_of_range for a number
  // beyond the range of a double, and HelperError::io("unreadable reply")
  // when it is JSON but not an object.
  HelperReply send(const nlohmann::json& request) const;

  // Decodes one reply line; the decoding half of send(), throwing what
  // send() throws for a bad reply (nlohmann's out_of_range included).
  static HelperReply decode(const std::string& line);

 private:
  std::unique_ptr<HelperTransport> transport_;
};

}  // namespace tarq

#endif  // TARQ_HELPER_HELPER_CLIENT_H_
