// The code-signing requirement that a caller of the helper daemon must meet on
// macOS, as text of Apple's code signing requirement language. Built here, in
// plain C++, so that its exact wording is tested on every platform; the
// Security framework compiles and evaluates it (mac/code_signing_policy.mm).
//
// A caller must be the application the helper ships in, not merely any
// program its team ever signed: the requirement names the team (by the
// organisational unit of the leaf certificate, which Apple sets to the
// ten-character team identifier) and the signing identifier of the
// application (its bundle identifier, as Xcode signs it), or of each of a
// few applications.
//
// Team and identifiers are checked before they are placed in the text: a
// quote, a space or a parenthesis would let them add clauses of their own.
#ifndef TARQ_DAEMON_TARQ_HELPER_CODE_SIGNING_REQUIREMENT_H_
#define TARQ_DAEMON_TARQ_HELPER_CODE_SIGNING_REQUIREMENT_H_

#include <string>
#include <string_view>
#include <vector>

namespace tarq {

// Which of a team's Apple-issued certificates count.
enum class TeamCertificates {
  // Any: development, distribution and Developer ID certificates alike.
  any,
  // Developer ID Application certificates only, which only the team's
  // account holder can create: a development build of the application,
  // signed on any developer's Mac, cannot drive a distributed helper.
  developerId,
};

// Code signed with a Developer ID Application certificate: issued by the
// Developer ID intermediate authority, and marked as such in the leaf.
inline constexpr char kDeveloperIdRequirement[] =
    "anchor apple generic"
    " and certificate 1[field.1.2.840.113635.100.6.2.6] exists"
    " and certificate leaf[field.1.2.840.113635.100.6.1.13] exists";

// Whether `text` is a team identifier: exactly ten upper-case ASCII letters
// and digits.
bool isTeamIdentifier(std::string_view text);

// Whether `text` can be named as a caller's signing identifier: the
// characters of a bundle identifier (ASCII letters, digits, hyphens), in
// parts joined by single periods, at most 255 characters.
bool isCallerIdentifier(std::string_view text);

// The requirement "signed by team `teamId` with one of `certificates`".
// Throws std::invalid_argument when `teamId` is not a team identifier.
std::string teamRequirement(std::string_view teamId, TeamCertificates certificates);

// The requirement "signed by team `teamId` with one of `certificates`, as one
// of `identifiers`". Throws std::invalid_argument when `teamId` is not a team
// identifier, when an identifier is not a caller identifier, or when there is
// none.
std::string callerRequirement(std::string_view teamId, TeamCertificates certificates,
                              const std::vector<std::string>& identifiers);

}  // namespace tarq

#endif  // TARQ_DAEMON_TARQ_HELPER_CODE_SIGNING_REQUIREMENT_H_
