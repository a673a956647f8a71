#include "daemon/tarq-helper/enclosing_application.h"

#include <string_view>

namespace tarq {
namespace {

constexpr std::string_view kExecutableFolder = "/Contents/MacOS/";
constexpr std::string_view kBundleExtension = ".app";

bool endsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

}  // namespace

std::optional<std::string> enclosingApplication(const std::string& executablePath) {
  std::string_view path = executablePath;
  size_t lastSlash = path.rfind('/');
  if (path.empty() || path.front() != '/' || lastSlash == std::string_view::npos ||
      lastSlash + 1 == path.size()) {
    return std::nullopt;
  }
  std::string_view folder = path.substr(0, lastSlash + 1);
  if (!endsWith(folder, kExecutableFolder)) {
    return std::nullopt;
  }
  std::string_view bundle = folder.substr(0, folder.size() - kExecutableFolder.size());
  std::string_view bundleName = bundle.substr(bundle.rfind('/') + 1);
  if (!endsWith(bundleName, kBundleExtension) || bundleName.size() == kBundleExtension.size()) {
    return std::nullopt;
  }
  for (std::string_view part :
       {std::string_view("/./"), std::string_view("/../"), std::string_view("//")}) {
    if (path.find(part) != std::string_view::npos) {
      return std::nullopt;
    }
  }
  return std::string(bundle);
}

}  // namespace tarq
