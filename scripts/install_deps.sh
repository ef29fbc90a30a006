#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build, the tests and the demo need and
# this machine lacks. Quick when nothing is missing. Every name is one that Debian 12 and
# Debian 13 both have. With --download-only, only fetches them into apt's cache.
set -euo pipefail
download_only=()
[ "${1:-}" = --download-only ] && download_only=(--download-only)

packages=(cmake make g++ clang libclang-rt-dev clang-format clang-tidy cppcheck
          googletest libgtest-dev nlohmann-json3-dev python3
          mingw-w64 wine wine64 wixl msitools osslsigncode openssl git perl
          python3-olefile python3-jsonschema python3-pefile python3-debian
          python3-license-expression)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${download_only[@]}" "${missing[@]}"
