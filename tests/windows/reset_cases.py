"""kiv_reset.exe's rows of tests/cases/reset_cases.json, beside the stand-in kiv.dll."""

import json

from standins import wine_card
from tests.windows.suite_support import compare, expected_text, from_windows, typed_environment


def run_reset_cases(card, table, failures):
    passed = 0
    for entry in table["cases"]:
        label = "kiv_reset %s" % json.dumps(entry["args"])
        before = len(failures)
        # kiv.dll logs its process attach too: a line that makes no library call must not
        # have loaded it.
        extra_env = {"KIV_STANDIN_LOG_ATTACH": "1"}
        if "result" in entry:
            extra_env["KIV_STANDIN_RESULT"] = str(entry["result"])
        extra_env.update(typed_environment(entry))

        status, out, err, calls = wine_card.run_kiv_reset(card, entry["args"], extra_env)

        loaded = ["attach"] if entry["calls"] else []
        compare(failures, label, "library calls", calls, loaded + entry["calls"])
        compare(failures, label, "stdout", from_windows(out),
                expected_text(entry, "out", table["usage"], "kiv_reset"))
        compare(failures, label, "stderr", from_windows(err),
                expected_text(entry, "err", table["usage"], "kiv_reset"))
        compare(failures, label, "exit status", status, entry["status"] & 0xFF)
        passed += len(failures) == before
    return passed
