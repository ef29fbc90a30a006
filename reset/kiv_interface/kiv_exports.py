"""kiv.def's export list, read for Python as cmake/kiv_exports.cmake reads it for the build:
the release's image check and the Windows suite both take the library's functions from here."""

import os

KIV_DEF = os.path.join(os.path.dirname(os.path.abspath(__file__)), "kiv.def")


def kiv_functions():
    """The board control library's functions, in kiv.def's order: the one list of them."""
    functions, in_exports = [], False
    with open(KIV_DEF) as definition:
        for line in definition:
            words = line.split(";", 1)[0].split()
            if words == ["EXPORTS"]:
                in_exports = True
            elif in_exports and words:
                functions.append(words[0])
    if not functions:
        raise SystemExit("%s lists no exports" % KIV_DEF)
    return functions
