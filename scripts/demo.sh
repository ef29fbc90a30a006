#!/usr/bin/env bash
# The tools' main job against the stand-in card: a default scan, then one device reset.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh >&2
cmake --preset native >/dev/null
cmake --build --preset native >/dev/null

echo "\$ smbus_scan"
status=0
build/native/scanner/smbus_scan || status=$?
echo "(exit status $status)"
echo
echo "\$ kiv_reset -d mcu -i 2"
status=0
build/native/reset/kiv_reset -d mcu -i 2 || status=$?
echo "(exit status $status)"
