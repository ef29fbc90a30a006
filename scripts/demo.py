#!/usr/bin/python3
"""Shows smbus_scan.exe and kiv_reset.exe at work on the stand-in card under Wine."""

import os
import sys

from standins import wine_card


def show(card, exe, arguments, extra_env=None):
    print("> %s %s" % (exe, " ".join(arguments)))
    status, out, err = wine_card.run_tool(card, exe, arguments, extra_env)
    sys.stdout.write(out.decode("latin-1").replace("\r\n", "\n"))
    sys.stdout.write(err.decode("latin-1").replace("\r\n", "\n"))
    print("(exit status %d)\n" % status)


def main():
    build_dir = sys.argv[1] if len(sys.argv) > 1 else "build/windows"
    print("Setting up a Wine prefix with the stand-in card's driver...\n")
    with wine_card.wine_card(build_dir) as card:
        show(card, "smbus_scan.exe", [])
        log_path = os.path.join(card["root"], "kiv_calls.log")
        show(card, "kiv_reset.exe", ["-d", "mcu", "-i", "2"],
             {"KIV_STANDIN_LOG": wine_card.windows_path(log_path)})
        with open(log_path, encoding="latin-1") as log:
            print("The stand-in kiv.dll received: " + ", ".join(log.read().splitlines()))


if __name__ == "__main__":
    main()
