// A program of the soak's own, run as a child: tarq-devhelper. Its standard
// error goes to a file.
//
// Thread safety: none; one thread drives it.
#ifndef TARQ_TOOLS_SOAK_CHILD_PROCESS_H_
#define TARQ_TOOLS_SOAK_CHILD_PROCESS_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace tarq {

class ChildProcess {
 public:
  // Starts `arguments[0]`; throws std::runtime_error when it cannot.
  ChildProcess(std::vector<std::string> arguments, const std::string& errorPath);
  // Ends it as end() does.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  void signal(int number) const;
  // Sends `number` (SIGTERM unless told), SIGKILL after 5 seconds, and reaps
  // it. Returns whether it had to be killed.
  bool end(int number);

 private:
  pid_t pid_ = -1;
};

}  // namespace tarq

#endif  // TARQ_TOOLS_SOAK_CHILD_PROCESS_H_
