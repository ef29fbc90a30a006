#!/usr/bin/env bash
# Builds a release from a clean folder and checks it (build/release/dist/):
#   pelk-card-tools-<version>-win-x64.zip   smbus_scan.exe, kiv_reset.exe, GUIDE.txt
#   pelk-card-tools-<version>-win-x64.msi   the per-machine installer
#   SHA256SUMS
# The version is the project() version in CMakeLists.txt. A release is a function of its
# commit: the executables' time stamps and the zip's entry times are the commit's time.
# Signed when PELK_SIGNING_PKCS12 (and PELK_SIGNING_PASSWORD, optionally
# PELK_SIGNING_TIMESTAMP_URL) are set: see scripts/package_release.py.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
export SOURCE_DATE_EPOCH
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
    echo "warning: uncommitted changes: this release is not its commit's" >&2
fi
rm -rf build/release
cmake --preset release >/dev/null
cmake --build --preset release
python3 scripts/package_release.py build/release
python3 tests/windows/check_release.py build/release
