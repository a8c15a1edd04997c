#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs each of them for the given number of seconds (default 60), starting from the seed
# corpora in fuzz/corpus/<target>/ and the corpus grown by earlier runs. Prints the runs and
# executions per target and fails when any target finds a fault; the input that shows it is
# left in build/fuzz-clang/findings/<target>/ (copy it to fuzz/regressions/<target>/ once the
# fault is fixed).
#
#   ./fuzz.sh [seconds] [target...]
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
zul_ensure_packages clang-14 libclang-rt-14-dev

SECONDS_PER_TARGET="${1:-60}"
shift || true
BUILD=build/fuzz-clang
mkdir -p build

CC=clang-14 CXX=clang++-14 cmake -S fuzz -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    > "$BUILD.configure.log" 2>&1 || { cat "$BUILD.configure.log"; exit 1; }
# Other builds in the same tree wait for each other on this lock.
flock /tmp/zul-build.lock cmake --build "$BUILD" -j2

if [ $# -gt 0 ]; then
    TARGETS=("$@")
else
    mapfile -t TARGETS < "$BUILD/targets.txt"
fi

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

failed=()
summary=()
for t in "${TARGETS[@]}"; do
    [ -n "$t" ] || continue
    corpus="$BUILD/corpus/$t"
    findings="$BUILD/findings/$t"
    rm -rf "$findings"
    mkdir -p "$corpus" "$findings" fuzz/corpus/"$t"
    log="$BUILD/logs/$t.log"
    mkdir -p "$BUILD/logs"
    echo "=== $t: ${SECONDS_PER_TARGET} s"
    start=$(date +%s)
    set +e
    "$BUILD/fuzz_$t" -max_total_time="$SECONDS_PER_TARGET" -timeout=25 -rss_limit_mb=4096 \
        -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" "fuzz/corpus/$t" > "$log" 2>&1
    rc=$?
    set -e
    elapsed=$(( $(date +%s) - start ))
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | sed 's/cov: //')
    artifacts=$(find "$findings" -type f | wc -l)
    line=$(printf '%-20s %5s s  %10s executions  %7s/s  cov %6s' "$t" "$elapsed" "${execs:-?}" \
                  "${speed:-?}" "${cov:-?}")
    if [ "$rc" -ne 0 ] || [ "$artifacts" -ne 0 ]; then
        line="$line  FINDING (exit $rc, $artifacts input(s) in $findings, log $log)"
        failed+=("$t")
        tail -40 "$log"
    fi
    echo "$line"
    summary+=("$line")
done

echo
echo "=== fuzz summary (${SECONDS_PER_TARGET} s per target)"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -ne 0 ]; then
    echo "findings in: ${failed[*]}"
    exit 1
fi
echo "no findings"
