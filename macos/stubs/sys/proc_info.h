// Stub of Darwin's <sys/proc_info.h> (xnu bsd/sys/proc_info.h): the BSD
// information of a process that proc_pidinfo() gives, and its flavours.
// The process states (SZOMB, ...) are not here: xnu defines them only in
// <sys/proc.h>, which neither this header nor <libproc.h> includes.
#ifndef TARQ_STUB_SYS_PROC_INFO_H_
#define TARQ_STUB_SYS_PROC_INFO_H_

#pragma clang system_header

#include <stdint.h>
#include <sys/param.h>
#include <sys/types.h>

// Darwin's <sys/param.h> defines it; glibc's does not.
#ifndef MAXCOMLEN
#define MAXCOMLEN 16
#endif

#ifdef __cplusplus
extern "C" {
#endif

struct proc_bsdinfo {
  uint32_t pbi_flags;
  uint32_t pbi_status;
  uint32_t pbi_xstatus;
  uint32_t pbi_pid;
  uint32_t pbi_ppid;
  uid_t pbi_uid;
  gid_t pbi_gid;
  uid_t pbi_ruid;
  gid_t pbi_rgid;
  uid_t pbi_svuid;
  gid_t pbi_svgid;
  uint32_t rfu_1;
  char pbi_comm[MAXCOMLEN];
  char pbi_name[2 * MAXCOMLEN];
  uint32_t pbi_nfiles;
  uint32_t pbi_pgid;
  uint32_t pbi_pjobc;
  uint32_t e_tdev;
  uint32_t e_tpgid;
  int32_t pbi_nice;
  uint64_t pbi_start_tvsec;
  uint64_t pbi_start_tvusec;
};

struct proc_bsdshortinfo {
  uint32_t pbsi_pid;
  uint32_t pbsi_ppid;
  uint32_t pbsi_pgid;
  uint32_t pbsi_status;
  char pbsi_comm[MAXCOMLEN];
  uint32_t pbsi_flags;
  uid_t pbsi_uid;
  gid_t pbsi_gid;
  uid_t pbsi_ruid;
  gid_t pbsi_rgid;
  uid_t pbsi_svuid;
  gid_t pbsi_svgid;
  uint32_t pbsi_rfu;
};

#define PROC_PIDTBSDINFO 3
#define PROC_PIDTBSDINFO_SIZE (sizeof(struct proc_bsdinfo))
#define PROC_PIDT_SHORTBSDINFO 13
#define PROC_PIDT_SHORTBSDINFO_SIZE (sizeof(struct proc_bsdshortinfo))

#ifdef __cplusplus
}
#endif

#endif  // TARQ_STUB_SYS_PROC_INFO_H_
