// The engine's launch where there is no Linux: posix_spawn with the start
// state of engine_launch.h. The engine runs as the daemon itself there (on
// macOS it needs root for utun devices and routes).
//
// On macOS, POSIX_SPAWN_CLOEXEC_DEFAULT closes in the engine every
// descriptor that the file actions do not name, whatever its flags: a
// descriptor another thread of the daemon has just accepted or made, and
// not yet marked close-on-exec (macOS has no accept4 or pipe2), never
// reaches the engine.
#if !defined(__linux__)

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <unistd.h>

#include "engine_launch.h"

extern char** environ;  // declared by no header on macOS

namespace tarq {
namespace {

// Closes the spawn attributes and file actions on every way out.
struct SpawnSetup {
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;

  SpawnSetup() {
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_init(&actions);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

}  // namespace

pid_t launchEngine(const EngineLaunch& launch) {
  std::vector<std::string> words = launch.argv;
  std::vector<char*> argv = execArguments(words);

  SpawnSetup setup;
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&setup.attributes, &none);
  posix_spawnattr_setsigdefault(&setup.attributes, &all);
  posix_spawnattr_setpgroup(&setup.attributes, 0);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP;
#if defined(POSIX_SPAWN_CLOEXEC_DEFAULT)
  flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#else
#error "the engine would inherit the daemon's descriptors: no POSIX_SPAWN_CLOEXEC_DEFAULT"
#endif
  posix_spawnattr_setflags(&setup.attributes, flags);
  posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&setup.actions, launch.output, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&setup.actions, launch.output, STDERR_FILENO);
  posix_spawn_file_actions_addchdir_np(&setup.actions, launch.workDirectory.c_str());

  pid_t pid = 0;
  int failure = posix_spawn(&pid, argv[0], &setup.actions, &setup.attributes, argv.data(), environ);
  if (failure != 0) {
    throw EngineLaunchError("cannot run " + launch.argv[0] + ": " + strerror(failure));
  }
  return pid;
}

}  // namespace tarq

#endif  // !defined(__linux__)
