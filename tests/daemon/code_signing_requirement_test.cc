// The requirement text that the macOS helper compiles: exact, because the
// Security framework reads every clause of it, and closed to a team or
// caller identifier that would bring clauses of its own; and the application
// bundle the helper finds itself in.
#include "daemon/tarq-helper/code_signing_requirement.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "daemon/tarq-helper/enclosing_application.h"

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

TEST(CodeSigningRequirement, PinsTheTeamAndTheApplication) {
  EXPECT_EQ(callerRequirement("ABCDE12345", TeamCertificates::any, {"com.example.app"}),
            "anchor apple generic and certificate leaf[subject.OU] = \"ABCDE12345\""
            " and identifier \"com.example.app\"");
  // "and" binds tighter than "or": the choice of applications is bracketed.
  EXPECT_EQ(callerRequirement("9ZZZZ00000", TeamCertificates::developerId,
                              {"com.example.app", "com.example.app-beta", "9lives.Tool"}),
            "anchor apple generic"
            " and certificate 1[field.1.2.840.113635.100.6.2.6] exists"
            " and certificate leaf[field.1.2.840.113635.100.6.1.13] exists"
            " and certificate leaf[subject.OU] = \"9ZZZZ00000\""
            " and (identifier \"com.example.app\" or identifier \"com.example.app-beta\""
            " or identifier \"9lives.Tool\")");
  EXPECT_THROW(callerRequirement("ABCDE12345", TeamCertificates::any, {}), std::invalid_argument);
  EXPECT_THROW(callerRequirement("ABCDE1234", TeamCertificates::any, {"com.example.app"}),
               std::invalid_argument);
}

TEST(CodeSigningRequirement, RefusesWhatIsNotACallerIdentifier) {
  using namespace std::string_view_literals;
  const std::string_view refused[] = {
      ""sv,
      "com.example.app\" or identifier \"com.evil"sv,  // closes the string, adds a clause
      "com.example.app\") or (anchor apple"sv,
      "com.example app"sv,   // a space
      "com..example"sv,      // an empty part
      ".com.example"sv,      // a leading period
      "com.example."sv,      // a trailing period
      "com/example"sv,       // punctuation
      "com.example_app"sv,   // an underscore, which bundle identifiers do not have
      "com.example\\app"sv,  // a backslash escapes in the language's strings
      "com.ex\0ample"sv,     // an embedded NUL
      "com.b\xc3\xa4r"sv,    // a non-ASCII letter
  };
  for (std::string_view identifier : refused) {
    SCOPED_TRACE(std::string(identifier));
    EXPECT_FALSE(isCallerIdentifier(identifier));
    EXPECT_THROW(callerRequirement("ABCDE12345", TeamCertificates::any,
                                   {"com.example.app", std::string(identifier)}),
                 std::invalid_argument);
  }
  EXPECT_TRUE(isCallerIdentifier(std::string(255, 'a')));
  EXPECT_FALSE(isCallerIdentifier(std::string(256, 'a')));
  EXPECT_TRUE(isCallerIdentifier("a"));
}

TEST(EnclosingApplication, IsTheBundleWhoseContentsMacOSHoldsTheProgram) {
  EXPECT_EQ(enclosingApplication("/Applications/Orvek VPN.app/Contents/MacOS/tarq-helper"),
            "/Applications/Orvek VPN.app");
  EXPECT_EQ(enclosingApplication("/Users/me/Build/Runner.app/Contents/MacOS/tarq-helper"),
            "/Users/me/Build/Runner.app");
  for (const char* outside : {
           "/usr/local/bin/tarq-helper",                              // no bundle
           "/Applications/Orvek.app/Contents/Resources/tarq-helper",  // not Contents/MacOS
           "/Applications/Orvek.app/Contents/MacOS/",                 // no program
           "/Applications/Orvek/Contents/MacOS/tarq-helper",          // not an application
           "/Applications/.app/Contents/MacOS/tarq-helper",           // a bundle without a name
           "/Contents/MacOS/tarq-helper",                             //
           "Orvek.app/Contents/MacOS/tarq-helper",                    // relative
           "/Applications/Orvek.app/Contents/MacOS/../MacOS/tarq-helper",
           "/Applications/x/../Orvek.app/Contents/MacOS/tarq-helper",
           "/Applications//Orvek.app/Contents/MacOS/tarq-helper",
           "",
       }) {
    EXPECT_EQ(enclosingApplication(outside), std::nullopt) << outside;
  }
}

}  // namespace
}  // namespace tarq
