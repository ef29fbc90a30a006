#!/usr/bin/python3
"""Full-range scan (s 0 e 0x7f) by smbus_scan.exe against the stand-in driver under Wine,
timed against a minimal C program doing the same job, the two alternating in one run.
Prints each one's median time and the median of the pairwise ratios."""

import os
import shutil
import statistics
import sys
import time

from standins import wine_card


def timed(card, exe, arguments):
    start = time.perf_counter()
    status, out, _ = wine_card.run_tool(card, exe, arguments)
    elapsed = time.perf_counter() - start
    return elapsed, status, out


def main():
    build_dir = sys.argv[1] if len(sys.argv) > 1 else "build/windows"
    pairs = int(sys.argv[2]) if len(sys.argv) > 2 else 40
    with wine_card.wine_card(build_dir) as card:
        shutil.copy(os.path.join(build_dir, "benchmarks", "minimal_scan.exe"), card["bin"])
        wine_card.configure(card, [0x18, 0x20, 0x50, 0x7f])
        _, _, tool_grid = timed(card, "smbus_scan.exe", ["s", "0", "e", "0x7f"])
        _, _, minimal_grid = timed(card, "minimal_scan.exe", [])
        if tool_grid != minimal_grid:
            sys.exit("the two programs printed different grids")
        tool_times, minimal_times, ratios = [], [], []
        for pair in range(pairs):
            order = ["tool", "minimal"] if pair % 2 == 0 else ["minimal", "tool"]
            times = {}
            for which in order:
                if which == "tool":
                    times[which] = timed(card, "smbus_scan.exe", ["s", "0", "e", "0x7f"])[0]
                else:
                    times[which] = timed(card, "minimal_scan.exe", [])[0]
            tool_times.append(times["tool"])
            minimal_times.append(times["minimal"])
            ratios.append(times["tool"] / times["minimal"])
    print("pairs: %d" % pairs)
    print("smbus_scan.exe s 0 e 0x7f: median %.2f ms" % (1000 * statistics.median(tool_times)))
    print("minimal C scan:            median %.2f ms" % (1000 * statistics.median(minimal_times)))
    print("median of pairwise ratios: %.3f (%+.1f%%)" % (
        statistics.median(ratios), 100 * (statistics.median(ratios) - 1)))


if __name__ == "__main__":
    main()
