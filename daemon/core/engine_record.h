// The record of the running engine in the helper's state folder: its pid and
// the process's start time. When the helper itself is restarted (a crash, a
// service manager's restart), the engine of its previous run may still be
// running; the record lets the new helper find and stop exactly that process,
// never another one that has since been given the same pid.
#ifndef TARQ_DAEMON_CORE_ENGINE_RECORD_H_
#define TARQ_DAEMON_CORE_ENGINE_RECORD_H_

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace tarq {

// When the live (not yet ended) process `pid` started, in the system's own
// units; none when there is no such process or it has ended.
std::optional<uint64_t> processStartTime(pid_t pid);

// Records `pid` at `path` (mode 0600, replaced atomically). Errors are
// ignored: the record only helps a later run.
void writeEngineRecord(const std::string& path, pid_t pid);

// Stops the process recorded at `path` if that same process still runs:
// SIGTERM, then SIGKILL after `grace`; removes the record. On Linux through a
// process descriptor, so that no other process that took over the number
// can be signalled, and with the process group it leads. Returns what was
// done, for the log ("" when there was nothing to do).
std::string stopRecordedEngine(const std::string& path, std::chrono::milliseconds grace);

}  // namespace tarq

#endif  // TARQ_DAEMON_CORE_ENGINE_RECORD_H_
