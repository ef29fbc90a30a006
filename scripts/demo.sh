#!/usr/bin/env bash
# The tools' main job on the Windows executables, under Wine, against the stand-in card
# (devices at 0x18 and 0x20): a default scan, then a reset of one device.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh >&2
cmake --preset windows >/dev/null
cmake --build --preset windows >/dev/null
exec /usr/bin/python3 -m scripts.demo build/windows
