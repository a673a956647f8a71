// A fresh folder under the system's temporary directory, removed with all its
// content when the object goes. Short paths, so that Unix socket paths fit.
#ifndef TARQ_TESTS_SUPPORT_TEMP_DIR_H_
#define TARQ_TESTS_SUPPORT_TEMP_DIR_H_

#include <string>

namespace tarq::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name.
  std::string file(const std::string& name) const;

 private:
  std::string path_;
};

}  // namespace tarq::testing

#endif  // TARQ_TESTS_SUPPORT_TEMP_DIR_H_
