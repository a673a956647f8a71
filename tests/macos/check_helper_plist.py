#!/usr/bin/env python3
"""Checks the helper daemon's launchd property list as the application ships it.

Usage: check_helper_plist.py PLIST HELPER_SERVICE_HEADER

launchd reads the file on a Mac only, and ignores a misspelt key without a
word; here plistlib reads it, and it must hold exactly the keys the plug-in and
the helper rely on: the name the plug-in registers, the label launchd knows the
daemon by, the program inside the bundle (never an absolute Program), its
arguments (the daemon's own log, kept to a bounded size, which a plain
StandardErrorPath file is not), the application it belongs to, and that
launchd keeps it running.
"""
import os
import plistlib
import re
import sys


def main():
    plist_path, header_path = sys.argv[1:]
    with open(header_path, encoding="utf-8") as header:
        name = re.search(r'kHelperPlistName\[\]\s*=\s*"([^"]+)"', header.read()).group(1)
    with open(plist_path, "rb") as source:
        plist = plistlib.load(source, fmt=plistlib.FMT_XML)
    owners = plist.pop("AssociatedBundleIdentifiers", None)
    expected = {
        "Label": name.removesuffix(".plist"),
        "BundleProgram": "Contents/MacOS/tarq-helper",
        "ProgramArguments": ["tarq-helper", "--daemon-log", "/Library/Logs/Orvek/tarq-helper.log"],
        "RunAtLoad": True,
        "KeepAlive": True,
        "StandardErrorPath": "/Library/Logs/dev.orvek.tarq.helper.log",
    }
    problems = []
    if os.path.basename(plist_path) != name:
        problems.append(f"the plug-in registers {name}")
    if plist != expected:
        problems.append(f"{plist} is not {expected}")
    if not owners or not all(re.fullmatch(r"[A-Za-z0-9-]+(\.[A-Za-z0-9-]+)+", o) for o in owners):
        problems.append("AssociatedBundleIdentifiers must list the application's bundle identifiers")
    for problem in problems:
        print(f"FAILED: {plist_path}: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
