// CallerPolicy on macOS, with Code Signing Services of the Security framework:
// the peer's audit token names its running code, which must be valid and meet
// the requirement. Only Core Foundation objects are used, each owned by one
// holder that releases it; ARC has nothing to manage here.
#include "daemon/tarq-helper/mac/code_signing_policy.h"

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFData.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFError.h>
#include <CoreFoundation/CFString.h>
#include <CoreFoundation/CFURL.h>
#include <Security/Security.h>
#include <bsm/libbsm.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "daemon/core/expiring_cache.h"
#include "daemon/core/helper_options.h"
#include "daemon/tarq-helper/code_signing_requirement.h"
#include "daemon/tarq-helper/enclosing_application.h"

namespace tarq {
namespace {

// Why no policy could be made, or why one caller is refused.
class SigningError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One owned reference (from a Create or Copy function), released with the
// holder.
template <typename Ref>
class Owned {
 public:
  Owned() = default;
  explicit Owned(Ref ref) : ref_(ref) {}
  ~Owned() { reset(); }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  Owned(Owned&& other) noexcept : ref_(std::exchange(other.ref_, nullptr)) {}
  Owned& operator=(Owned&& other) noexcept {
    if (this != &other) {
      reset();
      ref_ = std::exchange(other.ref_, nullptr);
    }
    return *this;
  }

  Ref get() const { return ref_; }
  explicit operator bool() const { return ref_ != nullptr; }
  // For an out parameter through which a function hands over a reference.
  Ref* receive() {
    reset();
    return &ref_;
  }

 private:
  void reset() {
    if (ref_ != nullptr) {
      CFRelease(ref_);
      ref_ = nullptr;
    }
  }

  Ref ref_ = nullptr;
};

std::string utf8(CFStringRef text) {
  if (text == nullptr) {
    return {};
  }
  CFIndex capacity =
      CFStringGetMaximumSizeForEncoding(CFStringGetLength(text), kCFStringEncodingUTF8) + 1;
  if (capacity <= 1) {
    return {};
  }
  std::string buffer(static_cast<std::size_t>(capacity), '\0');
  if (!CFStringGetCString(text, buffer.data(), capacity, kCFStringEncodingUTF8)) {
    return {};
  }
  buffer.resize(std::strlen(buffer.c_str()));
  return buffer;
}

std::string statusText(OSStatus status) {
  Owned<CFStringRef> message(SecCopyErrorMessageString(status, nullptr));
  std::string text = utf8(message.get());
  if (text.empty()) {
    text = "code signing error";
  }
  return text + " (" + std::to_string(status) + ")";
}

void check(OSStatus status, const char* what) {
  if (status != errSecSuccess) {
    throw SigningError(std::string(what) + ": " + statusText(status));
  }
}

Owned<SecRequirementRef> compileRequirement(const std::string& text) {
  // A NUL would end the C string early and silently drop the clauses after it.
  if (text.find('\0') != std::string::npos) {
    throw SigningError("the caller requirement contains a NUL character");
  }
  Owned<CFStringRef> source(
      CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8));
  if (!source) {
    throw SigningError("the caller requirement is not UTF-8 text");
  }
  Owned<CFErrorRef> error;
  Owned<SecRequirementRef> requirement;
  OSStatus status = SecRequirementCreateWithStringAndErrors(source.get(), kSecCSDefaultFlags,
                                                            error.receive(), requirement.receive());
  if (status != errSecSuccess || !requirement) {
    std::string detail;
    if (error) {
      Owned<CFStringRef> description(CFErrorCopyDescription(error.get()));
      detail = utf8(description.get());
    }
    throw SigningError("the caller requirement does not compile: " +
                       (detail.empty() ? statusText(status) : detail));
  }
  return requirement;
}

// The string `information` holds under `key`; "" when it holds none.
std::string stringValue(CFDictionaryRef information, CFStringRef key) {
  const void* value = information != nullptr ? CFDictionaryGetValue(information, key) : nullptr;
  if (value == nullptr || CFGetTypeID(value) != CFStringGetTypeID()) {
    return {};
  }
  return utf8(static_cast<CFStringRef>(value));
}

bool satisfies(SecCodeRef code, const char* requirementText) {
  Owned<SecRequirementRef> requirement = compileRequirement(requirementText);
  return SecCodeCheckValidity(code, kSecCSDefaultFlags, requirement.get()) == errSecSuccess;
}

// The helper's own team, from its own signature, and which of the team's
// certificates count: Developer ID only once the helper is signed with one.
struct OwnTeam {
  std::string teamId;
  TeamCertificates certificates;
};

OwnTeam ownTeam() {
  Owned<SecCodeRef> self;
  check(SecCodeCopySelf(kSecCSDefaultFlags, self.receive()), "the helper's own code is not found");
  // Signing information is trustworthy only from code found valid first.
  OSStatus validity = SecCodeCheckValidity(self.get(), kSecCSDefaultFlags, nullptr);
  if (validity == errSecCSUnsigned) {
    throw SigningError("the helper is not code-signed, so it has no team to admit callers by");
  }
  check(validity, "the helper's own signature is not valid");
  Owned<SecStaticCodeRef> onDisk;
  check(SecCodeCopyStaticCode(self.get(), kSecCSDefaultFlags, onDisk.receive()),
        "the helper's own file is not found");
  Owned<CFDictionaryRef> information;
  check(
      SecCodeCopySigningInformation(onDisk.get(), kSecCSSigningInformation, information.receive()),
      "the helper's signing information cannot be read");
  std::string teamId = stringValue(information.get(), kSecCodeInfoTeamIdentifier);
  if (teamId.empty()) {
    throw SigningError("the helper's signature names no team (ad hoc signed?), so it has none "
                       "to admit callers by");
  }
  return {teamId, satisfies(self.get(), kDeveloperIdRequirement) ? TeamCertificates::developerId
                                                                 : TeamCertificates::any};
}

// The signing identifier of the application the helper ships in, which must
// be signed by `teamId` too.
std::string enclosingApplicationIdentifier(const std::string& teamId) {
  std::optional<std::string> application =
      enclosingApplication(ownExecutableFolder() + "/tarq-helper");
  if (!application) {
    throw SigningError(
        "the helper is not in the Contents/MacOS folder of an application bundle, so it has no "
        "application to admit callers of; give --caller-identifier");
  }
  Owned<CFURLRef> location(CFURLCreateFromFileSystemRepresentation(
      kCFAllocatorDefault, reinterpret_cast<const UInt8*>(application->c_str()),
      static_cast<CFIndex>(application->size()), true));
  if (!location) {
    throw SigningError("the application's path cannot be made a URL: " + *application);
  }
  Owned<SecStaticCodeRef> code;
  check(SecStaticCodeCreateWithPath(location.get(), kSecCSDefaultFlags, code.receive()),
        "the application around the helper is not found");
  // Its signature must hold for the identifier to count; its resources are
  // the application's business, and hashing them all would hold up the start.
  check(SecStaticCodeCheckValidity(code.get(), kSecCSDoNotValidateResources, nullptr),
        "the application around the helper has no valid signature");
  Owned<CFDictionaryRef> information;
  check(SecCodeCopySigningInformation(code.get(), kSecCSSigningInformation, information.receive()),
        "the application's signing information cannot be read");
  std::string identifier = stringValue(information.get(), kSecCodeInfoIdentifier);
  std::string team = stringValue(information.get(), kSecCodeInfoTeamIdentifier);
  if (team != teamId) {
    throw SigningError("the application " + *application + " is not signed by the helper's team " +
                       teamId + (team.empty() ? " (it names no team)" : " but by " + team));
  }
  if (identifier.empty()) {
    throw SigningError("the application's signature names no identifier");
  }
  return identifier;
}

// The caller's audit token as the kernel gives it now, or why not. The token
// is computed when asked, from the process that last used the socket.
std::optional<audit_token_t> peerToken(int connection, std::string& why) {
  audit_token_t token{};
  socklen_t size = sizeof token;
  if (getsockopt(connection, SOL_LOCAL, LOCAL_PEERTOKEN, &token, &size) != 0) {
    why = "the caller's audit token cannot be read: " +
          std::error_code(errno, std::generic_category()).message();
    return std::nullopt;
  }
  if (size != sizeof token) {
    why = "the caller's audit token is incomplete";
    return std::nullopt;
  }
  return token;
}

ProcessStamp stampOf(const audit_token_t& token) {
  return {audit_token_to_pid(token), audit_token_to_pidversion(token)};
}

// The running code behind `token`. The token names one exec of one process:
// should the caller have exited or run another program since, the lookup
// fails rather than find another.
Owned<SecCodeRef> codeOf(const audit_token_t& token) {
  Owned<CFDataRef> tokenData(CFDataCreate(kCFAllocatorDefault,
                                          reinterpret_cast<const UInt8*>(&token),
                                          static_cast<CFIndex>(sizeof token)));
  if (!tokenData) {
    throw SigningError("the caller's audit token cannot be copied");
  }
  const void* keys[] = {kSecGuestAttributeAudit};
  const void* values[] = {tokenData.get()};
  Owned<CFDictionaryRef> attributes(CFDictionaryCreate(kCFAllocatorDefault, keys, values, 1,
                                                       &kCFTypeDictionaryKeyCallBacks,
                                                       &kCFTypeDictionaryValueCallBacks));
  if (!attributes) {
    throw SigningError("the caller's attributes cannot be made");
  }
  Owned<SecCodeRef> code;
  check(
      SecCodeCopyGuestWithAttributes(nullptr, attributes.get(), kSecCSDefaultFlags, code.receive()),
      "the caller's code is not found");
  if (!code) {
    throw SigningError("the caller's code is not found");
  }
  return code;
}

// Reading the audit token is all that happens on the accepting thread; the
// code signature is checked later, on that same token.
class AuditTokenPolicy : public CallerPolicy {
 public:
  CallerIdentity identify(int connection) const override {
    CallerIdentity caller;
    std::optional<audit_token_t> token = peerToken(connection, caller.reason);
    if (!token) {
      return caller;
    }
    caller.known = true;
    caller.uid = audit_token_to_euid(*token);
    caller.gid = audit_token_to_egid(*token);
    caller.stamp = stampOf(*token);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&*token);
    caller.record.assign(bytes, bytes + sizeof *token);
    return caller;
  }

  std::optional<ProcessStamp> currentStamp(int connection) const override {
    std::string ignored;
    std::optional<audit_token_t> token = peerToken(connection, ignored);
    return token ? std::optional<ProcessStamp>(stampOf(*token)) : std::nullopt;
  }
};

class CodeSigningPolicy final : public AuditTokenPolicy {
 public:
  explicit CodeSigningPolicy(Owned<SecRequirementRef> requirement)
      : requirement_(std::move(requirement)) {}

  // A process refused a moment ago is refused again at no cost: the same
  // exec of the same process has the same code.
  std::optional<CallerVerdict> quickVerdict(const CallerIdentity& caller) const override {
    if (caller.stamp) {
      if (std::optional<std::string> reason = refused_.find(*caller.stamp)) {
        return refusal(caller, *reason);
      }
    }
    return std::nullopt;
  }

  // A compiled requirement is immutable, and the Security framework may be
  // called from any thread, so concurrent calls share it freely.
  CallerVerdict judge(const CallerIdentity& caller) const override {
    try {
      return judgeToken(caller);
    } catch (const std::exception& error) {
      return refusal(caller, error.what());
    } catch (...) {
      return refusal(caller, "the caller could not be judged");
    }
  }

 private:
  CallerVerdict judgeToken(const CallerIdentity& caller) const {
    audit_token_t token{};
    if (caller.record.size() != sizeof token) {
      return refusal(caller, "the caller's audit token is incomplete");
    }
    std::memcpy(&token, caller.record.data(), sizeof token);
    Owned<SecCodeRef> code = codeOf(token);
    OSStatus status = SecCodeCheckValidity(code.get(), kSecCSDefaultFlags, requirement_.get());
    if (status == errSecSuccess) {
      CallerVerdict verdict;
      verdict.admitted = true;
      verdict.uid = caller.uid;
      verdict.gid = caller.gid;
      return verdict;
    }
    std::string reason = status == errSecCSUnsigned ? "the caller is not code-signed"
                         : status == errSecCSReqFailed
                             ? "the caller is not signed as the helper requires"
                             : "the caller's signature is not valid: " + statusText(status);
    if ((status == errSecCSUnsigned || status == errSecCSReqFailed) && caller.stamp) {
      refused_.put(*caller.stamp, reason);
    }
    return refusal(caller, reason);
  }

  Owned<SecRequirementRef> requirement_;
  // Refusals that hold for the exec they were made on, a few seconds long.
  mutable ExpiringCache<ProcessStamp, std::string> refused_{1024, std::chrono::seconds(5)};
};

// Stands in when no requirement could be made: a root daemon that cannot tell
// its callers apart serves none of them.
class RefusingPolicy final : public AuditTokenPolicy {
 public:
  explicit RefusingPolicy(std::string why) : reason_("no caller is admitted: " + why) {}

  std::optional<CallerVerdict> quickVerdict(const CallerIdentity& caller) const override {
    return refusal(caller, reason_);
  }
  CallerVerdict judge(const CallerIdentity& caller) const override {
    return refusal(caller, reason_);
  }

 private:
  std::string reason_;
};

}  // namespace

CodeSigningPolicyMade makeCodeSigningPolicy(const std::string& requirementText,
                                            const std::vector<std::string>& callerIdentifiers) {
  CodeSigningPolicyMade made;
  try {
    std::string text = requirementText;
    if (text.empty()) {
      OwnTeam team = ownTeam();
      std::vector<std::string> identifiers = callerIdentifiers;
      if (identifiers.empty()) {
        identifiers.push_back(enclosingApplicationIdentifier(team.teamId));
      }
      text = callerRequirement(team.teamId, team.certificates, identifiers);
    }
    made.policy = std::make_unique<CodeSigningPolicy>(compileRequirement(text));
    made.callers = "callers satisfying " + text;
  } catch (const std::exception& error) {
    made.policy = std::make_unique<RefusingPolicy>(error.what());
    made.callers = std::string("no caller (") + error.what() + ")";
  } catch (...) {
    made.policy = std::make_unique<RefusingPolicy>("its caller requirement could not be made");
    made.callers = "no caller (its caller requirement could not be made)";
  }
  return made;
}

}  // namespace tarq
