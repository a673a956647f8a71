#include "daemon/tarq-helper/code_signing_requirement.h"

#include <algorithm>
#include <stdexcept>

namespace tarq {
namespace {

constexpr std::size_t kTeamIdentifierLength = 10;
constexpr std::size_t kMaxCallerIdentifierLength = 255;

bool isUpperAlphanumeric(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool isIdentifierCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

// The text in double quotes: a string of the language whatever it starts
// with (an unquoted identifier that starts with a digit is none).
std::string inQuotes(std::string_view text) {
  return "\"" + std::string(text) + "\"";
}

}  // namespace

bool isTeamIdentifier(std::string_view text) {
  return text.size() == kTeamIdentifierLength &&
         std::all_of(text.begin(), text.end(), isUpperAlphanumeric);
}

bool isCallerIdentifier(std::string_view text) {
  if (text.empty() || text.size() > kMaxCallerIdentifierLength) {
    return false;
  }
  char previous = '.';  // so that a leading period counts as an empty part
  for (char c : text) {
    if (c == '.' ? previous == '.' : !isIdentifierCharacter(c)) {
      return false;
    }
    previous = c;
  }
  return previous != '.';
}

std::string teamRequirement(std::string_view teamId, TeamCertificates certificates) {
  if (!isTeamIdentifier(teamId)) {
    throw std::invalid_argument("the team identifier is not 10 upper-case letters and digits");
  }
  std::string text = certificates == TeamCertificates::developerId ? kDeveloperIdRequirement
                                                                   : "anchor apple generic";
  return text + " and certificate leaf[subject.OU] = " + inQuotes(teamId);
}

std::string callerRequirement(std::string_view teamId, TeamCertificates certificates,
                              const std::vector<std::string>& identifiers) {
  std::string text = teamRequirement(teamId, certificates);
  if (identifiers.empty()) {
    throw std::invalid_argument("no caller identifier to pin the application by");
  }
  std::string named;
  for (const std::string& identifier : identifiers) {
    if (!isCallerIdentifier(identifier)) {
      throw std::invalid_argument("\"" + identifier +
                                  "\" is not a bundle identifier (letters, digits, hyphens and "
                                  "periods between them)");
    }
    named += (named.empty() ? "" : " or ") + std::string("identifier ") + inQuotes(identifier);
  }
  // "and" binds tighter than "or": several identifiers go in parentheses.
  return text + " and " + (identifiers.size() == 1 ? named : "(" + named + ")");
}

}  // namespace tarq
