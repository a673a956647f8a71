#include "daemon/tarq-helper/code_signing_requirement.h"

#include <algorithm>
#include <stdexcept>

namespace tarq {
namespace {

constexpr std::size_t kTeamIdentifierLength = 10;

bool isUpperAlphanumeric(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

}  // namespace

bool isTeamIdentifier(std::string_view text) {
  return text.size() == kTeamIdentifierLength &&
         std::all_of(text.begin(), text.end(), isUpperAlphanumeric);
}

std::string teamRequirement(std::string_view teamId, TeamCertificates certificates) {
  if (!isTeamIdentifier(teamId)) {
    throw std::invalid_argument("the team identifier is not 10 upper-case letters and digits");
  }
  std::string text = certificates == TeamCertificates::developerId ? kDeveloperIdRequirement
                                                                   : "anchor apple generic";
  // Quoted: an identifier that starts with a digit is otherwise not a string
  // of the language.
  text += " and certificate leaf[subject.OU] = \"";
  text += teamId;
  text += '"';
  return text;
}

}  // namespace tarq
