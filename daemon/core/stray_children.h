// What an engine leaves behind. The engine runs in a process group of its
// own and is stopped through that group, but a process it forked can leave
// the group (setsid) and outlive it. On Linux the daemon is the reaper of
// its orphaned descendants, so every such process becomes a child of the
// daemon, where it is found and ended the moment its engine is gone:
// nothing of an engine outlives it, and two engines never run.
//
// Elsewhere there is no such reaper: only the process group is ended.
#ifndef TARQ_DAEMON_CORE_STRAY_CHILDREN_H_
#define TARQ_DAEMON_CORE_STRAY_CHILDREN_H_

#include <sys/types.h>

#include <cstddef>

namespace tarq {

// Makes this process the reaper of its orphaned descendants. Returns false
// where the system has no such thing or refused.
bool adoptOrphanedDescendants();

// Kills (SIGKILL) and reaps every child of this process but `keep`, in
// rounds, since a killed child's own children become children of this
// process in turn; returns how many were ended. A child is this process's
// until it is reaped, so its pid cannot name another process meanwhile.
size_t endStrayChildren(pid_t keep);

}  // namespace tarq

#endif  // TARQ_DAEMON_CORE_STRAY_CHILDREN_H_
