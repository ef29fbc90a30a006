"""Installs beside the install folder already on the system PATH in forms of its own: which
entries reach the folder is Windows' answer (msi_support.entries_reaching), not a comparison
of ours."""

import os

from standins import wine_card
from tests.windows import guide_examples
from tests.windows.msi_support import (DEFAULT_FOLDER, entries_reaching, installed_files,
                                       registry_value, set_system_path, short_name, system_path)
from tests.windows.suite_support import compare


# The install folder already on the system PATH (REG_EXPAND_SZ) in a form of its own, as
# the card's software or an administrator may have written it: (what, the entry; None: the
# folder's short path, as Wine makes it). Each installs and uninstalls the release into
# the default folder, made beforehand (an 8.3 name is an existing folder's). Windows says
# whether the entry reaches the folder; after the install exactly one entry does (that one,
# or the install's own beside it), and PathEntry says which; after the uninstall PATH is as
# it was, that entry still there.
PATH_FORMS = [
    ("forward slashes", DEFAULT_FOLDER.replace("\\", "/")),
    ("a final \\.", DEFAULT_FOLDER + "\\."),
    ("a leading space", " " + DEFAULT_FOLDER),
    ("%ProgramFiles%", "%ProgramFiles%\\PELK card service tools"),
    ("the short path", None),
]


def run_path_form_cases(card, msi, ran, failures):
    passed = 0
    before_all = system_path(card)
    for what, form in PATH_FORMS:
        before = len(failures)

        def check(check_what, actual, expected, row=what):
            compare(failures, "msi", "%s: %s" % (row, check_what), actual, expected)

        os.makedirs(wine_card.prefix_path(card, DEFAULT_FOLDER), exist_ok=True)
        entry = form if form is not None else short_name(card, DEFAULT_FOLDER)
        set_system_path(card, before_all + [entry])
        reached = entries_reaching(card, DEFAULT_FOLDER) == [entry]
        check("install status", guide_examples.run_msiexec(card, "/i", msi, (), ran), 0)
        check("PATH entries reaching the folder after the install",
              len(entries_reaching(card, DEFAULT_FOLDER)), 1)
        check("the entry after the install", entry in system_path(card), True)
        check("PathEntry", registry_value(card, "PathEntry"), "found" if reached else "added")
        check("uninstall status", guide_examples.run_msiexec(card, "/x", msi, (), ran), 0)
        check("PATH after the uninstall", system_path(card), before_all + [entry])
        check("the folder after the uninstall", installed_files(card, DEFAULT_FOLDER), None)
        print("msi: the folder on PATH as %r (%s): Windows %s the folder by it" % (
            entry, what, "reaches" if reached else "does not reach"))
        passed += len(failures) == before
    set_system_path(card, before_all)
    return passed, len(PATH_FORMS)
