// Linux only: in the Apple-mode compile (../../apple_mode.h) this header
// may be included only inside a Linux guard. Before the switch to Darwin's
// macros (while the system headers are brought in) it is the host's own.
#if defined(__linux__)
#include_next <linux/capability.h>
#else
#error "<linux/capability.h> is Linux-only: include it inside #if defined(__linux__)"
#endif
