// Running the real programs of daemon/ and tools/ from tests: a child process with its
// standard input and output on pipes and its standard error in a file, and
// small helpers to talk to what it serves.
#ifndef TARQ_TESTS_SUPPORT_TOOL_PROCESS_H_
#define TARQ_TESTS_SUPPORT_TOOL_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tarq::testing {

using std::chrono_literals::operator""ms;
using std::chrono_literals::operator""s;

class ToolProcess {
 public:
  // Starts `arguments[0]` with the rest as its arguments, and with
  // `descriptor3` (when given) as its descriptor 3.
  explicit ToolProcess(std::vector<std::string> arguments, int descriptor3 = -1);
  // Ends the process if it still runs: SIGTERM, then SIGKILL after 3 s.
  ~ToolProcess();
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  void writeLine(const std::string& line);
  void closeInput();
  // The next line of standard output; none at its end or after `timeout`.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = 10s);
  // The exit status (128 + N when killed by signal N); none after `timeout`.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout = 10s);
  void signal(int number) const;
  pid_t pid() const { return pid_; }
  // Everything written to standard error so far.
  std::string errorText() const;

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  int errorFile_ = -1;
  std::string buffered_;
  std::optional<int> exitStatus_;
};

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs a program to its end with nothing on standard input.
ToolRun runTool(std::vector<std::string> arguments);

// Polls `condition` every 10 ms until it holds or `timeout` passes.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s);

// One request line to the helper socket at `socketPath`, and its reply line
// ("" when the helper sent nothing). With `asUid` it connects as that user
// (needs root).
std::string helperExchange(const std::string& socketPath, const std::string& request,
                           std::optional<uid_t> asUid = std::nullopt);

// The next line (without its newline) that `connection` receives within
// 10 s; "" when none does.
std::string receiveLine(int connection);

// A connected stream socket to `socketPath`, or -1. With `asUid` it
// connects as that user and group (needs root).
int connectUnix(const std::string& socketPath, std::optional<uid_t> asUid = std::nullopt);

// A TCP port on 127.0.0.1 that nothing listens on right now.
int freeLoopbackPort();

void writeFile(const std::string& path, const std::string& content);

// A sing-box configuration with the Clash API on 127.0.0.1:`port` and the
// selector "tarq" over "direct-a" and "direct-b".
std::string engineConfig(int port, const std::string& secret);

}  // namespace tarq::testing

#endif  // TARQ_TESTS_SUPPORT_TOOL_PROCESS_H_
