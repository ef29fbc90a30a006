"""The commit a release is built from and that commit's time: from release/source_commit.txt
when git archive has filled it in (a build from the source archive, whichever repository
that archive may have been unpacked into), otherwise from the checked-out commit.

Run as a module, it prints "COMMIT TIME" for release/release.sh and release_builds.sh."""

import os
import re
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
STAMP = os.path.join(HERE, "source_commit.txt")


def from_archive(stamp=STAMP):
    """(commit, time) as git archive filled them into stamp; None while unfilled."""
    with open(stamp) as file:
        fields = dict(line.split(" ", 1) for line in file.read().splitlines()
                      if line and not line.startswith("#"))
    commit, epoch = fields.get("commit", ""), fields.get("time", "")
    if not re.fullmatch(r"[0-9a-f]{40}", commit) or not epoch.isdigit():
        return None
    return commit, int(epoch)


def from_git():
    def git(*arguments):
        return subprocess.run(["git", "-C", SOURCE_DIR] + list(arguments), capture_output=True,
                              text=True, check=True).stdout.strip()
    return git("rev-parse", "HEAD"), int(git("log", "-1", "--format=%ct"))


def commit_and_time():
    return from_archive() or from_git()


if __name__ == "__main__":
    print("%s %d" % commit_and_time())
