#!/usr/bin/env bash
# Every test: the native suites (the fast inner loop), then the Windows executables
# under Wine against the stand-in driver and kiv.dll.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh

cmake --preset native
cmake --build --preset native
ctest --preset native
