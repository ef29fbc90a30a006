#!/usr/bin/env bash
# Runs each fuzz target for a bounded time (seconds, default 45) from the committed seed
# corpus; new inputs go to a scratch corpus, crashes to build/fuzz/artifacts/.
# Usage: scripts/fuzz.sh [seconds] [extra libFuzzer options...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-45}
shift || true

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
mkdir -p build/fuzz/artifacts
for target in scanner reset version; do
    scratch=$(mktemp -d)
    log=build/fuzz/${target}_fuzz.log
    echo "== ${target}_fuzz for ${seconds} s"
    status=0
    build/fuzz/tests/fuzz/${target}_fuzz -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix=build/fuzz/artifacts/ "$@" "$scratch" "tests/fuzz/corpus/$target" \
        >"$log" 2>&1 || status=$?
    rm -rf "$scratch"
    grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec)' "$log" || true
    if [ "$status" -ne 0 ]; then
        tail -n 60 "$log"
        echo "${target}_fuzz found a fault (exit status $status)"
        exit 1
    fi
done
