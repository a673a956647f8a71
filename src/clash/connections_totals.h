// The traffic totals of a GET /connections reply of the Clash API, read
// without HTTP.
//
// The reply grows with every open connection (about 450 bytes each, megabytes
// with thousands) and comes once a second, so the reader keeps its parser and
// buffers from call to call, sized to what recent replies needed: a reply
// that shrinks a lot gives their memory back.
//
// Small replies take simdjson's fast, validating DOM parse, which writes a
// tape and copies the strings: its peak is about 3.6 times the reply. From
// kStreamFrom bytes on, a reply is read by a TotalsStream instead, which
// validates as strictly but keeps nothing of the reply: no memory beyond the
// reply itself (ClashClient does not even hold the reply), at about 85% of
// the DOM's speed. Both reject and accept the same bodies. The
// stream also reads what the DOM cannot hold, an integer beyond 64 bits
// anywhere, as a double: so such a reply is still read, its totals
// saturating.
//
// Thread safety: none; one reader per thread (ClashClient serialises its own).
#ifndef TARQ_CLASH_CONNECTIONS_TOTALS_H_
#define TARQ_CLASH_CONNECTIONS_TOTALS_H_

#include <cstddef>
#include <memory>
#include <string_view>

#include "clash/traffic_totals.h"

namespace tarq {

class ConnectionsTotalsReader {
 public:
  // Readable bytes that readPadded() needs past the end of the body.
  static constexpr size_t kPadding = 64;

  // Replies of this many bytes and more (about 2,300 connections) are
  // streamed: below it the DOM's extra memory stays under about 3 MB, and its
  // speed is kept for small replies.
  static constexpr size_t kStreamFrom = size_t{1} << 20;

  explicit ConnectionsTotalsReader(size_t streamFrom = kStreamFrom);
  ~ConnectionsTotalsReader();
  ConnectionsTotalsReader(const ConnectionsTotalsReader&) = delete;
  ConnectionsTotalsReader& operator=(const ConnectionsTotalsReader&) = delete;

  // "uploadTotal" and "downloadTotal" of the top-level object, each a JSON
  // number taken as a signed 64-bit integer: fractions truncated toward zero,
  // values beyond the range saturated (to INT64_MAX or INT64_MIN), true and
  // false read as 1 and 0, any other value or a missing key as 0; a repeated
  // key: the last one wins. Throws simdjson::simdjson_error when the body is
  // not JSON (a number beyond the range of a double, such as 1e400, makes it
  // so: "Problem while parsing a number"), and ClashError::badReply() when
  // its top level is an array. A bare scalar at the top is no JSON text here,
  // nor is a body that nests deeper than 1,024 levels, starts with a UTF-8
  // byte order mark (sing-box sends none) or holds a NUL byte.
  TrafficTotals read(std::string_view body);

  // The same for a body followed in memory by at least kPadding readable
  // bytes: read in place, without a copy (a streamed body needs none).
  TrafficTotals readPadded(std::string_view body);

 private:
  struct Parser;
  TrafficTotals readDom(std::string_view body);

  std::unique_ptr<Parser> parser_;
  const size_t streamFrom_;
};

}  // namespace tarq

#endif  // TARQ_CLASH_CONNECTIONS_TOTALS_H_
