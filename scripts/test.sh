#!/usr/bin/env bash
# Every test: the native suites (the fast inner loop), the same suites under AddressSanitizer
# and UndefinedBehaviorSanitizer, both fuzz targets for a bounded time, the static checks,
# then the Windows executables: their import tables, and the command-line cases under Wine
# against the stand-in driver and the stand-in kiv.dll; last, the release zip's contents and
# the tools' version resources.
# FUZZ_SECONDS sets the time per fuzz target (default 45).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh

cmake --preset native
cmake --build --preset native
ctest --preset native

cmake --preset sanitize
cmake --build --preset sanitize
ctest --preset sanitize

scripts/fuzz.sh "${FUZZ_SECONDS:-45}"
scripts/static_checks.sh

cmake --preset windows
cmake --build --preset windows
python3 tests/windows/check_imports.py build/windows
python3 tests/windows/run_windows_suite.py --build-dir build/windows

rm -rf build/windows/release
(cd build/windows && cpack)
python3 tests/windows/check_release.py build/windows
