// The system log: plain text lines, each starting "tarq: ", with no levels.
//
// Thread safety: write() may be called from any thread.
#ifndef TARQ_SUPPORT_SYSTEM_LOG_H_
#define TARQ_SUPPORT_SYSTEM_LOG_H_

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tarq {

inline constexpr std::string_view kLogPrefix = "tarq: ";

class SystemLog {
 public:
  virtual ~SystemLog() = default;

  // Writes one line. `line` is the whole text, prefix included.
  virtual void write(std::string_view line) = 0;

  // syslog(3) on Linux.
  static std::shared_ptr<SystemLog> system();
};

// Writes each line to standard error as well as to another log; used by the
// command-line tools so that a person sees the diagnostics.
class TeeToStderrLog final : public SystemLog {
 public:
  explicit TeeToStderrLog(std::shared_ptr<SystemLog> next);
  void write(std::string_view line) override;

 private:
  std::shared_ptr<SystemLog> next_;
  std::mutex mutex_;
};

// Keeps every line in memory; for tests.
class MemoryLog final : public SystemLog {
 public:
  void write(std::string_view line) override;
  std::vector<std::string> lines() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace tarq

#endif  // TARQ_SUPPORT_SYSTEM_LOG_H_
