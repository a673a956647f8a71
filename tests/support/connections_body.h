// A GET /connections reply shaped like sing-box's: `count` entries of about
// 450 bytes each (id, metadata, upload, download, start, chains, rule,
// rulePayload), then the totals, keys in the engine's order.
#ifndef TARQ_TESTS_SUPPORT_CONNECTIONS_BODY_H_
#define TARQ_TESTS_SUPPORT_CONNECTIONS_BODY_H_

#include <cstdint>
#include <string>

namespace tarq::testing {

std::string connectionsBody(int count, int64_t uploadTotal, int64_t downloadTotal);

}  // namespace tarq::testing

#endif  // TARQ_TESTS_SUPPORT_CONNECTIONS_BODY_H_
