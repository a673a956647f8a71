// Stub of Darwin's <grp.h> over the host's: Darwin declares getgrouplist()
// in <unistd.h>, with int group ids (see unistd.h here); glibc's, with gid_t,
// is kept out of sight.
#ifndef TARQ_STUB_GRP_H_
#define TARQ_STUB_GRP_H_

#pragma clang system_header

#define getgrouplist tarq_stub_hidden_glibc_getgrouplist
#include_next <grp.h>
#undef getgrouplist

#endif  // TARQ_STUB_GRP_H_
