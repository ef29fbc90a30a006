"""The guide's lock_folder.cmd under Wine's cmd: every kind of folder it must refuse, and
kiv.dll's folder, whose icacls lines reach Wine's icacls, a stub that logs its arguments,
changes nothing and succeeds."""

import os
import re
import shutil

from standins import wine_card
from tests.windows.guide_examples import _run_cmd, _write_block


# What lock_folder.cmd asks of icacls, in order, as the guide describes its four lines:
# Administrators the owner of everything in the folder; the folder's inherited rights
# kept as its own; every right of Authenticated Users, Users and Everyone taken away,
# throughout; Users given read and execute, which everything in it inherits.
LOCK_STEPS = [
    ["/setowner", "*S-1-5-32-544", "/T", "/C", "/Q"],
    ["/inheritance:d", "/Q"],
    ["/remove:g", "*S-1-5-11", "*S-1-5-32-545", "*S-1-1-0", "/T", "/C", "/Q"],
    ["/grant:r", "*S-1-5-32-545:(OI)(CI)RX", "/Q"],
]
ICACLS_STUB = re.compile(r"fixme:icacls:main stub: (.*)")

# lock_folder.cmd with folders it must refuse (status 1, a line naming the reason, icacls
# not run) and ones it must lock: (what, the folder as typed after lock_folder.cmd, the
# folder that holds a kiv.dll for the run, or None; the words of the reason, or None for a
# folder it locks). Each refused one but the last two holds a kiv.dll, so that its own
# rule is what refuses it. Short (8.3) names are left out: Wine has none (C:\PROGRA~1 is
# no folder there).
DEPLOY_CASES = [
    ("a drive root", "C:\\", "C:\\", "is a drive root"),
    ("a drive root written with a forward slash", "c:/", "C:\\", "is a drive root"),
    ("a drive letter alone", "C:", "C:\\", "is not a full local path"),
    ("the Windows folder", "C:\\windows", "C:\\windows", "is in the Windows folder"),
    ("System32, in other case and with a trailing backslash", "C:\\WINDOWS\\System32\\",
     "C:\\windows\\system32", "is in the Windows folder"),
    ("a path through .. into the Windows folder",
     '"C:\\Card software\\..\\windows\\system32\\drivers"',
     "C:\\windows\\system32\\drivers", "is in the Windows folder"),
    ("Program Files itself", '"C:\\Program Files"', "C:\\Program Files",
     "is C:\\Program Files or holds it"),
    ("Program Files in quotes, in lower case, with forward slashes", '"c:/program files/"',
     "C:\\Program Files", "is C:\\Program Files or holds it"),
    ("nothing", "", None, "is not a full local path"),
    ("a relative path", '"Card software"', None, "is not a full local path"),
    ("a share", "\\\\filesrv\\pelk", None, "is not a full local path"),
    ("a folder with a space and parentheses but no kiv.dll", '"C:\\Card (x86) software"', None,
     "holds no kiv.dll"),
    ("kiv.dll's folder, with a space and parentheses", '"C:\\Card (x86) software"',
     "C:\\Card (x86) software", None),
    ("kiv.dll's folder in other case, with forward slashes and a final one",
     '"c:/card (x86) software/"', "C:\\Card (x86) software", None),
]


def icacls_calls(err):
    """The arguments of each icacls run, as Wine's icacls stub logs them."""
    calls = []
    for logged in ICACLS_STUB.findall(err.decode("latin-1")):
        calls.append([re.sub(r"\\(.)", r"\1", argument)
                      for argument in re.findall(r'"((?:[^"\\]|\\.)*)"', logged)])
    return calls


def run_deploy_cases(card, failures, compare):
    """The guide's lock_folder.cmd with each folder of DEPLOY_CASES, run from the card's
    root, where there is no MSI, with Wine's icacls stub logging its arguments."""
    passed = 0
    lock = _write_block("lock_folder.cmd", card["root"])
    for label, folder, kiv_folder, reason in DEPLOY_CASES:
        label = "the guide's lock_folder.cmd, folder %s" % label
        before = len(failures)
        os.makedirs(wine_card.prefix_path(card, "C:\\Card (x86) software"), exist_ok=True)
        kiv = kiv_folder and os.path.join(wine_card.prefix_path(card, kiv_folder), "kiv.dll")
        if kiv:
            shutil.copy(os.path.join(card["bin"], "kiv.dll"), kiv)
        try:
            status, out, err = _run_cmd(
                card, '@echo off\ncall "%%~dp0lock_folder.cmd" %s\nexit /b %%ERRORLEVEL%%\n'
                % folder, extra_env={"WINEDEBUG": "-all,fixme+icacls"}, cwd=card["root"])
        finally:
            if kiv:
                os.remove(kiv)
        lines = out.decode("latin-1").splitlines()
        if reason:
            compare(failures, label, "its refusal", lines[:2],
                    ['lock_folder.cmd: "%s" %s: give kiv.dll\'s folder.'
                     % (folder.replace('"', ""), reason), "Nothing was changed."])
            compare(failures, label, "icacls runs", icacls_calls(err), [])
            compare(failures, label, "exit status", status, 1)
        else:
            compare(failures, label, "icacls runs, the folder in any case",
                    [[argument.lower() for argument in call] for call in icacls_calls(err)],
                    [["icacls", kiv_folder.lower()] + [step.lower() for step in steps]
                     for steps in LOCK_STEPS])
            compare(failures, label, "its line, in any case, and status",
                    ([line.lower() for line in lines], status),
                    (['lock_folder.cmd: "%s" is locked.' % kiv_folder.lower()], 0))
        passed += len(failures) == before
    os.remove(lock)
    return passed, len(DEPLOY_CASES)
