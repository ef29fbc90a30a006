#!/usr/bin/python3
"""Shows smbus_scan.exe and kiv_reset.exe at work on the stand-in card under Wine."""

import sys

from standins import wine_card


def show(command, status, out, err):
    print("> " + command)
    sys.stdout.write(out.decode("latin-1").replace("\r\n", "\n"))
    sys.stdout.write(err.decode("latin-1").replace("\r\n", "\n"))
    print("(exit status %d)\n" % status)


def main():
    build_dir = sys.argv[1] if len(sys.argv) > 1 else "build/windows"
    print("Setting up a Wine prefix with the stand-in card's driver...\n")
    with wine_card.wine_card(build_dir) as card:
        show("smbus_scan.exe", *wine_card.run_tool(card, "smbus_scan.exe", []))
        status, out, err, calls = wine_card.run_kiv_reset(card, ["-d", "mcu", "-i", "2"])
        show("kiv_reset.exe -d mcu -i 2", status, out, err)
        print("The stand-in kiv.dll received: " + ", ".join(calls))


if __name__ == "__main__":
    main()
