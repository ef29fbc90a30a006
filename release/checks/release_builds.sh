#!/usr/bin/env bash
# Builds the release of the last commit from two fresh clones in different folders and
# checks that everything in it comes out byte for byte the same: both executables, the
# notices, the zip, the MSI and the SBOM. Then builds it once more with the patch version
# raised, for the Windows suite to install as an upgrade: its MSI goes to OUT_DIR. Given a
# signed release of the same commit (SIGNED_DIST, its dist folder, and CA, its issuer's
# certificate), it takes the signatures off its executables and its MSI, as an auditor
# would (osslsigncode extract-signature), and rebuilds it from a third clone with them
# attached (PELK_SIGNATURES): every file must come out as the signed release's.
# Usage: release_builds.sh OUT_DIR [SIGNED_DIST CA]
set -euo pipefail
out=$(realpath -m "$1")
signed=${2:+$(realpath "$2")}
ca=${3:+$(realpath "$3")}
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
    (cd "$work/$1" && env -u PELK_SIGNING_PKCS12 release/release.sh >"$work/$1.log" 2>&1) ||
        { cat "$work/$1.log"; echo "release build in $1 failed"; exit 1; }
}
digests() {
    (cd "$1" && sha256sum ./*.zip ./*.msi ./*.spdx.json ./SHA256SUMS ./*/*)
}

echo "== two release builds of $(git -C "$top" rev-parse --short HEAD), in $work/first and $work/second"
build first
build second
digests "$work/first/build/release/dist"
if ! diff <(digests "$work/first/build/release/dist") <(digests "$work/second/build/release/dist"); then
    echo "reproducible: 0 passed, 1 failed"
    exit 1
fi
passed=1 skipped=""
if [ -n "$signed" ] && [ -n "$(git -C "$top" status --porcelain --untracked-files=no)" ]; then
    # A clone has the commit, not the changes the signed release was built with.
    echo "skipped: the signed release is not rebuilt: the tree has uncommitted changes"
    skipped=", 1 skipped"
elif [ -n "$signed" ]; then
    mkdir "$work/signatures"
    for file in "$signed"/*/*.exe "$signed"/*.msi; do
        osslsigncode extract-signature -in "$file" \
            -out "$work/signatures/$(basename "$file").sig" >/dev/null
    done
    export PELK_SIGNATURES=$work/signatures PELK_SIGNATURES_CAFILE=$ca
    build attached
    unset PELK_SIGNATURES PELK_SIGNATURES_CAFILE
    if ! diff <(digests "$signed") <(digests "$work/attached/build/release/dist"); then
        echo "reproducible: 1 passed, 1 failed (the signed release, rebuilt with its signatures attached, differs)"
        exit 1
    fi
    echo "the signed release, rebuilt with its signatures attached, is the same byte for byte"
    passed=2
fi
echo "reproducible: $passed passed, 0 failed$skipped"
build raised
cp "$work"/raised/build/release/dist/*.msi "$out"/
