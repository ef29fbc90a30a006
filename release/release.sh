#!/usr/bin/env bash
# Builds a release from a clean folder and checks it (build/release/dist/):
#   pelk-card-tools-<version>-win-x64.zip   smbus_scan.exe, kiv_reset.exe, GUIDE.txt,
#                                           THIRD-PARTY-NOTICES.txt
#   pelk-card-tools-<version>-win-x64.msi   the per-machine installer
#   pelk-card-tools-<version>.spdx.json     the bill of materials
#   SHA256SUMS
# The version is the project() version in CMakeLists.txt. A release is a function of its
# commit: the executables' time stamps, the zip's entry times, the MSI's summary times and
# the SBOM's creation time are the commit's time.
# Signed when PELK_SIGNING_PKCS12 (and PELK_SIGNING_PASSWORD, optionally
# PELK_SIGNING_TIMESTAMP_URL) are set; a signed release is rebuilt with PELK_SIGNATURES:
# see release/package_release.py.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
PELK_SOURCE_COMMIT=$(git rev-parse HEAD)
# UTC: the MSI's cabinet writes file times as local times.
export SOURCE_DATE_EPOCH PELK_SOURCE_COMMIT TZ=UTC
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
    echo "warning: uncommitted changes: this release is not its commit's" >&2
fi
rm -rf build/release
cmake --preset release >/dev/null
cmake --build --preset release
# Debian's python3, which has python3-olefile and python3-jsonschema.
/usr/bin/python3 -m release.package_release build/release
/usr/bin/python3 -m release.checks.check_release build/release
