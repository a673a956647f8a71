#include "process_figures.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace tarq {
namespace {

// The number after "Name:" in /proc/self/status.
int64_t statusField(const std::string& status, const std::string& name) {
  const auto at = status.find("\n" + name + ":");
  return at == std::string::npos ? -1 : std::stoll(status.substr(at + name.size() + 2));
}

}  // namespace

ProcessFigures ProcessFigures::ofSelf() {
  ProcessFigures figures;
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    ++figures.descriptors;
  }
  --figures.descriptors;  // the one that reads the folder
  std::ifstream file("/proc/self/status");
  const std::string status = "\n" + std::string(std::istreambuf_iterator<char>(file), {});
  figures.threads = statusField(status, "Threads");
  figures.residentKiB = statusField(status, "VmRSS");
  return figures;
}

std::vector<pid_t> processesWith(const std::string& text) {
  std::vector<pid_t> found;
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator("/proc", error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    const std::string name = it->path().filename();
    if (name.empty() || !std::all_of(name.begin(), name.end(), ::isdigit)) {
      continue;
    }
    std::ifstream file(it->path() / "cmdline");
    std::string line(std::istreambuf_iterator<char>(file), {});
    std::replace(line.begin(), line.end(), '\0', ' ');
    const pid_t pid = static_cast<pid_t>(std::stol(name));
    if (pid != getpid() && line.find(text) != std::string::npos) {
      found.push_back(pid);
    }
  }
  return found;
}

}  // namespace tarq
