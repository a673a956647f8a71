// Whether a freshly launched engine is serving yet: its configuration names
// the Clash API's address, and the engine is up once that accepts a TCP
// connection. The helper watches a new engine until it serves or exits, so
// that a configuration the engine rejects shows in the very next "status"
// instead of as a Clash API that never answers.
#ifndef TARQ_DAEMON_CORE_READINESS_PROBE_H_
#define TARQ_DAEMON_CORE_READINESS_PROBE_H_

#include <functional>
#include <string>

namespace tarq {

// A probe for experimental.clash_api.external_controller of `configText`,
// read as sing-box reads it (config_document.h) and as it listens on it
// (clash_controller_address.h); an empty function when the text names no
// address that a connection can test (none, a host name, port 0) or is no
// configuration sing-box would read (the engine may still accept it: it just
// cannot be probed). The reading costs memory in proportion to the text's
// size (config_document.h), at most 64 levels deep.
std::function<bool()> clashApiProbe(const std::string& configText);

}  // namespace tarq

#endif  // TARQ_DAEMON_CORE_READINESS_PROBE_H_
