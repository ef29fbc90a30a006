"""smbus_scan.exe's rows of tests/cases/scanner_cases.json, against the stand-in SMBus
driver."""

import json
import os
import shutil

from standins import wine_card
from tests.windows.suite_support import (compare, console_text, DEMO_CARD, expected_text,
                                          from_windows, grid_showing, typed_environment)


def run_scanner_cases(card, table, failures):
    passed = 0
    # The cases without a driver come last, so that it is stopped only once. Wine can't make
    # the open fail otherwise (it gives CreateFileW a handle even when a driver fails the
    # open): those cases are the native suite's.
    cases = [entry for entry in table["cases"] if not entry.get("native_only")]
    ordered = sorted(cases, key=lambda entry: "open_error" in entry)
    for entry in ordered:
        label = "smbus_scan %s" % json.dumps(entry["args"])
        before = len(failures)
        present = [int(a, 16) for a in entry.get("present", ["0x18", "0x20"])]
        fail_address = fail = None
        if "fail" in entry:
            fail_address = int(entry["fail"]["address"], 16)
            fail = (fail_address, int(table["failures"][entry["fail"]["with"]]["ntstatus"], 16))

        exe = entry.get("program", "smbus_scan") + ".exe"
        if not os.path.exists(os.path.join(card["bin"], exe)):
            shutil.copy(os.path.join(card["bin"], "smbus_scan.exe"), os.path.join(card["bin"], exe))
        program = console_text(wine_card.windows_path(os.path.join(card["bin"], exe)))
        streams = entry.get("streams", "separate")
        if "open_error" in entry:
            wine_card.stop_driver(card)
            status, out, err = wine_card.run_tool(card, exe, entry["args"],
                                                  typed_environment(entry), streams)
        else:
            status, out, err = wine_card.run_scanner(card, exe, entry["args"], present, fail,
                                                     typed_environment(entry), streams)

        probed = []
        if "probed" in entry:
            probed = list(range(int(entry["probed"][0], 16), int(entry["probed"][1], 16) + 1))
        shown = [a for a in probed if a in present and a != fail_address]
        if "out_text" in entry:
            expected_out = entry["out_text"]
        else:
            expected_out = expected_text(entry, "out", table["usage"], program, grid_showing(shown))
        compare(failures, label, "stdout", from_windows(out), expected_out)
        compare(failures, label, "stderr", from_windows(err),
                expected_text(entry, "err", table["usage"], program))
        compare(failures, label, "exit status", status, entry["status"] & 0xFF)
        if "open_error" not in entry:
            compare(failures, label, "requests the driver received", wine_card.request_log(card),
                    ["%02x 00 ff code=01161c00 in=3 out=1" % a for a in probed])
        passed += len(failures) == before
    wine_card.start_driver(card)
    wine_card.configure(card, DEMO_CARD)
    return passed, len(cases)
