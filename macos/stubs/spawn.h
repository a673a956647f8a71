// Stub of Darwin's <spawn.h> (xnu libsyscall/wrappers/spawn/spawn.h and
// bsd/sys/spawn.h) over the host's: the Darwin extensions. glibc has
// posix_spawn_file_actions_addchdir_np() with the same signature as Darwin
// (macOS 10.15 and later), so it comes from there.
#ifndef TARQ_STUB_SPAWN_H_
#define TARQ_STUB_SPAWN_H_

#pragma clang system_header

#include_next <spawn.h>

// Every descriptor not named by a file action is closed in the child.
#define POSIX_SPAWN_CLOEXEC_DEFAULT 0x4000

#ifdef __cplusplus
extern "C" {
#endif

int posix_spawn_file_actions_addinherit_np(posix_spawn_file_actions_t*, int);

#ifdef __cplusplus
}
#endif

#endif  // TARQ_STUB_SPAWN_H_
