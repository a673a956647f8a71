// Figures of processes, read from /proc: this process's descriptors,
// threads and resident memory, and which processes run with a given text in
// their command line.
#ifndef TARQ_TOOLS_SOAK_PROCESS_FIGURES_H_
#define TARQ_TOOLS_SOAK_PROCESS_FIGURES_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tarq {

struct ProcessFigures {
  int64_t descriptors = 0;
  int64_t threads = 0;
  int64_t residentKiB = 0;

  static ProcessFigures ofSelf();
};

// Processes (but this one) whose command line contains `text`.
std::vector<pid_t> processesWith(const std::string& text);

}  // namespace tarq

#endif  // TARQ_TOOLS_SOAK_PROCESS_FIGURES_H_
