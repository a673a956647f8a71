// Who may call the helper daemon on macOS: a process whose code satisfies a
// code-signing requirement, by default the application the helper ships in,
// signed by the helper's own team.
//
// The caller is found by the audit token of its end of the connection (never
// by its process number alone, which another process can take over once the
// caller has exited). The kernel does not fix that token when the connection
// is made: it computes it when asked, from the process that last used the
// socket, and every exec gives a process a new pid version. So the token is
// read once, the moment the connection is accepted and before anything is
// read; the signature is judged on that token, off the accepting thread; and
// right before the daemon acts on the request the token is read again, and
// the request is refused unless pid and pid version are the same
// (daemon/core/caller_pin.h).
//
// What this cannot stop: a process that execs a signed application before the
// daemon accepts its connection is judged as that application. The boundary
// is what the engine may do (the daemon's configuration policy), not the
// signature.
#ifndef TARQ_DAEMON_TARQ_HELPER_MAC_CODE_SIGNING_POLICY_H_
#define TARQ_DAEMON_TARQ_HELPER_MAC_CODE_SIGNING_POLICY_H_

#include <memory>
#include <string>
#include <vector>

#include "daemon/core/caller_policy.h"

namespace tarq {

struct CodeSigningPolicyMade {
  std::unique_ptr<CallerPolicy> policy;
  // Whom it admits, for the daemon's log.
  std::string callers;
};

// The policy that admits callers meeting `requirementText`, a requirement in
// Apple's code signing requirement language. Empty text means "signed by the
// helper's own team, as one of `callerIdentifiers`": any of the team's
// certificates while the helper is development-signed, and only its
// Developer ID certificate once the helper itself is signed with Developer
// ID. Without identifiers, the signing identifier of the application the
// helper is in (Contents/MacOS), whose signature must be valid and of the
// same team.
//
// Never throws. When the requirement cannot be made (text that does not
// compile, a helper without a team signature, no application and no
// identifier), the policy refuses every caller, and its reason says why.
CodeSigningPolicyMade makeCodeSigningPolicy(const std::string& requirementText,
                                            const std::vector<std::string>& callerIdentifiers);

}  // namespace tarq

#endif  // TARQ_DAEMON_TARQ_HELPER_MAC_CODE_SIGNING_POLICY_H_
