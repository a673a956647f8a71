#include "caller_rights.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <string.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#if defined(__linux__)
#include <sys/syscall.h>
#elif defined(__APPLE__)
#include <pthread.h>
#include <sys/kauth.h>
#endif

namespace tarq {
namespace {

// getgrouplist() lists ints on macOS, gid_t elsewhere.
#if defined(__APPLE__)
using GroupListEntry = int;
#else
using GroupListEntry = gid_t;
#endif

#if defined(__linux__)
// The raw system calls change the calling thread's credentials only; the C
// library's setgroups() would apply the change to every thread of the
// process.
#if defined(SYS_setgroups32)
constexpr long kSetGroups = SYS_setgroups32;
constexpr long kSetFsUid = SYS_setfsuid32;
constexpr long kSetFsGid = SYS_setfsgid32;
#else
constexpr long kSetGroups = SYS_setgroups;
constexpr long kSetFsUid = SYS_setfsuid;
constexpr long kSetFsGid = SYS_setfsgid;
#endif

bool setThreadGroups(const std::vector<gid_t>& groups) {
  return syscall(kSetGroups, groups.size(), groups.data()) == 0;
}

// setfsuid() reports the previous id, never an error: ask again to learn
// whether the change took.
bool setThreadFsIds(uid_t uid, gid_t gid) {
  syscall(kSetFsGid, gid);
  syscall(kSetFsUid, uid);
  return static_cast<gid_t>(syscall(kSetFsGid, static_cast<gid_t>(-1))) == gid &&
         static_cast<uid_t>(syscall(kSetFsUid, static_cast<uid_t>(-1))) == uid;
}
#endif

#if defined(__APPLE__)
// The SDK declares pthread_setugid_np() deprecated ("per-thread security
// contexts are error-prone"). It is kept because its behaviour is what the
// daemon needs: one thread acts with a caller's rights while the others keep
// root's, and the kernel resolves that caller's groups. The warning is
// silenced here only.
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
int setThreadCredentials(uid_t uid, gid_t gid) {
  return pthread_setugid_np(uid, gid);
}
#pragma clang diagnostic pop
#endif

}  // namespace

std::vector<gid_t> groupsOfUser(uid_t uid, gid_t gid) {
  std::vector<gid_t> groups{gid};
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> text(16384);
  if (getpwuid_r(uid, &entry, text.data(), text.size(), &found) != 0 || found == nullptr) {
    return groups;
  }
  int count = 32;
  for (int attempt = 0; attempt < 4; ++attempt) {
    std::vector<GroupListEntry> listed(static_cast<size_t>(count));
    int room = count;
    // The list starts with the user's primary group.
    if (getgrouplist(found->pw_name, static_cast<GroupListEntry>(found->pw_gid), listed.data(),
                     &room) >= 0) {
      for (int index = 0; index < room; ++index) {
        auto listedGid = static_cast<gid_t>(listed[static_cast<size_t>(index)]);
        if (listedGid != gid) {
          groups.push_back(listedGid);
        }
      }
      return groups;
    }
    count = room > count ? room : count * 2;  // -1: `room` now says how many there are
  }
  return groups;
}

CallerRights::CallerRights(uid_t uid, gid_t gid)
    : CallerRights(uid, gid, geteuid() == 0 ? groupsOfUser(uid, gid) : std::vector<gid_t>{}) {}

CallerRights::CallerRights(uid_t uid, gid_t gid, const std::vector<gid_t>& groups) {
  if (geteuid() != 0) {
    return;
  }
#if defined(__linux__)
  int count = getgroups(0, nullptr);
  ownGroups_.resize(count > 0 ? static_cast<size_t>(count) : 0);
  if (count > 0 && getgroups(count, ownGroups_.data()) != count) {
    throw std::runtime_error(std::string("getgroups: ") + strerror(errno));
  }
  switched_ = true;
  if (!setThreadGroups(groups) || !setThreadFsIds(uid, gid)) {
    int error = errno;
    restore();
    throw std::runtime_error(std::string("cannot take the caller's rights: ") + strerror(error));
  }
#elif defined(__APPLE__)
  // Per-thread user and group; the kernel resolves the groups of `uid`.
  // Not exercised by the tests here, which run on Linux.
  (void)groups;
  if (setThreadCredentials(uid, gid) != 0) {
    throw std::runtime_error(std::string("cannot take the caller's rights: ") + strerror(errno));
  }
  switched_ = true;
#else
#error "no per-thread credentials on this platform"
#endif
}

CallerRights::~CallerRights() {
  if (switched_) {
    restore();
  }
}

void CallerRights::restore() const {
#if defined(__linux__)
  // The thread's effective ids never changed: its file-system ids follow
  // them again.
  setThreadFsIds(geteuid(), getegid());
  setThreadGroups(ownGroups_);
#elif defined(__APPLE__)
  setThreadCredentials(KAUTH_UID_NONE, KAUTH_GID_NONE);
#endif
}

}  // namespace tarq
