"""How the rig (standins/wine_card.py) meets Wine's own hiccups, on scripted runs."""

import contextlib
import io
import os
import subprocess

from standins import wine_card
from tests.windows.suite_support import compare


# How the rig meets the ends of a run that may be Wine's own: which runs it starts again,
# and what the case then sees. Wine's runs are scripted here: each run but those of the
# stand-in's control tool (which end well) takes the next of the row's ends (exit status,
# stdout, stderr, as the rig captures them: merged, all in stdout; stdout on /dev/full,
# none in stdout). (what, the run, ends, the command lines started, by the program's file
# name, the exit status the case sees, texts that it sees in the output, retries counted).
ASSERTION = (b"Inconsistency detected by ld.so: dl-fini.c: 87: _dl_fini: Assertion "
             b"`ns != LM_ID_BASE || i == nloaded' failed!\n")
LIBRARY_FAILED = b"kiv_reset fail for:\tboard control error 7\n"


def tool(exe, *arguments, streams="separate"):
    return lambda card: wine_card.run_tool(card, exe, list(arguments), streams=streams)


def command(*arguments):
    return lambda card: wine_card.run_command(card, list(arguments))


def scanner(present):
    return lambda card: wine_card.run_scanner(card, "smbus_scan.exe", [], present)


RESET = tool("kiv_reset.exe", "-i", "2")
CONFIGURE = "smbus_standin_ctl.exe configure 18,20"
HICCUP_CASES = [
    ("the loader's assertion at exit, after the rerun's output", RESET,
     [(127, b"Success\n", ASSERTION), (0, b"Success\n", b"")], ["kiv_reset.exe -i 2"] * 2, 0,
     [b"Success\n"], 1),
    ("status 1 and no output", RESET, [(1, b"", b""), (0, b"Success\n", b"")],
     ["kiv_reset.exe -i 2"] * 2, 0, [b"Success\n"], 1),
    ("the assertion with another status", RESET, [(1, b"", ASSERTION)], ["kiv_reset.exe -i 2"],
     1, [ASSERTION], 0),
    ("status 127 with another message", RESET, [(127, b"", b"wine: could not load kernel32.dll\n")],
     ["kiv_reset.exe -i 2"], 127, [b"kernel32.dll"], 0),
    ("the assertion within a line of the program's", RESET, [(127, b"", b"log: " + ASSERTION)],
     ["kiv_reset.exe -i 2"], 127, [b"log: "], 0),
    ("status 1 with output", RESET, [(1, LIBRARY_FAILED, b"")], ["kiv_reset.exe -i 2"], 1,
     [LIBRARY_FAILED], 0),
    # At most once.
    ("Wine's hiccup twice: started once more only", RESET, [(1, b"", b""), (1, b"", b"")],
     ["kiv_reset.exe -i 2"] * 2, 1, [], 1),
    # After the assertion, the first run's output must be the rerun's.
    ("the assertion after other stdout than the rerun's: the first run counts, both shown",
     RESET, [(127, LIBRARY_FAILED, ASSERTION), (0, b"Success\n", b"")],
     ["kiv_reset.exe -i 2"] * 2, 127, [LIBRARY_FAILED, b"Success"], 1),
    ("the assertion after other stderr than the rerun's: the first run counts, both shown",
     tool("smbus_scan.exe"), [(127, b"", b"Error: the scan stopped at address 0x20, error 31\n"
                                  + ASSERTION), (255, b"", b"")],
     ["smbus_scan.exe"] * 2, 127, [b"error 31", b"status 255"], 1),
    ("2>&1: the assertion in the one file, after the rerun's output",
     tool("kiv_reset.exe", "-i", "2", streams="merged"),
     [(127, b"Success\n" + ASSERTION, b""), (0, b"Success\n", b"")], ["kiv_reset.exe -i 2"] * 2,
     0, [b"Success\n"], 1),
    # "No output" only where every stream the program writes is seen.
    ("2>&1: status 1 and nothing in the one file", tool("kiv_reset.exe", "-i", "2",
                                                        streams="merged"),
     [(1, b"", b""), (0, b"Success\n", b"")], ["kiv_reset.exe -i 2"] * 2, 0, [b"Success\n"], 1),
    ("stdout on /dev/full: status 1 and nothing on stderr is no proof of no output",
     tool("kiv_reset.exe", "-i", "2", streams="stdout_full"), [(1, b"", b"")],
     ["kiv_reset.exe -i 2"], 1, [], 0),
    # A scanner case's card is configured again, its request log emptied, before the rerun.
    ("a scanner case", scanner([0x18, 0x20]), [(1, b"", b""), (0, b"grid\n", b"")],
     [CONFIGURE, "smbus_scan.exe", CONFIGURE, "smbus_scan.exe"], 0, [b"grid\n"], 1),
    # The prefix's own programs run once, whatever Wine does.
    ("msiexec /x ending on the loader's assertion", command("msiexec", "/x", "pelk.msi", "/qn"),
     [(127, b"", ASSERTION)], ["msiexec /x pelk.msi /qn"], 127, [ASSERTION], 0),
    ("msiexec /i, status 1 and no output", command("msiexec", "/i", "pelk.msi", "/qn"),
     [(1, b"", b"")], ["msiexec /i pelk.msi /qn"], 1, [], 0),
    ("a cmd script, status 1 and no output", command("cmd", "/c", "deploy.cmd"),
     [(1, b"", b"")], ["cmd /c deploy.cmd"], 1, [], 0),
    ("reg, ending on the loader's assertion", command("reg", "query", "HKLM\\Software"),
     [(127, b"", ASSERTION)], ["reg query HKLM\\Software"], 127, [ASSERTION], 0),
    ("sc stop, status 1 and no output", command("sc", "stop", wine_card.SERVICE),
     [(1, b"", b"")], ["sc stop " + wine_card.SERVICE], 1, [], 0),
]


def scripted_card(ends):
    """A card whose runs are scripted (see HICCUP_CASES), and the list of the command lines
    it is asked to start."""
    started = []

    def run_once(card, arguments, extra_env, streams, cwd):
        name = os.path.basename(arguments[0])
        started.append(" ".join([name, *arguments[1:]]))
        if name == "smbus_standin_ctl.exe":
            return subprocess.CompletedProcess(arguments, 0, b"", b"")
        if not ends:
            raise wine_card.WineError("started more often than the row has ends")
        return subprocess.CompletedProcess(arguments, *ends.pop(0))

    return {"run_once": run_once, "bin": "bin", "root": "", "retries": 0}, started


def run_hiccup_cases(failures):
    passed = 0
    for what, run, ends, started, status, shown, retries in HICCUP_CASES:
        label = "wine_card, " + what
        before = len(failures)
        card, commands = scripted_card(list(ends))
        try:
            # Without the rig's notes of retries, which are real runs' only.
            with contextlib.redirect_stderr(io.StringIO()):
                _, out, err = result = run(card)
            compare(failures, label, "exit status the case sees", result[0], status)
            compare(failures, label, "texts missing from what the case sees",
                    [text for text in shown if text not in out + err], [])
        except wine_card.WineError as error:
            failures.append("%s: %s" % (label, error))
        compare(failures, label, "runs started", commands, started)
        compare(failures, label, "retries counted", wine_card.retries(card), retries)
        passed += len(failures) == before
    return passed, len(HICCUP_CASES)
