#!/usr/bin/env bash
# Releases are made on Debian 12: the notices and the SBOM name that release's toolchain
# packages, the release check compares them with its table of them, and the guide's rebuild
# steps give its package versions. Exits 0 there; elsewhere it says why no release is made
# and exits 1. The tools themselves build, and their tests run, on Debian 12 and 13.
. /etc/os-release
if [ "${ID:-}" = debian ] && [ "${VERSION_ID:-}" = 12 ]; then
    exit 0
fi
echo "release: not made on ${PRETTY_NAME:-this system}: releases are made on Debian 12," \
     "whose toolchain the notices, the SBOM and the guide's rebuild steps name"
exit 1
