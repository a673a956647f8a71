// Which files and folders a configuration may make the engine use.
//
// The helper runs sing-box with more rights than its caller (as root on
// macOS), and sing-box reads, writes, serves or runs whatever files and
// folders its options name. So before an engine starts, every option that
// names a file or folder must name one inside the engine's working folder
// (the engine runs there: `-D FOLDER`), which belongs to the engine alone.
//
// What is judged, and how:
//   - The document is read as sing-box reads it (config_document.h), and
//     every occurrence of every key is judged, in any letter case, wherever it
//     is: Go decodes each occurrence into the option, and a later one need
//     not replace an earlier one.
//   - kConfigPathOptions (config_path_policy.cc) is the one table of what
//     names a file or folder in sing-box 1.11 to 1.14, each row with the
//     documentation page it comes from. The first row whose place matches
//     decides; after the rows for single options come catch-all rows for the
//     key names sing-box gives files (`path`, `*_path`, `*_directory`,
//     `directory`, `*_file`, `*_files`, `output`, ...), anywhere. A few places
//     where such a key is something else (a transport's URL `path`,
//     `process_path` rule matchers, ...) are exempt, and only where sing-box
//     certainly reads them so: a place that depends on an object's `type`
//     is exempt only when every `type` of the object says so.
//   - A path is a string, or strings in arrays at any depth. A relative path
//     resolves against the folder; the result, cleaned lexically, must be the
//     folder or inside it. Refused always: a NUL byte, `~` forms, `$` (some
//     options expand environment variables), `file:` URLs in any letter case.
//     The empty string means "unset" and passes. The folder is the engine's
//     own, so it holds no links that could lead out of it.
//   - A folder that sing-box serves over the network (the Clash API's
//     `external_ui`, a Hysteria2 `masquerade` folder) must be a proper
//     subfolder: the folder itself would hand out every file of the engine.
//
// Thread safety: plain functions of their arguments; the table is constant.
#ifndef TARQ_DAEMON_CORE_CONFIG_PATH_POLICY_H_
#define TARQ_DAEMON_CORE_CONFIG_PATH_POLICY_H_

#include <span>
#include <string>
#include <string_view>

#include "config_document.h"
#include "config_intake.h"

namespace tarq {

// An option that names a path outside the engine's folder. what() is
// exactly "configuration: OPTION names a path outside the engine's folder:
// VALUE", with OPTION the option's place in sing-box's lower-case names
// ("route.rule_set[1].path") and VALUE the string as given, shortened when
// very long and with control characters escaped; the daemon sends it back as
// the reply's "error".
class ConfigPathRefused : public RequestRefused {
 public:
  ConfigPathRefused(std::string option, std::string value);

  const std::string& option() const { return option_; }
  const std::string& value() const { return value_; }

 private:
  std::string option_;
  std::string value_;
};

// Throws ConfigPathRefused for the first refused option, in document order.
// `engineFolder` is the engine's working folder: an absolute path (trailing
// slashes are fine); std::invalid_argument otherwise.
void checkConfigPaths(const ConfigDocument& document, const std::string& engineFolder);

// Reads `text` as sing-box would and checks it. Throws RequestRefused:
// ConfigPathRefused, or one whose what() is the reader's error
// ("configuration: row 3, column 7: ...").
void checkConfigText(std::string_view text, const std::string& engineFolder);

// What a row of the table does with the values at its place.
enum class ConfigPathRule {
  kNotAPath,      // exempt: sing-box documents it as something else
  kPath,          // a file or folder sing-box reads or writes
  kServedFolder,  // a folder served over the network: a proper subfolder
  kProgram,       // a program run; a bare name would be looked up on PATH
  kRefused,       // every value refused: it can name files in ways not judged here
  kNamespace,     // a network namespace: a name in /var/run/netns or a path
  kMasquerade,    // a URL string; a `file:` one serves a folder
  kDownload,      // a download that writes where its archive says
  kRequired,      // the row's place is an object that must name `required`
};

struct ConfigPathOption {
  // The place: dotted folded keys, `[]` for any array index, `**` for any
  // number of levels, `*` in a key for any text.
  std::string_view option;
  // When not empty: the `type`s (comma-separated) of the object holding the
  // key for which the row holds.
  std::string_view types;
  ConfigPathRule rule;
  std::string_view what;  // for a person
  std::string_view page;  // in sing-box's source tree, usually docs/configuration/...
  // kRequired: the key the object needs, and what sing-box uses without it.
  std::string_view required = {};
  std::string_view unsetMeans = {};
};

// The table, in the order in which rows are tried.
std::span<const ConfigPathOption> configPathOptions();

}  // namespace tarq

#endif  // TARQ_DAEMON_CORE_CONFIG_PATH_POLICY_H_
