#!/usr/bin/env bash
# Checks the macOS face of the plug-in on a machine without Xcode.
#
#   bridge   clang parses and type-checks every Objective-C++ file of
#            macos/Classes for the macOS runtime, with ARC and blocks, against
#            the stub SDK headers of macos/stubs and the core's headers, with
#            the project's warnings as errors; the public header must also
#            stand alone as plain Objective-C, as the module imports it.
#   sources  the pod compiles the whole core: one forwarding file in
#            macos/Classes per source in src/ (the Linux in-process host
#            aside), and none that names a missing source.
#   helper   the same compile as bridge for the helper daemon's macOS
#            sources (daemon/tarq-helper/mac), against the Security framework
#            stubs and the repository's headers.
#   link     every file that the podspec's source_files pattern selects is
#            compiled to an object as far as Linux allows, then all objects
#            are linked into one shared object, as Xcode links the pod's
#            framework: a symbol defined twice fails. The Objective-C++ files
#            are compiled as the bridge check parses them; the forwarding
#            files with __APPLE__ defined, so that the core's Linux-only
#            definitions drop out as they do on the Mac. Symbols of the SDK
#            and of Flutter stay unresolved: only duplicates are looked for.
#            A control link, with the Linux Platform::system() that the pod
#            once compiled added back, must fail, so the check cannot pass
#            vacuously.
#
# With no argument it runs them all. CLANGXX names the compiler (default
# clang++); COMPILER_LAUNCHER, when set, runs it (ccache, say).
set -euo pipefail
cd "$(dirname "$0")/.."

clangxx=${CLANGXX:-clang++}
classes=macos/Classes
helper_mac=daemon/tarq-helper/mac
warnings=(-Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
  -Woverloaded-virtual -Wnull-dereference -Wformat=2 -Werror)
runtime=(-fobjc-arc -fblocks -fobjc-runtime=macosx-13.0 -Imacos/stubs)
read -r -a launcher <<<"${COMPILER_LAUNCHER:-}"

# Sources of src/ that the pod leaves out: the in-process host stands in for
# the Flutter embedding on Linux only.
not_in_pod=(src/host/in_process_host.cc)

check_bridge() {
  local failed=0 file
  for file in "$classes"/*.mm; do
    if "$clangxx" -fsyntax-only "${runtime[@]}" -x objective-c++ -std=c++20 -Isrc "${warnings[@]}" "$file"; then
      echo "ok: $file"
    else
      echo "FAILED: $file does not compile for macOS" >&2
      failed=1
    fi
  done
  local header="$classes/TarqEnginePlugin.h"
  if "$clangxx" -fsyntax-only "${runtime[@]}" -x objective-c -Wall -Wextra -Wpedantic -Werror "$header"; then
    echo "ok: $header as Objective-C"
  else
    echo "FAILED: $header must compile as plain Objective-C (no C++ in the module)" >&2
    failed=1
  fi
  return "$failed"
}

check_helper() {
  local failed=0 file
  for file in "$helper_mac"/*.mm; do
    if "$clangxx" -fsyntax-only "${runtime[@]}" -x objective-c++ -std=c++20 -I. "${warnings[@]}" "$file"; then
      echo "ok: $file"
    else
      echo "FAILED: $file does not compile for macOS" >&2
      failed=1
    fi
  done
  return "$failed"
}

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

# Compiles one pod file to `object`; headers compile only as included.
compile_pod_file() {
  local file=$1 object=$2
  case $file in
    *.h) return 0 ;;
    *.mm)
      "${launcher[@]}" "$clangxx" -c -fPIC "${runtime[@]}" -x objective-c++ -std=c++20 -Isrc \
        "${warnings[@]}" "$file" -o "$object"
      ;;
    *.cc)
      "${launcher[@]}" "$clangxx" -c -fPIC -D__APPLE__=1 -x c++ -std=c++20 -Isrc \
        "${warnings[@]}" "$file" -o "$object"
      ;;
    *)
      echo "FAILED: $file: the check does not know how the pod compiles it" >&2
      return 1
      ;;
  esac
}

check_link() {
  local objects status=0
  objects=$(mktemp -d)
  link_pod "$objects" || status=1
  rm -rf "$objects"
  return "$status"
}

# Compiles the pod into `objects` and links it, then runs the control.
link_pod() {
  local objects=$1 sources failed=0 file count
  sources=$(pod_sources) || return 1
  while IFS= read -r file; do
    if ! compile_pod_file "$file" "$objects/$(basename "$file").o"; then
      echo "FAILED: $file does not compile as the pod compiles it" >&2
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
  if ! "${launcher[@]}" "$clangxx" -c -fPIC -x c++ -std=c++20 -Isrc "${warnings[@]}" \
    "$classes/core_support_platform.cc" -o "$control/linux_platform.o"; then
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

modes=(bridge sources helper link)
case ${1:-all} in
  bridge) check_bridge ;;
  sources) check_sources ;;
  helper) check_helper ;;
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
