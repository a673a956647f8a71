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
#            sources (tools/tarq-helper/mac), against the Security framework
#            stubs and the repository's headers.
#
# With no argument it runs them all. CLANGXX names the compiler (default clang++).
set -euo pipefail
cd "$(dirname "$0")/.."

clangxx=${CLANGXX:-clang++}
classes=macos/Classes
helper_mac=tools/tarq-helper/mac
warnings=(-Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
  -Woverloaded-virtual -Wnull-dereference -Wformat=2 -Werror)
runtime=(-fsyntax-only -fobjc-arc -fblocks -fobjc-runtime=macosx-13.0 -Imacos/stubs)

# Sources of src/ that the pod leaves out: the in-process host stands in for
# the Flutter embedding on Linux only.
not_in_pod=(src/host/in_process_host.cc)

check_bridge() {
  local failed=0 file
  for file in "$classes"/*.mm; do
    if "$clangxx" "${runtime[@]}" -x objective-c++ -std=c++20 -Isrc "${warnings[@]}" "$file"; then
      echo "ok: $file"
    else
      echo "FAILED: $file does not compile for macOS" >&2
      failed=1
    fi
  done
  local header="$classes/TarqEnginePlugin.h"
  if "$clangxx" "${runtime[@]}" -x objective-c -Wall -Wextra -Wpedantic -Werror "$header"; then
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
    if "$clangxx" "${runtime[@]}" -x objective-c++ -std=c++20 -I. "${warnings[@]}" "$file"; then
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

case ${1:-all} in
  bridge) check_bridge ;;
  sources) check_sources ;;
  helper) check_helper ;;
  all)
    status=0
    check_bridge || status=1
    check_sources || status=1
    check_helper || status=1
    exit "$status"
    ;;
  *)
    echo "usage: $0 [bridge|sources|helper]" >&2
    exit 2
    ;;
esac
