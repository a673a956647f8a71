// The path policy refuses every option that names a file or folder outside
// the engine's folder, however the configuration spells or repeats it, and
// lets real configurations through.
#include "daemon/core/config_path_policy.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace tarq {
namespace {

constexpr char kFolder[] = "/var/lib/orvek-helper/engine";

// The refusal's text, or "" when the configuration passes.
std::string verdict(const std::string& config, const std::string& folder = kFolder) {
  try {
    checkConfigText(config, folder);
  } catch (const RequestRefused& refused) {
    return refused.what();
  }
  return "";
}

std::string refusal(const std::string& option, const std::string& value) {
  return "configuration: " + option + " names a path outside the engine's folder: " + value;
}

std::string readSourceFile(const std::string& path) {
  std::ifstream file(std::string(TARQ_SOURCE_DIR) + "/" + path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

TEST(ConfigPathPolicyTest, RefusesEachOptionThatNamesAPathOutside) {
  struct Case {
    std::string config;
    std::string option;
    std::string value;
  };
  const std::string tlsInbound = R"({"inbounds": [{"type": "trojan", "tag": "in", "tls": )";
  const Case cases[] = {
      {R"({"log": {"level": "info", "output": "/var/log/sing-box.log"}})", "log.output",
       "/var/log/sing-box.log"},
      {R"({"experimental": {"cache_file": {"enabled": true, "path": "../cache.db"}}})",
       "experimental.cache_file.path", "../cache.db"},
      {R"({"experimental": {"clash_api": {"external_ui": "/usr/share/ui"}}})",
       "experimental.clash_api.external_ui", "/usr/share/ui"},
      {R"({"experimental": {"clash_api": {"external_ui": "."}}})",
       "experimental.clash_api.external_ui", "."},
      {R"({"experimental": {"clash_api": {"external_ui": "ui/.."}}})",
       "experimental.clash_api.external_ui", "ui/.."},
      {R"({"experimental": {"clash_api": {"external_ui": "/var/lib/orvek-helper/engine/"}}})",
       "experimental.clash_api.external_ui", "/var/lib/orvek-helper/engine/"},
      {R"({"experimental": {"clash_api": {"external_ui": "ui",
            "external_ui_download_url": "https://example.com/ui.zip"}}})",
       "experimental.clash_api.external_ui_download_url", "https://example.com/ui.zip"},
      {R"({"route": {"rule_set": [{"type": "local", "tag": "a", "path": "a.srs"},
                                  {"type": "local", "tag": "b", "path": "/etc/passwd"}]}})",
       "route.rule_set[1].path", "/etc/passwd"},
      {R"({"route": {"geoip": {"path": "/usr/share/sing-box/geoip.db"}}})", "route.geoip.path",
       "/usr/share/sing-box/geoip.db"},
      {R"({"route": {"geosite": {"path": "~/geosite.db"}}})", "route.geosite.path", "~/geosite.db"},
      {R"({"route": {"dhcp_lease_files": ["leases", "/var/lib/misc/dnsmasq.leases"]}})",
       "route.dhcp_lease_files[1]", "/var/lib/misc/dnsmasq.leases"},
      {R"({"certificate": {"store": "system", "certificate_path": "/etc/ca.pem"}})",
       "certificate.certificate_path", "/etc/ca.pem"},
      {R"({"certificate": {"certificate_directory_path": ["certs", "/etc/ssl/certs"]}})",
       "certificate.certificate_directory_path[1]", "/etc/ssl/certs"},
      {tlsInbound + R"({"enabled": true, "certificate_path": "/etc/ssl/cert.pem"}}]})",
       "inbounds[0].tls.certificate_path", "/etc/ssl/cert.pem"},
      {tlsInbound + R"({"enabled": true, "key_path": "/etc/ssl/private/key.pem"}}]})",
       "inbounds[0].tls.key_path", "/etc/ssl/private/key.pem"},
      {tlsInbound + R"({"client_certificate_path": ["/etc/ssl/clients.pem"]}}]})",
       "inbounds[0].tls.client_certificate_path[0]", "/etc/ssl/clients.pem"},
      {tlsInbound + R"({"ech": {"enabled": true, "key_path": "/etc/ech.key"}}}]})",
       "inbounds[0].tls.ech.key_path", "/etc/ech.key"},
      {tlsInbound + R"({"acme": {"domain": ["a.example"], "data_directory": "/root"}}}]})",
       "inbounds[0].tls.acme.data_directory", "/root"},
      {tlsInbound + R"({"acme": {"domain": ["a.example"]}}}]})",
       "inbounds[0].tls.acme.data_directory",
       "(unset: sing-box then uses certmagic's folder in the home directory of sing-box's "
       "user)"},
      {R"({"outbounds": [{"type": "vless", "tag": "v", "tls": {"enabled": true,
            "client_key_path": "/home/u/client.key"}}]})",
       "outbounds[0].tls.client_key_path", "/home/u/client.key"},
      {R"({"outbounds": [{"type": "trojan", "tag": "t", "tls": {"ech": {"enabled": true,
            "config_path": "/etc/ech.conf"}}}]})",
       "outbounds[0].tls.ech.config_path", "/etc/ech.conf"},
      {R"({"dns": {"servers": [{"type": "hosts", "tag": "h", "path": ["hosts", "/etc/hosts"]}]}})",
       "dns.servers[0].path[1]", "/etc/hosts"},
      {R"({"outbounds": [{"type": "ssh", "tag": "s", "server": "h", "private_key_path": "$HOME/.ssh/id"}]})",
       "outbounds[0].private_key_path", "$HOME/.ssh/id"},
      {R"({"outbounds": [{"type": "tor", "tag": "t", "executable_path": "tor"}]})",
       "outbounds[0].executable_path", "tor"},
      {R"({"outbounds": [{"type": "tor", "tag": "t", "executable_path": "/usr/bin/tor"}]})",
       "outbounds[0].executable_path", "/usr/bin/tor"},
      {R"({"outbounds": [{"type": "tor", "tag": "t", "data_directory": "/var/lib/tor"}]})",
       "outbounds[0].data_directory", "/var/lib/tor"},
      {R"({"outbounds": [{"type": "tor", "tag": "t", "torrc": {"ClientOnly": "1"}}]})",
       "outbounds[0].torrc.clientonly", "1"},
      {R"({"outbounds": [{"type": "tor", "tag": "t", "extra_args": ["--Log", "notice file x"]}]})",
       "outbounds[0].extra_args[0]", "--Log"},
      {R"({"endpoints": [{"type": "tailscale", "tag": "ts", "state_directory": "/var/lib/tailscale"}]})",
       "endpoints[0].state_directory", "/var/lib/tailscale"},
      {R"({"inbounds": [{"type": "hysteria2", "tag": "h", "masquerade": "file:///var/www"}]})",
       "inbounds[0].masquerade", "file:///var/www"},
      {R"({"inbounds": [{"type": "hysteria2", "tag": "h", "masquerade": "FILE:www"}]})",
       "inbounds[0].masquerade", "FILE:www"},
      {R"({"inbounds": [{"type": "hysteria2", "tag": "h",
            "masquerade": {"type": "file", "directory": "."}}]})",
       "inbounds[0].masquerade.directory", "."},
      {R"({"services": [{"type": "derp", "tag": "d", "config_path": "/etc/derp.key"}]})",
       "services[0].config_path", "/etc/derp.key"},
      {R"({"services": [{"type": "derp", "tag": "d", "config_path": "derp.key",
            "mesh_psk_file": "/etc/psk"}]})",
       "services[0].mesh_psk_file", "/etc/psk"},
      {R"({"services": [{"type": "ssm-api", "tag": "m", "servers": {"/": "ss"},
            "cache_path": "../../ssm.json"}]})",
       "services[0].cache_path", "../../ssm.json"},
      {R"({"services": [{"type": "ccm", "tag": "c"}]})", "services[0].credential_path",
       "(unset: sing-box then uses ~/.claude/.credentials.json of the user sing-box runs for)"},
      {R"({"services": [{"type": "ocm", "tag": "o", "credential_path": "/root/.codex/auth.json"}]})",
       "services[0].credential_path", "/root/.codex/auth.json"},
      {R"({"services": [{"type": "ccm", "tag": "c", "credential_path": "c.json",
            "usages_path": "/tmp/usage.json"}]})",
       "services[0].usages_path", "/tmp/usage.json"},
      {R"({"outbounds": [{"type": "direct", "tag": "d", "netns": "vpn"}]})", "outbounds[0].netns",
       "vpn"},
      {R"({"outbounds": [{"type": "direct", "tag": "d", "protect_path": "/run/protect.sock"}]})",
       "outbounds[0].protect_path", "/run/protect.sock"},
      // Catch-all: any key named like a file, anywhere.
      {R"({"inbounds": [{"type": "mixed", "tag": "m", "some_new_path": "/etc/x"}]})",
       "inbounds[0].some_new_path", "/etc/x"},
      {R"({"experimental": {"debug": {"dump_directory": "/tmp/dump"}}})",
       "experimental.debug.dump_directory", "/tmp/dump"},
  };
  for (const Case& test : cases) {
    EXPECT_EQ(verdict(test.config), refusal(test.option, test.value)) << test.config;
  }
}

TEST(ConfigPathPolicyTest, ResolvesPathsLexicallyAgainstTheFolder) {
  auto logAt = [](const std::string& path) {
    return verdict(R"({"log": {"output": ")" + path + R"("}})");
  };
  for (const char* inside :
       {"sing-box.log", "logs/x.log", "a/../b.log", "./x", "", "/var/lib/orvek-helper/engine/x.log",
        "/var/lib/orvek-helper/../orvek-helper/engine//logs/./x"}) {
    EXPECT_EQ(logAt(inside), "") << inside;
  }
  for (const char* outside :
       {"..", "a/../../x", "/var/lib/orvek-helper/engineX/x", "/var/lib/orvek-helper/config.json",
        "/", "~/x", "~root/x", "${HOME}/x", "file:x.log", "File:///var/lib/orvek-helper/engine/x",
        "x\\u0000y", "//etc/passwd"}) {
    EXPECT_NE(logAt(outside), "") << outside;
  }
  // The folder may come with a trailing slash; it must be absolute.
  EXPECT_EQ(verdict(R"({"log": {"output": "x"}})", "/srv/engine/"), "");
  EXPECT_NE(verdict(R"({"log": {"output": "/srv/enginex"}})", "/srv/engine/"), "");
  EXPECT_THROW(verdict("{}", "relative/engine"), std::invalid_argument);
}

TEST(ConfigPathPolicyTest, AcceptsRealConfigurations) {
  const std::string accepted[] = {
      readSourceFile("examples/sing-box.json"),
      // A TUN inbound routing the machine, a WebSocket transport, process
      // rules in route, DNS and a local and an inline rule set, a cache file
      // by relative name, a UI in a subfolder.
      R"({
        "log": {"level": "warn", "output": "engine.log", "timestamp": true},
        "dns": {
          "servers": [
            {"type": "https", "tag": "doh", "server": "1.1.1.1", "path": "/dns-query"},
            {"type": "h3", "tag": "doh3", "server": "1.1.1.1", "path": "/dns-query"},
            {"type": "local", "tag": "local"}
          ],
          "rules": [{"process_path": ["/usr/bin/curl"], "server": "local"}]
        },
        "inbounds": [
          {"type": "tun", "tag": "tun-in", "interface_name": "tun0",
           "address": ["172.19.0.1/30"], "auto_route": true, "strict_route": true},
          {"type": "vless", "tag": "vless-in", "listen": "::", "listen_port": 443,
           "users": [{"uuid": "bf000d23-0752-40b4-affe-68f7707a9661"}],
           "transport": {"type": "ws", "path": "/ws", "headers": {"Host": "a.example"}},
           "tls": {"enabled": true, "certificate_path": "tls/cert.pem",
                   "key_path": "/var/lib/orvek-helper/engine/tls/key.pem"}}
        ],
        "outbounds": [
          {"type": "selector", "tag": "tarq", "outbounds": ["direct", "proxy"]},
          {"type": "direct", "tag": "direct", "tcp_multi_path": true},
          {"type": "http", "tag": "proxy", "server": "10.0.0.1", "server_port": 3128,
           "path": "/connect"},
          {"type": "vmess", "tag": "ws-out", "server": "a.example", "server_port": 443,
           "uuid": "bf000d23-0752-40b4-affe-68f7707a9661",
           "transport": {"type": "httpupgrade", "path": "/up"}}
        ],
        "route": {
          "rules": [
            {"process_path": "/usr/bin/ssh", "outbound": "direct"},
            {"type": "logical", "mode": "or",
             "rules": [{"process_path_regex": ["^/opt/.*"]}, {"process_path": "/bin/nc"}],
             "outbound": "proxy"},
            {"rule_set": ["local-set", "inline-set"], "outbound": "proxy"}
          ],
          "rule_set": [
            {"type": "local", "tag": "local-set", "format": "binary", "path": "rules/geo.srs"},
            {"type": "inline", "tag": "inline-set", "rules": [{"process_path": "/usr/bin/git"}]}
          ],
          "final": "tarq", "auto_detect_interface": true
        },
        "experimental": {
          "cache_file": {"enabled": true, "path": "cache.db"},
          "clash_api": {"external_controller": "127.0.0.1:9090", "external_ui": "ui",
                        "secret": "s"}
        }
      })",
      R"({"inbounds": [{"type": "hysteria2", "tag": "h", "masquerade": "https://example.com"},
                       {"type": "hysteria2", "tag": "h2",
                        "masquerade": {"type": "file", "directory": "www"}}],
          "services": [{"type": "ccm", "tag": "c", "credential_path": "claude.json"}],
          "outbounds": [{"type": "tor", "tag": "t", "data_directory": "tor", "torrc": {}}]})",
      // A top-level value that is not an object names nothing.
      "null",
  };
  for (const std::string& config : accepted) {
    EXPECT_EQ(verdict(config), "") << config.substr(0, 200);
  }
}

TEST(ConfigPathPolicyTest, JudgesEverySpellingAndEveryOccurrence) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"LOG": {"OUTPUT": "/etc/x"}})", "log.output"},
      {"{\"route\": {\"rule_\xC5\xBF"
       "et\": [{\"type\": \"local\", \"path\": \"/etc/x\"}]}}",
       "route.rule_set[0].path"},
      {"{\"outbounds\": [{\"type\": \"ssh\", \"tag\": \"s\", \"private_\xE2\x84\xAA"
       "ey_path\": "
       "\"/etc/x\"}]}",
       "outbounds[0].private_key_path"},
      {R"({"log": {"p\u0061th": 1, "outp\u0075t": "/etc/x"}})", "log.output"},
      // A bad path in the first of two "log" objects, and in the second.
      {R"({"log": {"output": "/etc/x"}, "log": {"output": "ok.log"}})", "log.output"},
      {R"({"log": {"output": "ok.log"}, "log": {"output": "/etc/x"}})", "log.output"},
      {R"({"log": {"output": "/etc/x", "Output": "ok.log"}})", "log.output"},
      // Comments that would fool a reader that strips them any other way.
      {R"({"a": "/*", "log": {"output": "/etc/x"}, "b": "*/"})", "log.output"},
      {"{\"log\": {# \" a quote\n \"output\": \"/etc/x\"}}", "log.output"},
      {"{\"log\": {/* \"output\": \"ok\" */ \"output\": /* } */ \"/etc/x\"}}", "log.output"},
      // The transport exemption is for transports of inbounds and outbounds
      // only; an HTTP outbound's path only when every type says so.
      {R"({"outbounds": [{"type": "http", "TYPE": "direct", "tag": "x", "path": "/etc/x"}]})",
       "outbounds[0].path"},
      {R"({"dns": {"servers": [{"type": "https", "Type": "hosts", "tag": "x", "path": "/etc/x"}]}})",
       "dns.servers[0].path"},
      {R"({"dns": {"servers": [{"tag": "x", "path": "/etc/x"}]}})", "dns.servers[0].path"},
      {R"({"endpoints": [{"type": "x", "tag": "x", "transport": {"path": "/etc/x"}}]})",
       "endpoints[0].transport.path"},
  };
  for (const auto& [config, option] : cases) {
    EXPECT_EQ(verdict(config), refusal(option, "/etc/x")) << config;
  }
  EXPECT_EQ(verdict(R"({"log": {"output": "//etc/x"}})"), refusal("log.output", "//etc/x"));
  EXPECT_EQ(verdict(R"({"dns": {"servers": [{"type": "https", "TYPE": "h3", "path": "/q"}]}})"),
            "");
  // Comments hide what they hold; text after the first value is never read.
  EXPECT_EQ(verdict(R"({/* "log": {"output": "/etc/x"} */ "log": {"output": "ok.log"}})"), "");
  EXPECT_EQ(verdict(R"({"log": {"output": "ok.log"}} {"log": {"output": "/etc/x"}})"), "");
  EXPECT_NE(verdict("\xEF\xBB\xBF{}").find("byte order mark"), std::string::npos);
  EXPECT_EQ(verdict("{\"log\": {\"output\": \"x\" /* *\n/ \"ok\" */}}").rfind("configuration: ", 0),
            0u);
}

TEST(ConfigPathPolicyTest, ShowsTheValueHarmlessAndShort) {
  EXPECT_EQ(verdict(R"({"log": {"output": "/tmp/a\nb\u001b[2J\u202e"}})"),
            refusal("log.output", "/tmp/a\\x0ab\\x1b[2J\\u202e"));
  std::string error = verdict(R"({"log": {"output": "/)" + std::string(5000, 'x') + R"("}})");
  EXPECT_LT(error.size(), 300u);
  EXPECT_EQ(error.substr(error.size() - 3), "\u2026");
  try {
    checkConfigText(R"({"route": {"rule_set": [{}, {"PATH": "/x"}]}})", kFolder);
    FAIL();
  } catch (const ConfigPathRefused& refused) {
    EXPECT_EQ(refused.option(), "route.rule_set[1].path");
    EXPECT_EQ(refused.value(), "/x");
  }
}

TEST(ConfigPathPolicyTest, TheDocumentationListsEveryRowOfTheTable) {
  const std::string docs = readSourceFile("docs/tools.md");
  const size_t section = docs.find("## What a configuration may name");
  ASSERT_NE(section, std::string::npos);
  std::set<std::string_view> seen;
  for (const ConfigPathOption& row : configPathOptions()) {
    if (!seen.insert(row.option).second) {
      continue;
    }
    EXPECT_NE(docs.find("`" + std::string(row.option) + "`", section), std::string::npos)
        << row.option;
    EXPECT_FALSE(row.page.empty()) << row.option;
  }
}

}  // namespace
}  // namespace tarq
