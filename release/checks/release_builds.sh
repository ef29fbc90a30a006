#!/usr/bin/env bash
# Builds the release of the last commit from a fresh clone, then again from that release's
# source archive, unpacked in a folder outside any git checkout, and checks that the
# executables, the notices, the guide, the licence, the zip and the MSI come out byte for
# byte the same (the SBOM and SHA256SUMS of the second name no source archive, which a
# build from one can't remake); and that the unpacked archive, once inside another
# repository, still names its own commit; and that the guide's lines make the source
# archive again from a clone, byte for byte. Then builds it once more with the patch version
# raised, for the Windows suite to install as an upgrade: its MSI goes to OUT_DIR. Given a
# signed release of the same commit (SIGNED_DIST, its dist folder, and CA, its issuer's
# certificate), it takes the signatures off its executables, its MSI and the custom action
# DLL in the MSI, as an auditor would, by the guide's own lines (msiinfo extract,
# osslsigncode extract-signature, then PELK_SIGNATURES),
# rebuilding it from another clone with them attached: every file, the source archive and
# the SBOM included, must come out as the signed release's. PELK_TEST_BUILD is passed on to every build.
# Usage (from a git checkout): release_builds.sh OUT_DIR [SIGNED_DIST CA]
set -euo pipefail
out=$(realpath -m "$1")
signed=${2:+$(realpath "$2")}
ca=${3:+$(realpath "$3")}
top=$(cd "$(dirname "$0")/../.." && pwd)
source_commit() { (cd "$1" && python3 -m release.source_commit); }
if (cd "$top" && python3 -c 'from release import source_commit as s; exit(s.from_archive() is None)'); then
    echo "release_builds.sh clones the checkout it is in: run it in a git checkout, not in a source archive"
    exit 1
fi
commit=$(source_commit "$top")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"
rm -f "$out"/*.msi

build() {
    if [ "$1" != source ]; then
        git clone -q "$top" "$work/$1"
    fi
    if [ "$1" = raised ]; then
        perl -pi -e 's/^(project\(pelk_tools VERSION \d+\.\d+\.)(\d+)/$1.($2+1)/e' \
            "$work/$1/CMakeLists.txt"
    fi
    (cd "$work/$1" && env -u PELK_SIGNING_PKCS12 release/release.sh >"$work/$1.log" 2>&1) ||
        { cat "$work/$1.log"; echo "release build in $1 failed"; exit 1; }
}
digests() {
    (cd "$1" && sha256sum ./*.zip ./*.msi ./*.tar.gz ./*.spdx.json ./SHA256SUMS ./*/*)
}
built() {
    (cd "$1" && sha256sum ./*.zip ./*.msi ./*/*)
}

echo "== the release of ${commit%% *}, from a clone in $work/first and from its source archive in $work/source"
build first
mkdir "$work/source"
tar -xzf "$work"/first/build/release/dist/*-src.tar.gz -C "$work/source" --strip-components=1
if git -C "$work/source" rev-parse --git-dir >/dev/null 2>&1; then
    echo "$work/source is inside a git checkout: set TMPDIR to a folder outside one"
    exit 1
fi
build source
built "$work/first/build/release/dist"
failed=0
if ! diff <(built "$work/first/build/release/dist") <(built "$work/source/build/release/dist"); then
    echo "FAIL the release built from its source archive differs from the one built from the checkout"
    failed=1
fi
# The unpacked archive inside a repository of another commit: still its own commit.
git -C "$work/source" init -q
git -C "$work/source" -c user.name=x -c user.email=x@x commit -q --allow-empty \
    --date=@1000000000 -m "another repository"
if [ "$(source_commit "$work/source")" != "$commit" ]; then
    echo "FAIL the source archive, unpacked inside another repository, names $(source_commit "$work/source"), not $commit"
    failed=$((failed + 1))
fi
# The guide's lines that make the source archive again from a clone (appendix B, "Which
# commit"), as the first build's GUIDE.txt gives them, run with <repository> this checkout
# and ~/given that build's dist: they must make its archive byte for byte.
steps=$(tr -d '\r' <"$work"/first/build/release/dist/*/GUIDE.txt |
    awk -v RS= '/^  commit=\$\(tar /' | sed "s|<repository>|$top|")
mkdir "$work/auditor"
ln -s "$work/first/build/release/dist" "$work/auditor/given"
said=$(cd "$work" && HOME=$work/auditor bash -c "$steps" 2>&1) || true
if [ -n "$steps" ] && [ "$said" = same ]; then
    echo "the guide's lines make the source archive again from a clone, byte for byte"
else
    echo "FAIL the guide's lines do not make the source archive again from a clone:"
    printf '%s\n--\n%s\n' "$steps" "$said"
    failed=$((failed + 1))
fi
passed=$((3 - failed)) skipped=""
if [ -n "$signed" ] && [ -n "$(git -C "$top" status --porcelain --untracked-files=no)" ]; then
    # A clone has the commit, not the changes the signed release was built with.
    echo "skipped: the signed release is not rebuilt: the tree has uncommitted changes"
    skipped=", 1 skipped"
elif [ -n "$signed" ]; then
    # The guide's lines for a signed rebuild (appendix B) as the signed release's GUIDE.txt
    # gives them: extract the signatures from ~/given, that release, and rebuild with
    # them, <issuer chain, PEM> its CA; here in a clone, for the archive and SBOM too.
    steps=$(tr -d '\r' <"$signed"/*/GUIDE.txt | awk -v RS= '/^  mkdir ~\/sigs/' |
        sed "s|<issuer chain, PEM>|$ca|")
    mkdir "$work/signer"
    ln -s "$signed" "$work/signer/given"
    git clone -q "$top" "$work/attached"
    if [ -z "$steps" ] || ! (cd "$work/attached" && HOME=$work/signer \
            env -u PELK_SIGNING_PKCS12 bash -e -c "$steps" >"$work/attached.log" 2>&1); then
        cat "$work/attached.log"
        printf '%s\n' "$steps"
        echo "FAIL the guide's lines for a signed rebuild failed"
        failed=$((failed + 1))
    elif diff <(digests "$signed") <(digests "$work/attached/build/release/dist"); then
        echo "the signed release, rebuilt with its signatures attached, is the same byte for byte"
        passed=$((passed + 1))
    else
        echo "FAIL the signed release, rebuilt with its signatures attached, differs"
        failed=$((failed + 1))
    fi
fi
echo "reproducible: $passed passed, $failed failed$skipped"
[ "$failed" = 0 ] || exit 1
build raised
cp "$work"/raised/build/release/dist/*.msi "$out"/
