#include "engine_identity.h"

#include <pwd.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace tarq {
namespace {

bool isNumber(const std::string& text) {
  return !text.empty() && text.size() <= 10 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

EngineIdentity engineIdentityOf(const std::string& user, bool processRules) {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> text(16384);
  int error = isNumber(user) ? getpwuid_r(static_cast<uid_t>(std::stoul(user)), &entry, text.data(),
                                          text.size(), &found)
                             : getpwnam_r(user.c_str(), &entry, text.data(), text.size(), &found);
  if (error != 0 || found == nullptr || user.empty()) {
    throw std::runtime_error(
        "--engine-user: no user named \"" + user +
        "\"; create it (the packaging's sysusers.d file makes \"" + kDefaultEngineUser +
        "\": systemd-sysusers packaging/linux/sysusers.d/tarq-helper.conf) or name another user");
  }
  EngineIdentity identity;
  identity.user = found->pw_name;
  identity.uid = found->pw_uid;
  identity.gid = found->pw_gid;
  identity.processRules = processRules;
  return identity;
}

std::string describeEngineCapabilities(bool processRules) {
  std::string text = "cap_net_admin, cap_net_raw, cap_net_bind_service";
  return processRules ? text + ", cap_sys_ptrace, cap_dac_read_search" : text;
}

}  // namespace tarq
