"""kiv_reset -v and --version beside each kind of kiv.dll."""

import json
import os
import shutil

from standins import wine_card
from tests.windows import suite_support
from tests.windows.dll_search import NOT_FOUND, place
from tests.windows.suite_support import compare, console_text, from_windows


# kiv_reset -v beside one kind of kiv.dll (of SEARCH_FILES; "text": a text file named
# kiv.dll; None: none on the search), with a planted one in the current folder and the
# stand-ins logging their process attach: -v reads kiv.dll as a data file, so that none of
# its code runs. (label, arguments, kind, stdout, stderr, status, library calls); {dll} is
# the kiv.dll's full path. Only the plain stand-in has a version resource.
NAMED = "kiv_reset {version}\nkiv.dll: {dll} (file version 10.2.300.4)\n"
VERSION_CASES = [
    ("-v", ["-v"], "kiv", NAMED, "", 0, []),
    ("--version", ["--version"], "kiv", NAMED, "", 0, []),
    ("-v, a kiv.dll without a version resource", ["-v"], "incomplete",
     "kiv_reset {version}\nkiv.dll: {dll}\n", "", 0, []),
    ("-v, a text file named kiv.dll", ["-v"], "text",
     "kiv_reset {version}\nkiv.dll: {dll} could not be read (error 193)\n", "", 3, []),
    ("-v, no kiv.dll on the search", ["-v"], None, "kiv_reset {version}\n", NOT_FOUND, 3, []),
    ("a reset, which does load kiv.dll: its attach is logged", ["-i", "3"], "kiv", "Success\n",
     "", 0, ["attach", "pelk_kiv_init", "pelk_reset 3"]),
]


def run_version_cases(card, build_dir, failures):
    passed = 0
    for number, (label, arguments, kind, out, err, status, calls) in enumerate(VERSION_CASES):
        label = "kiv_reset %s, %s" % (json.dumps(arguments), label)
        before = len(failures)
        row = r"C:\version\%d" % number
        app = wine_card.prefix_path(card, row + r"\app")
        current = wine_card.prefix_path(card, row + r"\current")
        for folder in (app, current):
            os.makedirs(folder)
        shutil.copy(os.path.join(card["bin"], "kiv_reset.exe"), app)
        shutil.copy(os.path.join(build_dir, "standins", "planted", "kiv.dll"), current)
        if kind == "text":
            with open(os.path.join(app, "kiv.dll"), "w") as text:
                text.write("not a library\n")
        elif kind is not None:
            place(card, build_dir, kind, app)
        result = wine_card.run_kiv_reset(card, arguments,
                                         {"WINEPATH": "", "KIV_STANDIN_LOG_ATTACH": "1"},
                                         cwd=current, folder=app)
        dll = console_text(row + r"\app\kiv.dll")
        compare(failures, label, "library calls", result[3], calls)
        compare(failures, label, "stdout", from_windows(result[1]),
                out.format(version=suite_support.TOOL_VERSION, dll=dll))
        compare(failures, label, "stderr", from_windows(result[2]), err)
        compare(failures, label, "exit status", result[0], status)
        passed += len(failures) == before
    return passed, len(VERSION_CASES)
