#!/usr/bin/env bash
# Builds a release from a clean folder and checks it (build/release/dist/):
#   pelk-card-tools-<version>-win-x64.zip   smbus_scan.exe, kiv_reset.exe, GUIDE.txt,
#                                           LICENSE.txt, THIRD-PARTY-NOTICES.txt
#   pelk-card-tools-<version>-win-x64.msi   the per-machine installer
#   pelk-card-tools-<version>-src.tar.gz    the commit's source (not from a source archive)
#   pelk-card-tools-<version>.spdx.json     the bill of materials
#   SHA256SUMS
# The version is the project() version in CMakeLists.txt. A release is a function of its
# commit: the executables' time stamps, the zip's entry times, the MSI's summary times and
# the SBOM's creation time are the commit's time. The commit and its time come from
# release/source_commit.txt in an unpacked source archive, from git in a checkout.
# PELK_TEST_BUILD=1 builds a test build, which may be signed by any certificate.
# Signed when PELK_SIGNING_PKCS12 (and PELK_SIGNING_PASSWORD, optionally
# PELK_SIGNING_TIMESTAMP_URL) are set; a signed release is rebuilt with PELK_SIGNATURES:
# see release/package_release.py.
set -euo pipefail
cd "$(dirname "$0")/.."
release/release_host.sh
scripts/install_deps.sh
source_commit=$(python3 -m release.source_commit)
read -r PELK_SOURCE_COMMIT SOURCE_DATE_EPOCH <<<"$source_commit"
# UTC: the MSI's cabinet writes file times as local times.
export SOURCE_DATE_EPOCH PELK_SOURCE_COMMIT TZ=UTC
if python3 -c 'from release import source_commit as s; exit(s.from_archive() is None)'; then
    echo "building from the source archive of $PELK_SOURCE_COMMIT"
elif [ -n "$(git status --porcelain --untracked-files=no)" ]; then
    echo "warning: uncommitted changes: this release is not its commit's" >&2
fi
rm -rf build/release
cmake --preset release >/dev/null
cmake --build --preset release
# Debian's python3, which has python3-olefile and python3-jsonschema.
/usr/bin/python3 -m release.package_release build/release
/usr/bin/python3 -m release.checks.check_release build/release
