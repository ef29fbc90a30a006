#!/usr/bin/env bash
# Builds the release of the last commit from two fresh clones in different folders and
# checks that both executables and the zip come out byte for byte the same (the MSI does
# not: wixl gives every package new codes and times; the files in it are checked against
# the zip's by check_release.py). Then builds it once more with the patch version raised,
# for the Windows suite to install as an upgrade: its MSI goes to OUT_DIR. Given a signed
# release of the same commit (SIGNED_DIR, its staged folder), its executables with their
# signatures removed must be the unsigned ones, as an auditor would check them.
# Usage: release_builds.sh OUT_DIR [SIGNED_DIR]
set -euo pipefail
out=$(realpath -m "$1")
signed=${2:+$(realpath "$2")}
top=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"
rm -f "$out"/*.msi

build() {
    git clone -q "$top" "$work/$1"
    if [ "$1" = raised ]; then
        perl -pi -e 's/^(project\(pelk_tools VERSION \d+\.\d+\.)(\d+)/$1.($2+1)/e' \
            "$work/$1/CMakeLists.txt"
    fi
    (cd "$work/$1" && env -u PELK_SIGNING_PKCS12 scripts/release.sh >"$work/$1.log" 2>&1) ||
        { cat "$work/$1.log"; echo "release build in $1 failed"; exit 1; }
}
digests() {
    (cd "$work/$1/build/release/dist" && sha256sum ./*.zip ./*/*.exe)
}

echo "== two release builds of $(git -C "$top" rev-parse --short HEAD), in $work/first and $work/second"
build first
build second
digests first
if ! diff <(digests first) <(digests second); then
    echo "reproducible: 0 passed, 1 failed"
    exit 1
fi
if [ -n "$signed" ] && [ -n "$(git -C "$top" status --porcelain --untracked-files=no)" ]; then
    echo "the signed release is not compared: it has uncommitted changes"
elif [ -n "$signed" ]; then
    for exe in smbus_scan.exe kiv_reset.exe; do
        osslsigncode remove-signature -in "$signed/$exe" -out "$work/$exe" >/dev/null
        if ! cmp "$work/$exe" "$work"/first/build/release/dist/*/"$exe"; then
            echo "reproducible: 0 passed, 1 failed ($exe unsigned is not the signed one's code)"
            exit 1
        fi
    done
    echo "the signed executables, their signatures removed, are the unsigned ones"
fi
echo "reproducible: 1 passed, 0 failed"
build raised
cp "$work"/raised/build/release/dist/*.msi "$out"/
