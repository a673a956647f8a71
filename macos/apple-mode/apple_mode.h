// Forced include (-include) of the Apple-mode compile in ../check.sh: a
// source compiled on Linux as if for macOS, so that its macOS branches are
// compiled and its Linux-only code, left outside a Linux guard, fails.
//
// It cannot be a real Mac: the C and C++ libraries are still glibc and the
// host's libstdc++ or libc++, configured for Linux. So this header first
// brings in every system header the sources may use, under the host's own
// macros (a header included for the first time after the switch would see a
// platform it was not written for); then it switches the platform macros to
// Darwin's and takes away what glibc has and Darwin has not:
//
//   - functions, types and enumerators are poisoned: any later use is an
//     error ("attempt to use a poisoned identifier"), even in a feature test
//     such as #ifdef, so that Linux code must sit inside #if defined(__linux__);
//   - constant macros are removed: a feature test (#if defined(SO_PEERCRED))
//     takes the other branch, as it does on a Mac, and a use outside a test is
//     an undeclared identifier;
//   - headers that only Linux has stop the compile (linux-only/), unless they
//     are included inside a Linux guard.
//
// What Darwin adds to the headers that both systems have (pthread_setugid_np
// in <unistd.h>, LOCAL_PEERTOKEN in <sys/un.h>, ...) and the headers only the
// SDK has (<libproc.h>, <sys/event.h>, ...) are the stubs in ../stubs, which
// declare what Apple's headers declare. String paths such as "/proc/" are
// found by check.sh in the preprocessed source.
#ifndef TARQ_APPLE_MODE_H_
#define TARQ_APPLE_MODE_H_

#if !defined(__linux__)
#error "the Apple-mode compile runs on Linux"
#endif

// --- 1. The system headers, under the host's macros -------------------------

#include <arpa/inet.h>
#include <assert.h>
#include <ctype.h>
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <float.h>
#include <grp.h>
#include <inttypes.h>
#include <limits.h>
#include <locale.h>
#include <math.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <wchar.h>
#include <wctype.h>

#ifdef __cplusplus
// Every standard header that both libstdc++ 12 and libc++ 14 have; the
// libraries' own configuration reads the C library's macros.
#include <algorithm>
#include <any>
#include <array>
#include <atomic>
#include <bitset>
#include <cassert>
#include <cctype>
#include <cerrno>
#include <cfloat>
#include <charconv>
#include <chrono>
#include <cinttypes>
#include <climits>
#include <clocale>
#include <cmath>
#include <codecvt>
#include <compare>
#include <complex>
#include <concepts>
#include <condition_variable>
#include <csignal>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <cwctype>
#include <deque>
#include <exception>
#include <filesystem>
#include <forward_list>
#include <fstream>
#include <functional>
#include <future>
#include <initializer_list>
#include <iomanip>
#include <ios>
#include <iosfwd>
#include <iostream>
#include <istream>
#include <iterator>
#include <limits>
#include <list>
#include <locale>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <numeric>
#include <optional>
#include <ostream>
#include <queue>
#include <random>
#include <ranges>
#include <ratio>
#include <regex>
#include <scoped_allocator>
#include <set>
#include <shared_mutex>
#include <span>
#include <sstream>
#include <stack>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <tuple>
#include <type_traits>
#include <typeindex>
#include <typeinfo>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <valarray>
#include <variant>
#include <vector>
#include <version>
#if __has_include(<bit>)
#include <bit>
#endif
#if __has_include(<numbers>)
#include <numbers>
#endif
#endif  // __cplusplus

// --- 2. Darwin's platform macros ----------------------------------------------

#undef __linux__
#undef __linux
#undef linux
#undef __gnu_linux__
#undef __unix__
#undef __unix
#undef unix
#undef __GLIBC__
#undef __GLIBC_MINOR__
#undef __GNU_LIBRARY__
#define __APPLE__ 1
#define __MACH__ 1

// --- 3. What glibc has and Darwin has not --------------------------------------

// Constants: gone, as on a Mac.
#undef O_PATH
#undef O_TMPFILE
#undef O_DIRECT
#undef O_NOATIME
#undef O_LARGEFILE
#undef SO_PEERCRED
#undef SO_PEERSEC
#undef SO_PASSCRED
#undef POSIX_SPAWN_USEVFORK
#undef SYS_pidfd_open
#undef SYS_pidfd_send_signal
#undef SYS_pidfd_getfd
#undef SYS_setfsuid
#undef SYS_setfsgid
#undef SYS_setfsuid32
#undef SYS_setfsgid32
#undef SYS_setgroups32
#undef SYS_close_range
#undef SYS_prctl
#undef SYS_capget
#undef SYS_capset
#undef SYS_clone3
#undef SYS_accept4
#undef SYS_pipe2
#undef SYS_epoll_create1
#undef SYS_eventfd2
#undef SYS_signalfd4
#undef SYS_memfd_create

// SOCK_CLOEXEC and SOCK_NONBLOCK, which glibc makes enumerators as well as
// macros, are hidden by the <sys/socket.h> of ../stubs.

// Descriptors and processes.
#pragma GCC poison accept4 pipe2 dup3 closefrom close_range
#pragma GCC poison posix_spawn_file_actions_addclosefrom_np posix_spawn_file_actions_addtcsetpgrp_np
#pragma GCC poison epoll_create epoll_create1 epoll_ctl epoll_wait epoll_pwait epoll_event
#pragma GCC poison eventfd eventfd_read eventfd_write signalfd signalfd_siginfo
#pragma GCC poison pidfd_open pidfd_send_signal pidfd_getfd pidfd_getpid
#pragma GCC poison inotify_init inotify_init1 inotify_add_watch timerfd_create memfd_create
#pragma GCC poison clone unshare setns getauxval getrandom secure_getenv

// Credentials.
#pragma GCC poison ucred prctl setfsuid setfsgid
// libcap (<sys/capability.h> itself stops the compile: linux-only/).
#pragma GCC poison cap_init cap_free cap_get_proc cap_set_proc cap_set_flag cap_get_flag cap_clear
#pragma GCC poison cap_iab_init cap_iab_get_proc cap_iab_set_proc cap_iab_set_vector cap_iab_fill
#pragma GCC poison cap_new_launcher cap_func_launcher cap_launch cap_launcher_setuid
#pragma GCC poison cap_launcher_setgroups cap_launcher_set_iab cap_launcher_set_mode
#pragma GCC poison cap_launcher_callback cap_launcher_set_chroot cap_set_ambient
#pragma GCC poison cap_reset_ambient cap_set_secbits cap_setuid cap_setgroups cap_set_mode
#pragma GCC poison cap_prctl cap_prctlw cap_drop_bound

#endif  // TARQ_APPLE_MODE_H_
