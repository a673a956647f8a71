// The requirement text that the macOS helper compiles: exact, because the
// Security framework reads every clause of it, and closed to a team
// identifier that would bring clauses of its own.
#include "daemon/tarq-helper/code_signing_requirement.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <string_view>

namespace tarq {
namespace {

TEST(CodeSigningRequirement, NamesTheTeamWithTheCertificatesAsked) {
  EXPECT_EQ(teamRequirement("ABCDE12345", TeamCertificates::any),
            "anchor apple generic and certificate leaf[subject.OU] = \"ABCDE12345\"");
  EXPECT_EQ(teamRequirement("9ZZZZ00000", TeamCertificates::developerId),
            "anchor apple generic"
            " and certificate 1[field.1.2.840.113635.100.6.2.6] exists"
            " and certificate leaf[field.1.2.840.113635.100.6.1.13] exists"
            " and certificate leaf[subject.OU] = \"9ZZZZ00000\"");
}

TEST(CodeSigningRequirement, RefusesWhatIsNotATeamIdentifier) {
  using namespace std::string_view_literals;
  const std::string_view refused[] = {
      ""sv,
      "ABCDE1234"sv,     // nine characters
      "ABCDE123456"sv,   // eleven
      "abcde12345"sv,    // lower case
      "ABCDE-1234"sv,    // punctuation
      "ABC\" or \"1"sv,  // a quote closes the string and adds a clause
      "ABCD\"/*12"sv,    // a comment swallows the rest
      "ABCDE\0"
      "1234"sv,                                      // an embedded NUL
      "ABCDE 1234"sv,                                // a space
      "\xc3\x84\x42\x43\x44\x45\x31\x32\x33\x34"sv,  // a non-ASCII letter
  };
  for (std::string_view teamId : refused) {
    SCOPED_TRACE(std::string(teamId));
    EXPECT_FALSE(isTeamIdentifier(teamId));
    EXPECT_THROW(teamRequirement(teamId, TeamCertificates::any), std::invalid_argument);
    EXPECT_THROW(teamRequirement(teamId, TeamCertificates::developerId), std::invalid_argument);
  }
}

}  // namespace
}  // namespace tarq
