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
#include <Security/Security.h>
#include <bsm/libbsm.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

#include "daemon/tarq-helper/code_signing_requirement.h"

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

bool satisfies(SecCodeRef code, const char* requirementText) {
  Owned<SecRequirementRef> requirement = compileRequirement(requirementText);
  return SecCodeCheckValidity(code, kSecCSDefaultFlags, requirement.get()) == errSecSuccess;
}

// "Signed by the helper's own team", from the helper's own signature.
std::string ownTeamRequirement() {
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
  const void* team =
      information ? CFDictionaryGetValue(information.get(), kSecCodeInfoTeamIdentifier) : nullptr;
  if (team == nullptr || CFGetTypeID(team) != CFStringGetTypeID()) {
    throw SigningError("the helper's signature names no team (ad hoc signed?), so it has none "
                       "to admit callers by");
  }
  std::string teamId = utf8(static_cast<CFStringRef>(team));
  TeamCertificates certificates = satisfies(self.get(), kDeveloperIdRequirement)
                                      ? TeamCertificates::developerId
                                      : TeamCertificates::any;
  return teamRequirement(teamId, certificates);
}

CallerVerdict refused(std::string reason) {
  CallerVerdict verdict;
  verdict.reason = std::move(reason);
  return verdict;
}

// The running code behind `token`. The token names one exec of one process:
// should the caller have exited, a process that reuses its number is not it.
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

CallerVerdict judgeCaller(int connection, SecRequirementRef requirement) {
  audit_token_t token{};
  socklen_t size = sizeof token;
  if (getsockopt(connection, SOL_LOCAL, LOCAL_PEERTOKEN, &token, &size) != 0) {
    return refused("the caller's audit token cannot be read: " +
                   std::error_code(errno, std::generic_category()).message());
  }
  if (size != sizeof token) {
    return refused("the caller's audit token is incomplete");
  }
  Owned<SecCodeRef> code = codeOf(token);
  OSStatus status = SecCodeCheckValidity(code.get(), kSecCSDefaultFlags, requirement);
  if (status == errSecCSUnsigned) {
    return refused("the caller is not code-signed");
  }
  if (status == errSecCSReqFailed) {
    return refused("the caller is not signed as the helper requires");
  }
  if (status != errSecSuccess) {
    return refused("the caller's signature is not valid: " + statusText(status));
  }
  CallerVerdict verdict;
  verdict.admitted = true;
  verdict.uid = audit_token_to_euid(token);
  verdict.gid = audit_token_to_egid(token);
  return verdict;
}

class CodeSigningPolicy final : public CallerPolicy {
 public:
  explicit CodeSigningPolicy(Owned<SecRequirementRef> requirement)
      : requirement_(std::move(requirement)) {}

  // A compiled requirement is immutable, and the Security framework may be
  // called from any thread, so concurrent calls share it freely.
  CallerVerdict judge(int connection) const override {
    try {
      return judgeCaller(connection, requirement_.get());
    } catch (const std::exception& error) {
      return refused(error.what());
    } catch (...) {
      return refused("the caller could not be judged");
    }
  }

 private:
  Owned<SecRequirementRef> requirement_;
};

// Stands in when no requirement could be made: a root daemon that cannot tell
// its callers apart serves none of them.
class RefusingPolicy final : public CallerPolicy {
 public:
  explicit RefusingPolicy(std::string why) : reason_("no caller is admitted: " + why) {}

  CallerVerdict judge(int /*connection*/) const override { return refused(reason_); }

 private:
  std::string reason_;
};

}  // namespace

std::unique_ptr<CallerPolicy> makeCodeSigningPolicy(const std::string& requirementText) {
  try {
    std::string text = requirementText.empty() ? ownTeamRequirement() : requirementText;
    return std::make_unique<CodeSigningPolicy>(compileRequirement(text));
  } catch (const std::exception& error) {
    return std::make_unique<RefusingPolicy>(error.what());
  } catch (...) {
    return std::make_unique<RefusingPolicy>("its caller requirement could not be made");
  }
}

}  // namespace tarq
