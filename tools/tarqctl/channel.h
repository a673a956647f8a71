// `tarqctl channel`: the two channels on standard input and output, one JSON
// object per line.
//
// In:  {"id": ID, "method": NAME, "arguments": ARGS}  a call on "orvek/engine"
//      {"listen": ARGS} / {"cancel": ARGS}           on "orvek/engine/events"
// Out: {"id": ID, "result": VALUE}
//      {"id": ID, "error": {"code": C, "message": M, "details": D}}
//      {"id": ID, "notImplemented": true}
//      {"event": VALUE}
//      {"protocolError": TEXT}   for an input line that is none of the above
// (and, never sent by this plug-in, {"eventError": {...}} and
// {"endOfStream": true} for the other two things an event sink can do).
//
// Every output line is written on the host's main thread in the order that
// thread receives it, and flushed at once. Blank input lines are skipped. A
// line longer than the limit (by default kMaxChannelLineBytes, twice the
// largest configuration the helper takes) is a protocolError "line longer
// than N bytes", read to its end without being kept. At the end of the input
// the channel waits until every call has been answered, lets the main thread
// deliver what it has, and returns.
#ifndef TARQ_TOOLS_TARQCTL_CHANNEL_H_
#define TARQ_TOOLS_TARQCTL_CHANNEL_H_

#include <cstddef>
#include <cstdio>
#include <istream>

#include "engine_session.h"

namespace tarq {

inline constexpr size_t kMaxChannelLineBytes = size_t{32} << 20;

// Returns the program's exit status.
int runChannel(EngineSession& session, std::istream& input, std::FILE* output,
               size_t maxLineBytes = kMaxChannelLineBytes);

}  // namespace tarq

#endif  // TARQ_TOOLS_TARQCTL_CHANNEL_H_
