#!/usr/bin/python3
"""Writes the fuzz targets' seed corpora from the command-line case tables, in the targets'
input format (see the comments at the top of scanner_fuzz.cpp and reset_fuzz.cpp), and the
version target's from a version resource as resource compilers write it.

With --check, writes nothing: it makes the seeds in a scratch folder and fails, naming the
fix, when the committed ones are not exactly those (scripts/test.sh runs it), so that a
changed case table can't leave the fuzz targets starting from stale seeds."""

import argparse
import json
import os
import struct
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CASES = os.path.join(HERE, "..", "cases")


def arguments(entry):
    return b"\0".join(a.encode() for a in entry["args"])


def scanner_seed(table, entry):
    bits = bytearray(16)
    for address in entry.get("present", ["0x18", "0x20"]):
        value = int(address, 16)
        bits[value // 8] |= 1 << (value % 8)
    fail_address, error = 0xFF, 0
    if "fail" in entry:
        fail_address = int(entry["fail"]["address"], 16)
        error = table["failures"][entry["fail"]["with"]]["error"]
    flags = 1 if entry.get("open_error") else 0
    return bytes([flags]) + bytes(bits) + bytes([fail_address]) + struct.pack("<I", error) + \
        arguments(entry)


def reset_seed(table, entry):
    return bytes([0]) + struct.pack("<i", entry.get("result", 0)) + arguments(entry)


def version_seeds():
    """The stand-in kiv.dll's version resource, 10.2.300.4, as resource compilers write it
    with no children; the same with a wLength that leaves out its fixed part."""
    fixed = struct.pack("<13I", 0xFEEF04BD, 0x10000, 0x000a0002, 0x012c0004, 0x000a0002,
                        0x012c0004, 0x3f, 0, 0x40004, 2, 0, 0, 0)
    key = "VS_VERSION_INFO\0".encode("utf-16-le")
    whole = struct.pack("<3H", 92, 52, 0) + key + bytes(2) + fixed
    return [whole, struct.pack("<H", 91) + whole[2:]]


def write(folder, seeds):
    os.makedirs(folder, exist_ok=True)
    for old in os.listdir(folder):
        os.remove(os.path.join(folder, old))
    for number, seed in enumerate(seeds):
        with open(os.path.join(folder, "seed_%03d" % number), "wb") as file:
            file.write(seed)


def write_corpus(corpus):
    """Writes the three corpora under corpus; returns how many seeds each has."""
    counts = {}
    for name, make, folder, empty_vector in (
            ("scanner_cases.json", scanner_seed, "scanner", b"\xff" + bytes(21)),
            ("reset_cases.json", reset_seed, "reset", b"\xff" + bytes(4))):
        with open(os.path.join(CASES, name)) as file:
            table = json.load(file)
        seeds = [make(table, entry) for entry in table["cases"]] + [empty_vector]
        write(os.path.join(corpus, folder), seeds)
        counts[folder] = len(seeds)
    write(os.path.join(corpus, "version"), version_seeds())
    counts["version"] = len(version_seeds())
    return counts


def corpus_files(corpus):
    """Every seed under corpus, by folder/name."""
    files = {}
    for folder in os.listdir(corpus):
        for name in os.listdir(os.path.join(corpus, folder)):
            with open(os.path.join(corpus, folder, name), "rb") as file:
                files[folder + "/" + name] = file.read()
    return files


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--check", action="store_true",
                        help="write nothing; fail if tests/fuzz/corpus is not what this makes")
    options = parser.parse_args()
    if not options.check:
        for folder, count in write_corpus(os.path.join(HERE, "corpus")).items():
            print("%s: %d seeds" % (folder, count))
        return 0
    with tempfile.TemporaryDirectory() as made:
        write_corpus(made)
        made = corpus_files(made)
    committed = corpus_files(os.path.join(HERE, "corpus"))
    stale = sorted(name for name in made.keys() | committed.keys()
                   if made.get(name) != committed.get(name))
    if stale:
        print("fuzz seeds: %d in tests/fuzz/corpus do not match the case tables (first %s): "
              "run tests/fuzz/make_seeds.py" % (len(stale), stale[0]))
        return 1
    print("fuzz seeds: tests/fuzz/corpus matches the case tables")
    return 0


if __name__ == "__main__":
    sys.exit(main())
