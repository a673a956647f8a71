#!/usr/bin/env bash
# Checks the macOS face of the plug-in and of the helper daemon on a machine
# without Xcode.
#
# Every compile here is an Apple-mode compile: clang with the forced include
# apple-mode/apple_mode.h, which brings in the system headers, then switches
# to Darwin's platform macros (__APPLE__ defined, __linux__ not) and poisons
# or removes what only Linux has; the stub SDK headers of stubs/ declare what
# Apple's headers add. Each runs twice, against libstdc++ and against LLVM's
# libc++ (the C++ library of Xcode), with the project's warnings as errors.
# stubs/README.md says what the stubs and the Apple mode hold.
#
#   bridge   every Objective-C++ file of macos/Classes is parsed and
#            type-checked for the macOS runtime, with ARC and blocks; the
#            public header must also stand alone as plain Objective-C, as
#            the module imports it.
#   sources  the pod compiles the whole core: one forwarding file in
#            macos/Classes per source in src/ (the Linux in-process host
#            aside), and none that names a missing source.
#   daemon   every source of the helper daemon (daemon/: its core, both
#            fronts, the macOS Objective-C++ of tarq-helper/mac) compiles;
#            the preprocessed sources name no Linux path ("/proc"); and the
#            controls: what the Apple mode must catch fails as it should
#            (the clause on SZOMB the daemon once had, a Linux-only call, a
#            Linux-only header and a /proc path outside a Linux guard,
#            pthread_setugid_np() unsilenced).
#   link     every file that the podspec's source_files pattern selects is
#            compiled to an object (against libc++, as Xcode does; against
#            libstdc++ it is only compiled), then all objects are linked into
#            one shared object, as Xcode links the pod's framework: a symbol
#            defined twice fails. Symbols of the SDK and of Flutter stay
#            unresolved: only duplicates are looked for. A control link, with
#            the Linux Platform::system() that the pod once compiled added
#            back, must fail, so the check cannot pass vacuously.
#
# With no argument it runs them all. CLANGXX names the compiler (default
# clang++); COMPILER_LAUNCHER, when set, runs it (ccache, say).
set -euo pipefail
cd "$(dirname "$0")/.."

clangxx=${CLANGXX:-clang++}
classes=macos/Classes
warnings=(-Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
  -Woverloaded-virtual -Wnull-dereference -Wformat=2 -Werror)
objc=(-fobjc-arc -fblocks -fobjc-runtime=macosx-13.0)
stdlibs=(libstdc++ libc++)
read -r -a launcher <<<"${COMPILER_LAUNCHER:-}"

# Sources of src/ that the pod leaves out: the in-process host stands in for
# the Flutter embedding on Linux only.
not_in_pod=(src/host/in_process_host.cc)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The Apple mode's forced include, precompiled once per C++ library and
# language (c++ or objective-c++): it is most of each compile's work. Paths
# are absolute, so that the controls can compile from elsewhere.
root=$(pwd)

apple_flags() {
  local stdlib=$1 language=$2
  local flags=(-std=c++20 -stdlib="$stdlib" -fPIC -I"$root/macos/apple-mode/linux-only"
    -I"$root/macos/stubs")
  if [[ $language == objective-c++ ]]; then
    flags+=("${objc[@]}")
  fi
  printf '%s\n' "${flags[@]}"
}

prefix_of() {
  echo "$work/apple-mode-$1-$2.pch"
}

# Precompiles the forced include for every C++ library and `language`.
prepare_prefix() {
  local language=$1 stdlib flags
  for stdlib in "${stdlibs[@]}"; do
    [[ -f $(prefix_of "$stdlib" "$language") ]] && continue
    mapfile -t flags < <(apple_flags "$stdlib" "$language")
    if ! "$clangxx" "${flags[@]}" -x "$language-header" "$root/macos/apple-mode/apple_mode.h" \
      -o "$(prefix_of "$stdlib" "$language")"; then
      echo "FAILED: the Apple mode's forced include does not compile ($stdlib, $language)" >&2
      return 1
    fi
  done
}

# Compiles `file` in Apple mode: apple_compile STDLIB LANGUAGE FILE ARGS...
# (ARGS: -fsyntax-only, -E or -c, -o OUTPUT, include folders). The prefix
# must have been prepared.
apple_compile() {
  local stdlib=$1 language=$2 file=$3 flags
  shift 3
  mapfile -t flags < <(apple_flags "$stdlib" "$language")
  "${launcher[@]}" "$clangxx" "${flags[@]}" -include-pch "$(prefix_of "$stdlib" "$language")" \
    "${warnings[@]}" -x "$language" "$file" "$@"
}

language_of() {
  case $1 in
    *.mm) echo objective-c++ ;;
    *) echo c++ ;;
  esac
}

check_bridge() {
  local failed=0 file stdlib
  prepare_prefix objective-c++ || return 1
  for file in "$classes"/*.mm; do
    for stdlib in "${stdlibs[@]}"; do
      if apple_compile "$stdlib" objective-c++ "$file" -fsyntax-only -Isrc; then
        echo "ok: $file ($stdlib)"
      else
        echo "FAILED: $file does not compile for macOS with $stdlib" >&2
        failed=1
      fi
    done
  done
  local header="$classes/TarqEnginePlugin.h"
  if "$clangxx" -fsyntax-only "${objc[@]}" -Imacos/stubs -x objective-c -Wall -Wextra -Wpedantic \
    -Werror "$header"; then
    echo "ok: $header as Objective-C"
  else
    echo "FAILED: $header must compile as plain Objective-C (no C++ in the module)" >&2
    failed=1
  fi
  return "$failed"
}

# --- daemon -------------------------------------------------------------------

daemon_sources() {
  find daemon \( -name '*.cc' -o -name '*.mm' \) | sort
}

# The daemon's sources, as the daemon's targets compile them: headers named
# from the repository's root, the socket path from src/.
compile_daemon_file() {
  local stdlib=$1 file=$2
  shift 2
  apple_compile "$stdlib" "$(language_of "$file")" "$file" -I"$root" -I"$root/src" \
    -DTARQ_VERSION='"check"' "$@"
}

# Prints the lines of the daemon's own code (its headers in daemon/
# included) that name a Linux path, in the preprocessed `file`: what a Linux
# guard keeps out is gone by then. Runs where `file`'s path starts with
# daemon/.
linux_paths_in() {
  local file=$1
  compile_daemon_file libstdc++ "$file" -E -o - |
    awk '/^# [0-9]+ "/ { from = $3; next }
         from ~ /^"(\.\/)?daemon\// && /"\/proc([\/"]|$)/ { print from ": " $0 }'
}

check_daemon() {
  local failed=0 file stdlib found
  prepare_prefix c++ && prepare_prefix objective-c++ || return 1
  while IFS= read -r file; do
    for stdlib in "${stdlibs[@]}"; do
      if compile_daemon_file "$stdlib" "$file" -fsyntax-only; then
        echo "ok: $file ($stdlib)"
      else
        echo "FAILED: $file does not compile for macOS with $stdlib" >&2
        failed=1
      fi
    done
    if [[ $file == *.cc ]]; then
      # A file that does not preprocess has been reported just above.
      found=$(linux_paths_in "$file" 2>/dev/null) || true
      if [[ -n $found ]]; then
        echo "FAILED: $file names a Linux path outside a Linux guard:" >&2
        echo "$found" >&2
        failed=1
      fi
    fi
  done < <(daemon_sources)
  daemon_controls || failed=1
  return "$failed"
}

# Writes the C++ text on standard input to daemon/NAME.cc in the work
# folder, where the controls compile it as a daemon source.
write_snippet() {
  mkdir -p "$work/daemon"
  cat >"$work/daemon/$1.cc"
}

# expect_failure NAME MESSAGE: the snippet on standard input must fail to
# compile, with MESSAGE among the compiler's words.
expect_failure() {
  local name=$1 message=$2 output
  write_snippet "$name"
  if output=$(cd "$work" && compile_daemon_file libstdc++ "daemon/$name.cc" -fsyntax-only 2>&1); then
    echo "FAILED: control $name compiled: the Apple mode does not catch it" >&2
    return 1
  fi
  if ! grep -qF -- "$message" <<<"$output"; then
    echo "FAILED: control $name failed for another reason than \"$message\":" >&2
    echo "$output" >&2
    return 1
  fi
  echo "ok: control $name fails: $message"
}

expect_success() {
  local name=$1 output
  write_snippet "$name"
  if ! output=$(cd "$work" && compile_daemon_file libstdc++ "daemon/$name.cc" -fsyntax-only 2>&1); then
    echo "FAILED: control $name does not compile:" >&2
    echo "$output" >&2
    return 1
  fi
  echo "ok: control $name compiles"
}

daemon_controls() {
  local failed=0
  # What engine_record.cc had: SZOMB is defined only in xnu's <sys/proc.h>,
  # which neither header includes.
  expect_failure szomb "use of undeclared identifier 'SZOMB'" <<'EOF' || failed=1
#include <libproc.h>
#include <sys/proc_info.h>

#include <cstdint>
#include <optional>

std::optional<uint64_t> processStartTime(pid_t pid) {
  proc_bsdinfo info{};
  if (proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &info, sizeof info) != sizeof info ||
      info.pbi_status == SZOMB) {
    return std::nullopt;
  }
  return info.pbi_start_tvsec;
}
EOF
  expect_success linux-call-in-guard <<'EOF' || failed=1
#include <fcntl.h>
#include <unistd.h>
bool makePipe(int ends[2]) {
#if defined(__linux__)
  return pipe2(ends, O_CLOEXEC) == 0;
#else
  return pipe(ends) == 0;
#endif
}
EOF
  expect_failure linux-call "attempt to use a poisoned identifier" <<'EOF' || failed=1
#include <fcntl.h>
#include <unistd.h>
bool makePipe(int ends[2]) { return pipe2(ends, O_CLOEXEC) == 0; }
EOF
  expect_failure linux-constant "use of undeclared identifier 'SO_PEERCRED'" <<'EOF' || failed=1
#include <sys/socket.h>
int peerOption() { return SO_PEERCRED; }
EOF
  expect_failure linux-socket-flag "use of undeclared identifier 'SOCK_CLOEXEC'" <<'EOF' || failed=1
#include <sys/socket.h>
int closeOnExecSocket() { return socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0); }
EOF
  expect_failure linux-header "<sys/epoll.h> is Linux-only" <<'EOF' || failed=1
#include <sys/epoll.h>
EOF
  expect_failure unsilenced-setugid "'pthread_setugid_np' is deprecated" <<'EOF' || failed=1
#include <unistd.h>
int takeRights(uid_t uid, gid_t gid) { return pthread_setugid_np(uid, gid); }
EOF
  # A /proc path outside a Linux guard is no compile error: the grep finds it.
  local found
  write_snippet proc-path <<'EOF'
#include <string>
std::string selfPath() {
#if defined(__linux__)
  return "/proc/self/exe";
#else
  return std::string("/proc/") + "self/exe";
#endif
}
EOF
  found=$(cd "$work" && linux_paths_in daemon/proc-path.cc)
  if [[ $(wc -l <<<"$found") -eq 1 && $found == *'std::string("/proc/")'* ]]; then
    echo "ok: control proc-path: the /proc path outside the Linux guard is found, not the other"
  else
    echo "FAILED: control proc-path: expected the one unguarded /proc path, found: $found" >&2
    failed=1
  fi
  return "$failed"
}

# --- sources ------------------------------------------------------------------

# macos/Classes/core_<subsystem>_<name>.cc forwards to src/<subsystem>/<name>.cc.
forwarding_file_of() {
  local source=${1#src/}
  echo "$classes/core_${source//\//_}"
}

check_sources() {
  local failed=0 source forwarding target
  while IFS= read -r source; do
    if [[ " ${not_in_pod[*]} " == *" $source "* ]]; then
      continue
    fi
    forwarding=$(forwarding_file_of "$source")
    if [[ ! -f $forwarding ]]; then
      echo "FAILED: $source is not in the pod: add $forwarding with the line" >&2
      echo "        #include \"../../$source\"" >&2
      failed=1
    elif ! grep -qxF "#include \"../../$source\"" "$forwarding"; then
      echo "FAILED: $forwarding must include \"../../$source\"" >&2
      failed=1
    fi
  done < <(find src -name '*.cc' | sort)
  for forwarding in "$classes"/core_*.cc; do
    [[ -e $forwarding ]] || continue
    target=$(sed -n 's/^#include "\.\.\/\.\.\/\(src\/.*\.cc\)"$/\1/p' "$forwarding")
    if [[ -z $target || ! -f $target ]]; then
      echo "FAILED: $forwarding names no existing source of src/ (${target:-none}): remove it" >&2
      failed=1
    fi
  done
  if ((failed == 0)); then
    echo "ok: the pod compiles every source of src/"
  fi
  return "$failed"
}

# --- link ---------------------------------------------------------------------

# The files of the pod, as the podspec's source_files pattern selects them
# (e.g. 'Classes/**/*.{h,mm,cc}'), one a line.
pod_sources() {
  local pattern
  pattern=$(sed -n "s/^ *s\.source_files *= *'\([^']*\)'.*/\1/p" macos/tarq_engine.podspec)
  if [[ ! $pattern =~ ^[][A-Za-z0-9_/*.{},-]+$ ]]; then
    echo "FAILED: no source_files pattern that this check can read in the podspec" >&2
    return 1
  fi
  (
    cd macos
    shopt -s globstar nullglob
    local files
    eval "files=($pattern)"
    printf 'macos/%s\n' "${files[@]}"
  )
}

# Compiles one pod file as the pod compiles it, against `stdlib`, with the
# remaining arguments (-fsyntax-only, or -c -o OBJECT); headers compile only
# as included.
compile_pod_file() {
  local stdlib=$1 file=$2
  shift 2
  case $file in
    *.h) return 0 ;;
    *.mm | *.cc) apple_compile "$stdlib" "$(language_of "$file")" "$file" -I"$root/src" "$@" ;;
    *)
      echo "FAILED: $file: the check does not know how the pod compiles it" >&2
      return 1
      ;;
  esac
}

check_link() {
  local objects=$work/objects
  mkdir -p "$objects"
  prepare_prefix c++ && prepare_prefix objective-c++ || return 1
  link_pod "$objects"
}

# Compiles the pod into `objects` and links it, then runs the control.
link_pod() {
  local objects=$1 sources failed=0 file count
  sources=$(pod_sources) || return 1
  while IFS= read -r file; do
    if ! compile_pod_file libc++ "$file" -c -o "$objects/$(basename "$file").o"; then
      echo "FAILED: $file does not compile as the pod compiles it (libc++)" >&2
      failed=1
    fi
    if ! compile_pod_file libstdc++ "$file" -fsyntax-only; then
      echo "FAILED: $file does not compile as the pod compiles it (libstdc++)" >&2
      failed=1
    fi
  done <<<"$sources"
  if ((failed != 0)); then
    return 1
  fi
  # Everything the pod leaves to the SDK, Flutter and the two C++ libraries
  # stays unresolved; a second definition is still an error.
  if ! "$clangxx" -shared -o "$objects/pod.so" "$objects"/*.o \
    -Wl,--unresolved-symbols=ignore-all; then
    echo "FAILED: the pod's objects do not link into one library" >&2
    return 1
  fi
  count=$(find "$objects" -name '*.o' | wc -l)
  echo "ok: the pod's $count objects link into one library, each symbol defined once"
  link_catches_second_definition "$objects"
}

# The control: the Linux Platform::system() of src/support/platform.cc, which
# the pod compiled beside mac_platform.mm's before it was kept to Linux, must
# make the same link fail.
link_catches_second_definition() {
  local objects=$1 control output
  control=$objects/control
  mkdir "$control"
  if ! "${launcher[@]}" "$clangxx" -c -fPIC -stdlib=libc++ -x c++ -std=c++20 -Isrc \
    "${warnings[@]}" "$classes/core_support_platform.cc" -o "$control/linux_platform.o"; then
    echo "FAILED: the control object does not compile" >&2
    return 1
  fi
  if output=$("$clangxx" -shared -o "$control/pod.so" "$objects"/*.o "$control/linux_platform.o" \
    -Wl,--unresolved-symbols=ignore-all 2>&1); then
    echo "FAILED: a second definition of tarq::Platform::system() linked: the check sees nothing" >&2
    return 1
  fi
  if ! grep -q 'multiple definition of `tarq::Platform::system()' <<<"$output"; then
    echo "FAILED: the control link failed for another reason:" >&2
    echo "$output" >&2
    return 1
  fi
  echo "ok: a second definition of tarq::Platform::system() fails the link, as it did before"
}

modes=(bridge sources daemon link)
case ${1:-all} in
  bridge) check_bridge ;;
  sources) check_sources ;;
  daemon) check_daemon ;;
  link) check_link ;;
  all)
    status=0
    for mode in "${modes[@]}"; do
      "check_$mode" || status=1
    done
    exit "$status"
    ;;
  *)
    (IFS='|' && echo "usage: $0 [${modes[*]}]" >&2)
    exit 2
    ;;
esac
