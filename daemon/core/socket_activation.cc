#include "socket_activation.h"

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace tarq {
namespace {

std::string variable(const char* name) {
  const char* value = getenv(name);
  return value != nullptr ? value : "";
}

bool isListeningUnixStream(int descriptor) {
  struct stat info {};
  int type = 0;
  int listening = 0;
  socklen_t size = sizeof type;
  socklen_t listeningSize = sizeof listening;
  sockaddr_storage address{};
  socklen_t addressSize = sizeof address;
  return fstat(descriptor, &info) == 0 && S_ISSOCK(info.st_mode) &&
         getsockopt(descriptor, SOL_SOCKET, SO_TYPE, &type, &size) == 0 && type == SOCK_STREAM &&
         getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &addressSize) == 0 &&
         address.ss_family == AF_UNIX &&
#if defined(SO_ACCEPTCONN)
         getsockopt(descriptor, SOL_SOCKET, SO_ACCEPTCONN, &listening, &listeningSize) == 0 &&
         listening != 0;
#else
         (static_cast<void>(listening), static_cast<void>(listeningSize), true);
#endif
}

}  // namespace

int activatedSocket() {
  std::string pid = variable("LISTEN_PID");
  std::string count = variable("LISTEN_FDS");
  unsetenv("LISTEN_PID");
  unsetenv("LISTEN_FDS");
  unsetenv("LISTEN_FDNAMES");
  // Variables meant for another process (inherited by mistake) are not ours.
  if (pid.empty() || count.empty() || pid != std::to_string(getpid())) {
    return -1;
  }
  if (count != "1") {
    throw std::runtime_error("the service manager handed over " + count +
                             " sockets; the helper takes exactly one");
  }
  if (!isListeningUnixStream(kFirstActivatedDescriptor)) {
    throw std::runtime_error(
        "descriptor 3 handed over by the service manager is not a listening Unix stream socket");
  }
  return kFirstActivatedDescriptor;
}

}  // namespace tarq
