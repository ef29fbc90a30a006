#!/usr/bin/python3
"""One device reset (-i 2) by kiv_reset.exe beside the stand-in kiv.dll under Wine, three
ways alternating in one run: a minimal C program that imports kiv.dll and does the same
job (the floor); kiv_reset.exe with no RequiredSigners policy; and kiv_reset.exe with the
policy listing kiv.dll's signer, kiv.dll signed under a throwaway root the prefix trusts.
All three use that same signed kiv.dll. Prints each one's median time and two medians of
the per-round ratios: the reset without a requirement against the floor (target at most
1.02x: such a run does no more work than before), and the reset with one against the
reset without (goal at most 1.15x). It prints figures; nothing fails on them.

The policy is machine-wide, so it is written just before each run that needs it and taken
away just after, outside the timed runs; the order of the three turns each round."""

import os
import shutil
import statistics
import sys
import tempfile
import time

from standins import wine_card, wine_signing

RESET = ["-i", "2"]
MET = "required signers: set; this kiv.dll meets them"


def timed(card, exe, arguments):
    start = time.perf_counter()
    status, out, err = wine_card.run_tool(card, exe, arguments)
    elapsed = time.perf_counter() - start
    return elapsed, (status, out.replace(b"\r\n", b"\n"), err)


def main():
    build_dir = sys.argv[1] if len(sys.argv) > 1 else "build/windows"
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 30
    times = {"floor": [], "plain": [], "required": []}
    ratios = {"plain": [], "required": []}
    with wine_card.wine_card(build_dir) as card, tempfile.TemporaryDirectory() as scratch:
        shutil.copy(os.path.join(build_dir, "benchmarks", "minimal_reset.exe"), card["bin"])
        folder = wine_signing.make_certificate(os.path.join(scratch, "certificate"))
        kiv = os.path.join(card["bin"], "kiv.dll")
        wine_signing.sign(os.path.join(build_dir, "standins", "kiv.dll"), folder, kiv)
        wine_signing.trust_root(card, folder)
        thumbprint = wine_signing.signer_thumbprint(folder)

        def run(which):
            if which == "floor":
                return timed(card, "minimal_reset.exe", [])
            if which == "plain":
                return timed(card, "kiv_reset.exe", RESET)
            wine_signing.set_policy(card, "REG_MULTI_SZ", thumbprint)
            try:
                return timed(card, "kiv_reset.exe", RESET)
            finally:
                wine_signing.clear_policy(card)

        # Each must do the job, and the requirement must be in force where it is set.
        for which in times:
            _, result = run(which)
            if result != (0, b"Success\n", b""):
                sys.exit("the %s run did not reset: %r" % (which, result))
        wine_signing.set_policy(card, "REG_MULTI_SZ", thumbprint)
        _, (status, out, _) = timed(card, "kiv_reset.exe", ["-v"])
        wine_signing.clear_policy(card)
        if status != 0 or MET not in out.decode("latin-1"):
            sys.exit("kiv_reset -v does not say the requirement is set and met: %r" % out)

        orders = [["floor", "plain", "required"], ["plain", "required", "floor"],
                  ["required", "floor", "plain"]]
        for number in range(rounds):
            this_round = {which: run(which)[0] for which in orders[number % 3]}
            for which, elapsed in this_round.items():
                times[which].append(elapsed)
            ratios["plain"].append(this_round["plain"] / this_round["floor"])
            ratios["required"].append(this_round["required"] / this_round["plain"])
    print("rounds: %d" % rounds)
    for which, what in (("floor", "minimal C caller (floor):       "),
                        ("plain", "kiv_reset -i 2, no requirement: "),
                        ("required", "kiv_reset -i 2, signer required:")):
        print("%s median %.2f ms" % (what, 1000 * statistics.median(times[which])))
    # Under Wine a run's time comes in steps of about 16 ms here (its start and exit), and a
    # run as short as these may fall on either side of one: the ratio of the medians is
    # printed beside the median of the ratios.
    for which, base, against, bound, kind in (("plain", "floor", "the floor", 1.02, "target"),
                                              ("required", "plain", "no requirement", 1.15,
                                               "goal")):
        median = statistics.median(ratios[which])
        print("%s against %s, median of ratios: %.3f (%+.1f%%; %s at most %.2fx); ratio of "
              "medians %.3f" % ("no requirement" if which == "plain" else "signer required",
                                against, median, 100 * (median - 1), kind, bound,
                                statistics.median(times[which]) / statistics.median(times[base])))


if __name__ == "__main__":
    main()
