#!/usr/bin/python3
"""Runs the command-line case tables against the real Windows executables under Wine: the
scanner against the stand-in SMBus driver, the reset tool beside the stand-in kiv.dll; then
where kiv_reset.exe finds kiv.dll (never in the current folder); and, given a release, runs
all of that on its signed executables and installs, upgrades, repairs and removes its MSI.

Each suite is a module of its own beside this one; this runner sets up the stand-in card,
runs the suites asked for and prints the closing line that CI reads."""

import argparse
import glob
import json
import os
import sys

from release.package_release import tool_version
from standins import wine_card, wine_signing
from tests.windows import guide_examples, signer_examples, suite_support
from tests.windows.dll_search import run_dll_search_cases
from tests.windows.hiccups import run_hiccup_cases
from tests.windows.msi_cases import run_msi_cases
from tests.windows.reset_cases import run_reset_cases
from tests.windows.scanner_cases import run_scanner_cases
from tests.windows.suite_support import CASES_DIR, compare
from tests.windows.version_cases import run_version_cases


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build-dir", default="build/windows")
    parser.add_argument("--release", help="a release's dist folder: its signed tools run "
                        "the cases, and its MSI is installed, upgraded and removed")
    parser.add_argument("--upgrade-msi", help="with --release: an MSI of a higher version")
    parser.add_argument("--only-dll-search", action="store_true",
                        help="run only the rows of where kiv_reset.exe finds kiv.dll")
    parser.add_argument("--only-guide", action="store_true",
                        help="run only the guide's examples and, given a release, the MSI cases")
    options = parser.parse_args()
    suite_support.TOOL_VERSION = tool_version(options.build_dir)
    tools_dir = msi = None
    if options.release:
        msi = glob.glob(os.path.join(options.release, "pelk-card-tools-*-win-x64.msi"))[0]
        tools_dir = msi[:-4]

    tables = {}
    for name in ("scanner_cases.json", "reset_cases.json"):
        with open(os.path.join(CASES_DIR, name)) as file:
            tables[name] = json.load(file)
    only_some = options.only_dll_search or options.only_guide
    total = 0 if only_some else len(tables["reset_cases.json"]["cases"])

    failures = []
    passed, total_hiccups = run_hiccup_cases(failures)
    total += total_hiccups
    with wine_card.wine_card(options.build_dir, tools_dir) as card:
        if not only_some:
            scanner_passed, scanner_total = run_scanner_cases(card, tables["scanner_cases.json"],
                                                              failures)
            passed += scanner_passed
            total += scanner_total
            passed += run_reset_cases(card, tables["reset_cases.json"], failures)
            version_passed, version_total = run_version_cases(card, options.build_dir, failures)
            passed += version_passed
            total += version_total
        if not options.only_guide:
            search_passed, search_total = run_dll_search_cases(card, options.build_dir, failures)
            passed += search_passed
            total += search_total
        if not options.only_dll_search:
            # Before the MSI cases, which leave a kiv.dll in a folder that the example puts on
            # PATH.
            example_passed, example_total = guide_examples.run_guide_example(card, failures,
                                                                             compare)
            passed += example_passed
            total += example_total
            # Before the MSI cases too, which use the same folder of the card's kiv.dll.
            signer_passed, signer_total = signer_examples.run_signer_lines(
                card, suite_support.TOOL_VERSION.rsplit(".", 1)[0], failures, compare) \
                if wine_signing.imported_root_trusted() else (0, 0)
            passed += signer_passed
            total += signer_total
        if msi and options.upgrade_msi and not options.only_dll_search:
            msi_passed, msi_total = run_msi_cases(card, msi, options.upgrade_msi, failures)
            passed += msi_passed
            total += msi_total
    for failure in failures:
        print("FAIL " + failure)
    print("windows, runs started once more after Wine's own hiccups: %d"
          % wine_card.retries(card))
    print("windows: %d passed, %d failed" % (passed, total - passed))
    return 0 if passed == total else 1


if __name__ == "__main__":
    sys.exit(main())
