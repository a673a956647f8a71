// The pieces the caller policies are made of, on a clock the test moves: the
// pin that ties a request to the process that connected, the cache of
// verdicts, and the kernel-credentials policy's membership lookups.
#include "daemon/core/caller_pin.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "daemon/core/expiring_cache.h"
#include "daemon/core/peer_credentials_policy.h"

namespace tarq {
namespace {

using std::chrono::seconds;

TEST(CallerPinTest, HoldsOnlyForTheSameExecOfTheSameProcess) {
  const ProcessStamp accepted{4242, 7};
  EXPECT_EQ(pinBroken(accepted, ProcessStamp{4242, 7}), "");
  EXPECT_EQ(pinBroken(accepted, ProcessStamp{4242, 8}),
            "the calling process ran another program after it connected (pid 4242 version 7, "
            "now pid 4242 version 8)");
  EXPECT_EQ(pinBroken(accepted, ProcessStamp{4243, 7}),
            "the connection changed hands after it was accepted (pid 4242 version 7, now pid "
            "4243 version 7)");
  EXPECT_EQ(pinBroken(accepted, std::nullopt), "the calling process can no longer be identified");
}

TEST(ExpiringCacheTest, ForgetsAfterItsLifetimeAndHoldsAtMostItsCapacity) {
  std::chrono::steady_clock::time_point now{};
  ExpiringCache<int, std::string> cache(2, seconds(5), [&now] { return now; });
  cache.put(1, "one");
  now += seconds(1);
  cache.put(2, "two");
  EXPECT_EQ(cache.find(1), "one");
  // Full: the entry that expires first makes room.
  cache.put(3, "three");
  EXPECT_EQ(cache.size(), 2u);
  EXPECT_EQ(cache.find(1), std::nullopt);
  EXPECT_EQ(cache.find(2), "two");
  now += seconds(3);
  cache.put(2, "two again");  // a new lifetime
  now += seconds(2);
  EXPECT_EQ(cache.find(3), std::nullopt);  // five seconds old
  EXPECT_EQ(cache.find(2), "two again");
  now += seconds(3);
  EXPECT_EQ(cache.find(2), std::nullopt);
  EXPECT_EQ(cache.size(), 0u);
}

// Membership through the user database is looked up by judge() only, off the
// accepting thread, and remembered for a few seconds.
TEST(PeerCredentialsPolicyTest, DecidesAtNoCostWhatItCanAndRemembersMembershipBriefly) {
  constexpr uid_t kNobody = 65534;  // member of "nogroup" (65534) by its primary group
  constexpr gid_t kNoGroup = 65534;
  std::chrono::steady_clock::time_point now{};
  PeerCredentialsPolicy policy({1000}, {kNoGroup}, [&now] { return now; });
  auto caller = [](uid_t uid, gid_t gid) {
    CallerIdentity identity;
    identity.known = true;
    identity.uid = uid;
    identity.gid = gid;
    return identity;
  };
  EXPECT_TRUE(policy.quickVerdict(caller(0, 0))->admitted);
  EXPECT_TRUE(policy.quickVerdict(caller(1000, 1000))->admitted);
  EXPECT_TRUE(policy.quickVerdict(caller(4000, kNoGroup))->admitted);  // its effective gid

  // nobody connecting with another effective gid: a member only by the user
  // database, which the accepting thread does not ask.
  EXPECT_EQ(policy.quickVerdict(caller(kNobody, 1)), std::nullopt);
  EXPECT_TRUE(policy.judge(caller(kNobody, 1)).admitted);
  EXPECT_TRUE(policy.quickVerdict(caller(kNobody, 1))->admitted);
  CallerVerdict stranger = policy.judge(caller(65533, 1));
  EXPECT_FALSE(stranger.admitted);
  EXPECT_EQ(stranger.reason, "caller uid 65533 is not allowed to use this helper");
  EXPECT_EQ(policy.quickVerdict(caller(65533, 1))->reason, stranger.reason);

  now += PeerCredentialsPolicy::kMembershipLifetime;
  EXPECT_EQ(policy.quickVerdict(caller(kNobody, 1)), std::nullopt);
  EXPECT_EQ(policy.quickVerdict(caller(65533, 1)), std::nullopt);

  // Without groups nothing needs the user database.
  PeerCredentialsPolicy noGroups({1000}, {});
  EXPECT_FALSE(noGroups.quickVerdict(caller(65533, 1))->admitted);
  CallerIdentity unknown;
  unknown.reason = "cannot learn who the caller is: Bad file descriptor";
  EXPECT_EQ(noGroups.quickVerdict(unknown)->reason, unknown.reason);
}

}  // namespace
}  // namespace tarq
