#!/usr/bin/env python3
"""Checks the helper daemon's launchd property list as the application ships it.

Usage: check_helper_plist.py PLIST HELPER_SERVICE_HEADER

launchd and SMAppService read the file on a Mac only; here plistlib reads it,
and the keys the plug-in and the helper rely on are checked: the file name the
plug-in registers, the label launchd knows the daemon by, the program inside
the bundle, the application it belongs to, and that launchd keeps it running.
"""
import os
import plistlib
import posixpath
import re
import sys

# Keys this daemon may use; anything else is most likely a misspelling, which
# launchd ignores without a word.
KNOWN_KEYS = {"Label", "BundleProgram", "AssociatedBundleIdentifiers", "RunAtLoad",
              "KeepAlive", "StandardErrorPath", "StandardOutPath"}
REVERSE_DNS = re.compile(r"^[A-Za-z0-9-]+(\.[A-Za-z0-9-]+)+$")


def plug_in_plist_name(header_path):
    with open(header_path, encoding="utf-8") as header:
        found = re.search(r'kHelperPlistName\[\]\s*=\s*"([^"]+)"', header.read())
    if not found:
        raise SystemExit(f"{header_path}: kHelperPlistName not found")
    return found.group(1)


def problems(plist_path, expected_name):
    try:
        with open(plist_path, "rb") as source:
            plist = plistlib.load(source, fmt=plistlib.FMT_XML)
    except Exception as error:  # plistlib raises parser errors of several kinds
        yield f"not a property list: {error}"
        return
    if not isinstance(plist, dict):
        yield "the top level is not a dictionary"
        return
    name = os.path.basename(plist_path)
    if name != expected_name:
        yield f"the file is {name}, but the plug-in registers {expected_name}"
    label = expected_name.removesuffix(".plist")
    if plist.get("Label") != label:
        yield f"Label is {plist.get('Label')!r}, not {label!r}"
    for key in sorted(set(plist) - KNOWN_KEYS):
        yield f"unexpected key {key!r}"
    for key in ("Program", "ProgramArguments"):
        if key in plist:
            yield f"{key} must not be given: BundleProgram names the program inside the bundle"
    program = plist.get("BundleProgram")
    if not isinstance(program, str) or program.startswith("/") or \
            posixpath.normpath(program) != program or not program.startswith("Contents/"):
        yield f"BundleProgram {program!r} is not a clean path inside the bundle"
    elif posixpath.basename(program) != "tarq-helper":
        yield f"BundleProgram {program!r} does not name tarq-helper"
    owners = plist.get("AssociatedBundleIdentifiers")
    if not isinstance(owners, list) or not owners or \
            not all(isinstance(owner, str) and REVERSE_DNS.match(owner) for owner in owners):
        yield "AssociatedBundleIdentifiers must list the application's bundle identifiers"
    for key in ("RunAtLoad", "KeepAlive"):
        if plist.get(key) is not True:
            yield f"{key} must be true"
    for key in ("StandardErrorPath", "StandardOutPath"):
        path = plist.get(key)
        if path is not None and (not isinstance(path, str) or
                                 not path.startswith("/Library/Logs/")):
            yield f"{key} {path!r} is not a file under /Library/Logs"


def main():
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    plist_path, header_path = sys.argv[1:]
    found = list(problems(plist_path, plug_in_plist_name(header_path)))
    for problem in found:
        print(f"FAILED: {plist_path}: {problem}", file=sys.stderr)
    if not found:
        print(f"ok: {plist_path}")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
