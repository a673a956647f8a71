#include "config_path_policy.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <vector>

namespace tarq {
namespace {

using Rule = ConfigPathRule;

constexpr char kTlsPage[] = "docs/configuration/shared/tls.md";
constexpr char kTorPage[] = "docs/configuration/outbound/tor.md";
constexpr char kCatchAll[] = "(any option so named, wherever it is)";

// Every option of sing-box 1.11 to 1.14 that names a file or folder, and the
// places where a file-like key names something else. Rows are tried in
// order; the first whose place (and `type`, if given) matches decides.
constexpr ConfigPathOption kConfigPathOptions[] = {
    // Keys named like files that are not: exempt only where sing-box reads
    // them so.
    {"inbounds[].transport.path", "", Rule::kNotAPath,
     "the URL path of an HTTP, WebSocket or HTTPUpgrade transport",
     "docs/configuration/shared/v2ray-transport.md"},
    {"outbounds[].transport.path", "", Rule::kNotAPath,
     "the URL path of an HTTP, WebSocket or HTTPUpgrade transport",
     "docs/configuration/shared/v2ray-transport.md"},
    {"outbounds[].path", "http", Rule::kNotAPath, "the request path of an HTTP proxy outbound",
     "docs/configuration/outbound/http.md"},
    {"dns.servers[].path", "https,h3", Rule::kNotAPath,
     "the URL path of a DNS over HTTPS or HTTP/3 server (1.12)",
     "docs/configuration/dns/server/https.md, http3.md"},
    {"**.rules[].process_path", "", Rule::kNotAPath,
     "a rule's match on a process's executable path",
     "docs/configuration/route/rule.md, dns/rule.md, rule-set/headless-rule.md"},
    {"**.tcp_multi_path", "", Rule::kNotAPath, "a switch for Multipath TCP",
     "docs/configuration/shared/dial.md, listen.md"},

    // Single options.
    {"log.output", "", Rule::kPath, "the log file", "docs/configuration/log/index.md"},
    {"experimental.cache_file.path", "", Rule::kPath,
     "the cache database (cache.db when unset): selections, Fake IP, remote rule sets",
     "docs/configuration/experimental/cache-file.md"},
    {"experimental.clash_api.external_ui", "", Rule::kServedFolder,
     "a folder served at /ui/ of the Clash API, without its secret",
     "docs/configuration/experimental/clash-api.md"},
    {"experimental.clash_api.external_ui_download_url", "", Rule::kDownload,
     "an archive unpacked into external_ui, its entry names used unchecked",
     "docs/configuration/experimental/clash-api.md"},
    {"experimental.clash_api.cache_file", "", Rule::kPath,
     "the Clash API's old cache file (refused by sing-box since 1.8)",
     "docs/configuration/experimental/clash-api.md"},
    {"route.rule_set[].path", "", Rule::kPath, "a local rule set, read and watched",
     "docs/configuration/rule-set/index.md"},
    {"route.geoip.path", "", Rule::kPath, "the GeoIP database, read or downloaded (1.11)",
     "docs/configuration/route/geoip.md"},
    {"route.geosite.path", "", Rule::kPath, "the Geosite database, read or downloaded (1.11)",
     "docs/configuration/route/geosite.md"},
    {"route.dhcp_lease_files", "", Rule::kPath, "DHCP lease files read to name devices (1.14)",
     "docs/configuration/route/index.md"},
    {"certificate.certificate_path", "", Rule::kPath, "CA certificates to trust (1.12)",
     "docs/configuration/certificate/index.md"},
    {"certificate.certificate_directory_path", "", Rule::kPath,
     "folders of CA certificates to trust (1.12)", "docs/configuration/certificate/index.md"},
    {"**.tls.certificate_path", "", Rule::kPath, "a TLS certificate (chain)", kTlsPage},
    {"**.tls.key_path", "", Rule::kPath, "a TLS private key", kTlsPage},
    {"**.tls.client_certificate_path", "", Rule::kPath,
     "client certificates: to present, or to accept (1.13)", kTlsPage},
    {"**.tls.client_key_path", "", Rule::kPath, "a TLS client's private key (1.13)", kTlsPage},
    {"**.tls.ech.key_path", "", Rule::kPath, "an ECH key", kTlsPage},
    {"**.tls.ech.config_path", "", Rule::kPath, "an ECH configuration", kTlsPage},
    {"**.tls.acme", "", Rule::kRequired, "ACME: needs data_directory", kTlsPage, "data_directory",
     "certmagic's folder in the home directory of sing-box's user"},
    {"**.tls.acme.data_directory", "", Rule::kPath,
     "ACME's folder for its account, keys and certificates", kTlsPage},
    {"dns.servers[].path", "", Rule::kPath, "the hosts files of a hosts server (1.12)",
     "docs/configuration/dns/server/hosts.md"},
    {"outbounds[].private_key_path", "", Rule::kPath, "an SSH private key",
     "docs/configuration/outbound/ssh.md"},
    {"outbounds[].executable_path", "", Rule::kProgram,
     "the tor program run; a bare name is looked up on PATH", kTorPage},
    {"outbounds[].data_directory", "", Rule::kPath, "tor's data folder", kTorPage},
    {"outbounds[].torrc", "", Rule::kRefused,
     "tor options, which can name files and programs tor then uses", kTorPage},
    {"outbounds[].extra_args", "", Rule::kRefused,
     "tor's command line, which can name files likewise", kTorPage},
    {"endpoints[].state_directory", "", Rule::kPath,
     "Tailscale's state, keys included (tailscale when unset; 1.12)",
     "docs/configuration/endpoint/tailscale.md"},
    {"inbounds[].masquerade", "", Rule::kMasquerade,
     "an http(s) URL to proxy; a file: URL serves a folder",
     "docs/configuration/inbound/hysteria2.md"},
    {"inbounds[].masquerade.directory", "", Rule::kServedFolder,
     "a folder served to anyone who connects", "docs/configuration/inbound/hysteria2.md"},
    {"services[].config_path", "", Rule::kPath,
     "the DERP server's key file, made if missing (1.12)", "docs/configuration/service/derp.md"},
    {"services[].mesh_psk_file", "", Rule::kPath, "the DERP mesh key (1.12)",
     "docs/configuration/service/derp.md"},
    {"services[].cache_path", "", Rule::kPath, "the SSM API's cache (1.12)",
     "docs/configuration/service/ssm-api.md"},
    {"services[]", "ccm", Rule::kRequired, "CCM: needs credential_path",
     "docs/configuration/service/ccm.md", "credential_path",
     "~/.claude/.credentials.json of the user sing-box runs for"},
    {"services[]", "ocm", Rule::kRequired, "OCM: needs credential_path",
     "docs/configuration/service/ocm.md", "credential_path",
     "~/.codex/auth.json of the user sing-box runs for"},
    {"services[].credential_path", "", Rule::kPath,
     "OAuth credentials, read and written back (1.13)",
     "docs/configuration/service/ccm.md, ocm.md"},
    {"services[].usages_path", "", Rule::kPath, "usage statistics written (1.13)",
     "docs/configuration/service/ccm.md, ocm.md"},
    {"**.netns", "", Rule::kNamespace,
     "a network namespace to enter: a name in /var/run/netns or a path (1.12)",
     "docs/configuration/shared/dial.md, listen.md"},
    {"**.protect_path", "", Rule::kPath,
     "a Unix socket that is handed every connection's socket (undocumented)", "option/outbound.go"},

    // The same kinds wherever they appear, and every key named like a file.
    {"**.external_ui", "", Rule::kServedFolder, kCatchAll, "docs/configuration/"},
    {"**.external_ui_download_url", "", Rule::kDownload, kCatchAll, "docs/configuration/"},
    {"**.masquerade", "", Rule::kMasquerade, kCatchAll, "docs/configuration/"},
    {"**.masquerade.directory", "", Rule::kServedFolder, kCatchAll, "docs/configuration/"},
    {"**.torrc", "", Rule::kRefused, kCatchAll, "docs/configuration/"},
    {"**.extra_args", "", Rule::kRefused, kCatchAll, "docs/configuration/"},
    {"**.executable_path", "", Rule::kProgram, kCatchAll, "docs/configuration/"},
    {"**.path", "", Rule::kPath, kCatchAll, "docs/configuration/"},
    {"**.*_path", "", Rule::kPath, kCatchAll, "docs/configuration/"},
    {"**.directory", "", Rule::kPath, kCatchAll, "docs/configuration/"},
    {"**.*_directory", "", Rule::kPath, kCatchAll, "docs/configuration/"},
    {"**.*_dir", "", Rule::kPath, kCatchAll, "docs/configuration/"},
    {"**.*_file", "", Rule::kPath, kCatchAll, "docs/configuration/"},
    {"**.*_files", "", Rule::kPath, kCatchAll, "docs/configuration/"},
    {"**.output", "", Rule::kPath, kCatchAll, "docs/configuration/"},
};

// One step of a place: a folded key, or an array index.
struct Step {
  std::string key;
  long index = -1;  // >= 0 for an array item
};
using Place = std::vector<Step>;

// A row's place, split into tokens once.
struct PatternToken {
  enum class Kind { kKey, kIndex, kAnyLevels } kind;
  std::string_view text;  // kKey: may hold one '*'
};

std::vector<PatternToken> tokenize(std::string_view pattern) {
  std::vector<PatternToken> tokens;
  while (!pattern.empty()) {
    size_t dot = pattern.find('.');
    std::string_view segment = pattern.substr(0, dot);
    pattern = dot == std::string_view::npos ? std::string_view() : pattern.substr(dot + 1);
    int indices = 0;
    while (segment.size() >= 2 && segment.substr(segment.size() - 2) == "[]") {
      segment.remove_suffix(2);
      ++indices;
    }
    if (segment == "**") {
      tokens.push_back({PatternToken::Kind::kAnyLevels, segment});
    } else {
      tokens.push_back({PatternToken::Kind::kKey, segment});
    }
    for (int i = 0; i < indices; ++i) {
      tokens.push_back({PatternToken::Kind::kIndex, {}});
    }
  }
  return tokens;
}

bool keyMatches(std::string_view pattern, std::string_view key) {
  const size_t star = pattern.find('*');
  if (star == std::string_view::npos) {
    return pattern == key;
  }
  const std::string_view prefix = pattern.substr(0, star);
  const std::string_view suffix = pattern.substr(star + 1);
  return key.size() >= prefix.size() + suffix.size() && key.substr(0, prefix.size()) == prefix &&
         key.substr(key.size() - suffix.size()) == suffix;
}

bool placeMatches(const std::vector<PatternToken>& tokens, size_t token, const Place& place,
                  size_t step) {
  if (token == tokens.size()) {
    return step == place.size();
  }
  const PatternToken& current = tokens[token];
  switch (current.kind) {
    case PatternToken::Kind::kAnyLevels:
      for (size_t skip = step; skip <= place.size(); ++skip) {
        if (placeMatches(tokens, token + 1, place, skip)) {
          return true;
        }
      }
      return false;
    case PatternToken::Kind::kIndex:
      return step < place.size() && place[step].index >= 0 &&
             placeMatches(tokens, token + 1, place, step + 1);
    case PatternToken::Kind::kKey:
      return step < place.size() && place[step].index < 0 &&
             keyMatches(current.text, place[step].key) &&
             placeMatches(tokens, token + 1, place, step + 1);
  }
  return false;
}

struct CompiledRow {
  const ConfigPathOption* row;
  std::vector<PatternToken> tokens;
  std::vector<std::string_view> types;
};

const std::vector<CompiledRow>& compiledRows() {
  static const std::vector<CompiledRow> rows = [] {
    std::vector<CompiledRow> compiled;
    for (const ConfigPathOption& row : kConfigPathOptions) {
      CompiledRow entry{&row, tokenize(row.option), {}};
      std::string_view types = row.types;
      while (!types.empty()) {
        size_t comma = types.find(',');
        entry.types.push_back(types.substr(0, comma));
        types = comma == std::string_view::npos ? std::string_view() : types.substr(comma + 1);
      }
      compiled.push_back(std::move(entry));
    }
    return compiled;
  }();
  return rows;
}

// Whether the `type` of `holder` is certainly (every occurrence, at least
// one) or possibly (any occurrence, or one that is no string) among `types`.
bool typeAmong(ConfigNode holder, const std::vector<std::string_view>& types, bool certainly) {
  bool seen = false;
  for (ConfigMember member : holder.members()) {
    if (foldOptionKey(member.key) != "type") {
      continue;
    }
    seen = true;
    bool among = false;
    if (member.value.isString()) {
      for (std::string_view type : types) {
        among = among || member.value.text() == type;
      }
    } else {
      among = !certainly;  // sing-box refuses it; judge as if it could be anything
    }
    if (certainly && !among) {
      return false;
    }
    if (!certainly && among) {
      return true;
    }
  }
  return certainly && seen;
}

// Control characters, C1 controls and the Unicode line and direction marks
// escaped; at most kShownBytes shown.
std::string harmless(std::string_view text, size_t shownBytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string shown;
  size_t i = 0;
  while (i < text.size() && shown.size() < shownBytes) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte == 0x7F) {
      shown += "\\x";
      shown.push_back(kHex[byte >> 4]);
      shown.push_back(kHex[byte & 15]);
      ++i;
      continue;
    }
    if (byte < 0x80) {
      shown.push_back(text[i++]);
      continue;
    }
    // Decoded text is valid UTF-8.
    size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
    length = std::min(length, text.size() - i);
    uint32_t rune = byte & (length == 2 ? 0x1F : length == 3 ? 0x0F : 0x07);
    for (size_t k = 1; k < length; ++k) {
      rune = (rune << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    const bool control = (rune >= 0x80 && rune <= 0x9F) || rune == 0x061C || rune == 0x200E ||
                         rune == 0x200F || (rune >= 0x2028 && rune <= 0x202E) ||
                         (rune >= 0x2066 && rune <= 0x2069);
    if (control) {
      shown += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) {
        shown.push_back(kHex[(rune >> shift) & 15]);
      }
    } else {
      shown.append(text.substr(i, length));
    }
    i += length;
  }
  if (i < text.size()) {
    shown += "\u2026";
  }
  return shown;
}

std::string describePlace(const Place& place) {
  std::string text;
  for (const Step& step : place) {
    if (step.index >= 0) {
      text += "[" + std::to_string(step.index) + "]";
    } else {
      if (!text.empty()) {
        text += ".";
      }
      text += harmless(step.key, 64);
    }
  }
  return text;
}

// Lexically cleaned absolute path, as Go's filepath.Clean cleans one.
std::string cleanAbsolute(std::string_view path) {
  std::vector<std::string_view> parts;
  while (!path.empty()) {
    const size_t slash = path.find('/');
    std::string_view part = path.substr(0, slash);
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    if (part.empty() || part == ".") {
      continue;
    }
    if (part == "..") {
      if (!parts.empty()) {
        parts.pop_back();
      }
      continue;
    }
    parts.push_back(part);
  }
  std::string cleaned;
  for (std::string_view part : parts) {
    cleaned += "/";
    cleaned += part;
  }
  return cleaned.empty() ? "/" : cleaned;
}

bool startsWithFileScheme(std::string_view value) {
  constexpr std::string_view kScheme = "file:";
  if (value.size() < kScheme.size()) {
    return false;
  }
  for (size_t i = 0; i < kScheme.size(); ++i) {
    const char c = value[i] >= 'A' && value[i] <= 'Z' ? static_cast<char>(value[i] + 32) : value[i];
    if (c != kScheme[i]) {
      return false;
    }
  }
  return true;
}

// The scheme of `value` as Go's url.Parse finds it, in lower case; "" when
// it has none.
std::string urlScheme(std::string_view value) {
  for (size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (letter) {
      continue;
    }
    const bool other = (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
    if (other && i > 0) {
      continue;
    }
    if (c == ':' && i > 0) {
      std::string scheme(value.substr(0, i));
      for (char& letterOfScheme : scheme) {
        if (letterOfScheme >= 'A' && letterOfScheme <= 'Z') {
          letterOfScheme = static_cast<char>(letterOfScheme + 32);
        }
      }
      return scheme;
    }
    break;
  }
  return "";
}

class PathChecker {
 public:
  explicit PathChecker(const std::string& folder) : folder_(cleanFolder(folder)) {}

  void check(ConfigNode root) { walk(root, ConfigNode(root)); }

 private:
  static std::string cleanFolder(const std::string& folder) {
    if (folder.empty() || folder.front() != '/') {
      throw std::invalid_argument("the engine's folder must be an absolute path: " + folder);
    }
    return cleanAbsolute(folder);
  }

  [[noreturn]] void refuse(std::string_view value) const {
    throw ConfigPathRefused(describePlace(place_), std::string(value));
  }

  // Visits `node` at place_; `holder` is the object whose member it is.
  void walk(ConfigNode node, ConfigNode holder) {
    if (node.isObject()) {
      checkRequired(node);
      for (ConfigMember member : node.members()) {
        place_.push_back({foldOptionKey(member.key), -1});
        judgeMember(member.value, node);
        walk(member.value, node);
        place_.pop_back();
      }
    } else if (node.isArray()) {
      long index = 0;
      for (ConfigNode item : node.items()) {
        place_.push_back({"", index++});
        walk(item, holder);
        place_.pop_back();
      }
    }
  }

  // The first row (other than kRequired) that holds for the member at
  // place_, or null.
  const CompiledRow* rowFor(ConfigNode holder) const {
    const std::string& key = place_.back().key;
    for (const CompiledRow& row : compiledRows()) {
      if (row.row->rule == Rule::kRequired) {
        continue;
      }
      // A cheap test of the last key first.
      const PatternToken& last = row.tokens.back();
      if ((last.kind == PatternToken::Kind::kKey && !keyMatches(last.text, key)) ||
          !placeMatches(row.tokens, 0, place_, 0)) {
        continue;
      }
      if (!row.types.empty() &&
          !typeAmong(holder, row.types, /*certainly=*/row.row->rule == Rule::kNotAPath)) {
        continue;
      }
      return &row;
    }
    return nullptr;
  }

  void judgeMember(ConfigNode value, ConfigNode holder) {
    const CompiledRow* row = rowFor(holder);
    if (row != nullptr && row->row->rule != Rule::kNotAPath) {
      judgeValues(value, row->row->rule);
    }
  }

  // Judges the strings of `value` (strings in arrays at any depth too);
  // objects are left to the walk, which judges their members by their keys.
  void judgeValues(ConfigNode value, Rule rule) {
    if (value.isString()) {
      judgeString(value.text(), rule);
    } else if (value.isArray()) {
      long index = 0;
      for (ConfigNode item : value.items()) {
        place_.push_back({"", index++});
        judgeValues(item, rule);
        place_.pop_back();
      }
    } else if (value.isObject() && rule == Rule::kRefused) {
      for (ConfigMember member : value.members()) {
        place_.push_back({foldOptionKey(member.key), -1});
        judgeValues(member.value, rule);
        place_.pop_back();
      }
    }
  }

  void judgeString(std::string_view value, Rule rule) {
    switch (rule) {
      case Rule::kNotAPath:
      case Rule::kRequired:
        return;
      case Rule::kRefused:
        refuse(value);
      case Rule::kNamespace:
      case Rule::kDownload:
        if (!value.empty()) {
          refuse(value);
        }
        return;
      case Rule::kMasquerade: {
        const std::string scheme = urlScheme(value);
        if (!value.empty() && scheme != "http" && scheme != "https") {
          refuse(value);
        }
        return;
      }
      case Rule::kProgram:
        if (!value.empty() && value.find('/') == std::string_view::npos) {
          refuse(value);
        }
        [[fallthrough]];
      case Rule::kPath:
      case Rule::kServedFolder:
        if (!value.empty() && !inside(value, /*properly=*/rule == Rule::kServedFolder)) {
          refuse(value);
        }
        return;
    }
  }

  bool inside(std::string_view value, bool properly) const {
    if (value.find('\0') != std::string_view::npos || value.front() == '~' ||
        value.find('$') != std::string_view::npos || startsWithFileScheme(value)) {
      return false;
    }
    const std::string resolved = cleanAbsolute(
        value.front() == '/' ? std::string(value) : folder_ + "/" + std::string(value));
    if (resolved == folder_) {
      return !properly;
    }
    return folder_ == "/" || resolved.compare(0, folder_.size() + 1, folder_ + "/") == 0;
  }

  // An object at place_ that a kRequired row names must give the key in
  // every occurrence, as a string that is not empty.
  void checkRequired(ConfigNode object) {
    for (const CompiledRow& row : compiledRows()) {
      if (row.row->rule != Rule::kRequired || !placeMatches(row.tokens, 0, place_, 0)) {
        continue;
      }
      if (!row.types.empty() && !typeAmong(object, row.types, /*certainly=*/false)) {
        continue;
      }
      bool given = false;
      bool empty = false;
      for (ConfigMember member : object.members()) {
        if (foldOptionKey(member.key) == row.row->required) {
          given = true;
          empty = empty || !member.value.isString() || member.value.text().empty();
        }
      }
      if (!given || empty) {
        place_.push_back({std::string(row.row->required), -1});
        refuse("(unset: sing-box then uses " + std::string(row.row->unsetMeans) + ")");
      }
    }
  }

  const std::string folder_;
  Place place_;
};

}  // namespace

ConfigPathRefused::ConfigPathRefused(std::string option, std::string value)
    : RequestRefused("configuration: " + option +
                     " names a path outside the engine's folder: " + harmless(value, 200)),
      option_(std::move(option)),
      value_(std::move(value)) {}

void checkConfigPaths(const ConfigDocument& document, const std::string& engineFolder) {
  PathChecker(engineFolder).check(document.root());
}

void checkConfigText(std::string_view text, const std::string& engineFolder) {
  std::optional<ConfigDocument> document;
  try {
    document.emplace(ConfigDocument::parse(text));
  } catch (const ConfigDocumentError& error) {
    throw RequestRefused(error.what());
  }
  checkConfigPaths(*document, engineFolder);
}

std::span<const ConfigPathOption> configPathOptions() {
  return kConfigPathOptions;
}

}  // namespace tarq
