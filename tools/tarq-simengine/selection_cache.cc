#include "selection_cache.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

namespace tarq {

StoredSelection loadSelection(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  if (!file || !(text << file.rdbuf())) {
    return {};
  }
  nlohmann::json stored = nlohmann::json::parse(text.str(), nullptr, /*allow_exceptions=*/false);
  StoredSelection selection;
  if (!stored.is_object() || !stored["selected"].is_object()) {
    return selection;
  }
  for (const auto& [group, member] : stored["selected"].items()) {
    if (member.is_string()) {
      selection[group] = member.get<std::string>();
    }
  }
  return selection;
}

void saveSelection(const std::string& path, const StoredSelection& selection) {
  const std::string content = nlohmann::json({{"selected", selection}}).dump() + "\n";
  const std::string temporary = path + ".tmp";
  int file = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (file < 0) {
    throw std::runtime_error("cannot write " + temporary + ": " + strerror(errno));
  }
  const bool written =
      write(file, content.data(), content.size()) == static_cast<ssize_t>(content.size());
  const int writeError = errno;
  close(file);
  if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = written ? errno : writeError;
    unlink(temporary.c_str());
    throw std::runtime_error("cannot write " + path + ": " + strerror(error));
  }
}

}  // namespace tarq
