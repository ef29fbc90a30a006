#!/usr/bin/env bash
# Every test, on Debian 12 or 13: that the fuzz seeds are those of today's case tables, the
# native suites (the fast inner loop), the same suites under AddressSanitizer and
# UndefinedBehaviorSanitizer, the fuzz targets for a bounded time, the static checks, then
# the Windows executables: on Debian 12, a release signed with a throwaway certificate (zip,
# MSI, checksums, signatures, version resources), the import tables and protections of the
# executables and of the MSI's custom action DLL, the release of the last commit built from
# a clone and from its source archive and compared byte for byte, and the command-line cases
# and the MSI's install, upgrade, repair and uninstall under Wine, against the stand-in
# driver and the stand-in kiv.dll; on Debian 13, the import tables, protections and
# command-line cases of the executables built there.
# FUZZ_SECONDS sets the time per fuzz target (default 45). Every release here is a test
# build: the throwaway certificate is not the team's.
set -euo pipefail
cd "$(dirname "$0")/.."
export PELK_TEST_BUILD=1
scripts/install_deps.sh

# The fuzz targets start from the committed seeds, made from the case tables: seeds that are
# not exactly today's fail here, at once, naming the fix.
python3 tests/fuzz/make_seeds.py --check

cmake --preset native
cmake --build --preset native
ctest --preset native

cmake --preset sanitize
cmake --build --preset sanitize
ctest --preset sanitize

scripts/fuzz.sh "${FUZZ_SECONDS:-45}"

cmake --preset windows
cmake --build --preset windows
scripts/static_checks.sh

# Releases are made on Debian 12 (release/release_host.sh says why). There, the release,
# signed with a throwaway certificate: its signed executables are the ones that the image
# checks and the Windows suite run, and its MSI is installed under Wine. The release check
# then also signs copies with certificates of other subjects, outside a test build too.
# Elsewhere the release is counted as skipped, and the image checks and the Windows suite
# run on the executables just built.
if release/release_host.sh; then
    release/checks/make_test_certificate.sh build/test-signing
    PELK_SIGNING_PKCS12=build/test-signing/signing.p12 \
        PELK_SIGNING_PASSWORD=$(cat build/test-signing/password) release/release.sh
    # Debian's python3, which has python3-pefile, python3-olefile and python3-jsonschema.
    /usr/bin/python3 -m release.checks.check_release build/release --signed-with build/test-signing
    release=$(ls -d build/release/dist/pelk-card-tools-*-win-x64/)
    /usr/bin/python3 -m release.checks.check_imports "$release" \
        "$(ls -d build/release/dist/pelk-card-tools-*-msi-binary/)"
    release/checks/release_builds.sh build/upgrade build/release/dist build/test-signing/ca.pem
    /usr/bin/python3 -m tests.windows.run_windows_suite --build-dir build/windows \
        --release build/release/dist \
        --upgrade-msi "$(ls build/upgrade/pelk-card-tools-*-win-x64.msi)"
else
    echo "release: 0 passed, 0 failed, 1 skipped"
    /usr/bin/python3 -m release.checks.check_imports build/windows
    /usr/bin/python3 -m tests.windows.run_windows_suite --build-dir build/windows
fi
