// A fresh folder under the system's temporary directory, removed with all its
// content when the object goes. Short paths, so that Unix socket paths fit.
#ifndef TARQ_TESTS_SUPPORT_TEMP_DIR_H_
#define TARQ_TESTS_SUPPORT_TEMP_DIR_H_

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace tarq::testing {

class TempDir {
 public:
  TempDir() {
    if (mkdtemp(path_.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name.
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_ = "/tmp/tarq-XXXXXX";
};

}  // namespace tarq::testing

#endif  // TARQ_TESTS_SUPPORT_TEMP_DIR_H_
