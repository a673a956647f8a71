// The application bundle a helper program ships in. launchd runs the daemon
// from inside the application (the property list's BundleProgram,
// Contents/MacOS/tarq-helper), so the daemon finds the application from its
// own path, and pins its callers to the application's signature.
#ifndef TARQ_DAEMON_TARQ_HELPER_ENCLOSING_APPLICATION_H_
#define TARQ_DAEMON_TARQ_HELPER_ENCLOSING_APPLICATION_H_

#include <optional>
#include <string>

namespace tarq {

// For an executable at "/Applications/Name.app/Contents/MacOS/program"
// (an absolute path without "." or ".." parts, links resolved), the bundle
// "/Applications/Name.app"; none when the program is not in the Contents/MacOS
// folder of an application bundle.
std::optional<std::string> enclosingApplication(const std::string& executablePath);

}  // namespace tarq

#endif  // TARQ_DAEMON_TARQ_HELPER_ENCLOSING_APPLICATION_H_
