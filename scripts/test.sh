#!/usr/bin/env bash
# Every test: the native suites (the fast inner loop), then the Windows executables: their
# import tables, and the same command-line cases under Wine against the stand-in driver
# and the stand-in kiv.dll.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh

cmake --preset native
cmake --build --preset native
ctest --preset native

cmake --preset windows
cmake --build --preset windows
python3 tests/windows/check_imports.py build/windows
python3 tests/windows/run_windows_suite.py --build-dir build/windows
