// Stub of <bsm/libbsm.h>: the ids recorded in an audit token, and the pid
// and pid version, which together name one exec of one process (every exec
// gives the process a new version).
#ifndef TARQ_STUB_BSM_LIBBSM_H_
#define TARQ_STUB_BSM_LIBBSM_H_

#include <mach/message.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

uid_t audit_token_to_euid(audit_token_t atoken);
gid_t audit_token_to_egid(audit_token_t atoken);
pid_t audit_token_to_pid(audit_token_t atoken);
int audit_token_to_pidversion(audit_token_t atoken);

#ifdef __cplusplus
}
#endif

#endif  // TARQ_STUB_BSM_LIBBSM_H_
