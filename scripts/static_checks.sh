#!/usr/bin/env bash
# The format check, clang-tidy (checks in .clang-tidy) and cppcheck, all of which must be
# clean. Needs the native and fuzz builds' compile databases and the configured Windows
# build (scripts/test.sh makes them).
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t sources < <(git ls-files '*.c' '*.cpp' '*.h')
echo "== clang-format on ${#sources[@]} files"
clang-format --dry-run --Werror "${sources[@]}"

echo "== clang-tidy"
run-clang-tidy -quiet -p build/native "$PWD/(scanner|reset|installer|standins|tests)/" >build/clang-tidy.log 2>&1 \
    || { grep -E 'warning:|error:' build/clang-tidy.log; exit 1; }
run-clang-tidy -quiet -p build/fuzz "$PWD/tests/fuzz/" >>build/clang-tidy.log 2>&1 \
    || { grep -E 'warning:|error:' build/clang-tidy.log; exit 1; }
# The Windows-only sources are in no native compile database: against mingw-w64's headers.
# The build gives them the tools' version; any will do here.
libstdcxx=/usr/lib/gcc/x86_64-w64-mingw32/$(x86_64-w64-mingw32-g++ -dumpversion)/include/c++
clang-tidy -quiet reset/kiv_loader.cpp reset/kiv_version.cpp reset/kiv_signature.cpp reset/signer_policy.cpp reset/main.cpp scanner/main.cpp -- --target=x86_64-w64-mingw32 \
    -std=c++20 '-DPELK_TOOL_VERSION="0.0.0.0"' -Ireset -Iscanner -Iwindows_entry -Ibuild/windows/reset/generated -isystem "$libstdcxx" -isystem "$libstdcxx/x86_64-w64-mingw32" >>build/clang-tidy.log 2>&1 \
    || { grep -E 'warning:|error:' build/clang-tidy.log; exit 1; }

echo "== cppcheck"
# Debian 13's cppcheck 2.17 also suggests STL algorithms for the plain loops over tables
# (style), and says where it stopped following branches (information).
common=(--enable=warning,style,performance,portability --error-exitcode=1 --inline-suppr --quiet
        --suppress=missingIncludeSystem --suppress=useStlAlgorithm
        --suppress=normalCheckLevelMaxBranches '-DPELK_TOOL_VERSION="0.0.0.0"'
        -I scanner -I scanner/driver_interface -I windows_entry)
# The kernel32, wintrust, crypt32 and registry stand-ins must keep the Windows signatures,
# const or not, those that the tables hand out as function pointers too; so must the
# delay-load hook.
cppcheck "${common[@]}" --std=c++20 --suppress=constParameter:standins/win32/fake_kernel32.cpp \
    --suppress=constParameter:standins/win32/fake_loader_host.cpp \
    --suppress=constParameterPointer:standins/win32/fake_kernel32.cpp \
    --suppress=constParameterPointer:standins/win32/fake_loader_host.cpp \
    --suppress=constParameter:standins/win32/fake_trust.cpp \
    --suppress=constParameter:standins/win32/fake_registry.cpp \
    --suppress=constParameterPointer:standins/win32/fake_trust.cpp \
    --suppress=constParameterPointer:standins/win32/fake_registry.cpp \
    --suppress=constParameterCallback:reset/kiv_loader.cpp \
    --suppress=constParameterCallback:standins/win32/fake_trust.cpp \
    -I reset -I reset/kiv_interface -I installer -I standins/win32 scanner reset installer \
    standins/kiv standins/win32 tests/fuzz
cppcheck "${common[@]}" --std=c11 -I standins/driver standins/driver benchmarks
echo "static checks: clean"
