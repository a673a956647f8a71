// Stub of <mach/message.h>: the audit token, the kernel's unforgeable record
// of a process (ids, audit session and a per-exec version, so a reused
// process number never matches an old token).
#ifndef TARQ_STUB_MACH_MESSAGE_H_
#define TARQ_STUB_MACH_MESSAGE_H_

typedef struct {
  unsigned int val[8];
} audit_token_t;

#endif  // TARQ_STUB_MACH_MESSAGE_H_
