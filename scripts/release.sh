#!/usr/bin/env bash
# Builds the release zip for technicians and checks it:
#   build/windows/release/pelk-card-tools-<version>-win-x64.zip
# holding smbus_scan.exe, kiv_reset.exe and GUIDE.txt. The version is the project()
# version in CMakeLists.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh
cmake --preset windows
cmake --build --preset windows
rm -rf build/windows/release
(cd build/windows && cpack)
python3 tests/windows/check_release.py build/windows
