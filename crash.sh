#!/usr/bin/env bash
# Kills the real client with SIGKILL in the middle of a storm of incoming messages, again and
# again on the same profile (20 times by default), and checks after every kill that the profile
# passes SQLite's integrity check, holds no partial event, keeps every event committed before
# the kill, and opens again in the client, which signs on as usual. Builds with AddressSanitizer
# and UndefinedBehaviorSanitizer in build/crash and runs the crash test of tests/e2e with
# ZUL_CRASH_RUNS. Prints one line per run: the kill moment after the storm began, the events
# stored when it fell, the result of the integrity check and the partial events found.
# Columns: "events stored" all events in the profile after the kill, "this run" those of this
# storm, "seen committed" the most events read from the profile by another connection while
# the client ran (- when the kill came first; never more than stored), "partial" rows lacking
# their number, time or text, numbers used twice or events without their contact, "faults"
# damaged texts, numbers that skip, or a storm stored with a hole, "journal" whether the kill
# left a hot journal for the next start to roll back.
#
#   ./crash.sh [runs]          ZUL_CRASH_SEED=<n> ./crash.sh   repeats the kill moments of a run
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
zul_ensure_packages

RUNS="${1:-20}"
BUILD=build/crash
mkdir -p "$BUILD"

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZUL_SANITIZE=ON \
    > "$BUILD/configure.log" 2>&1 || { cat "$BUILD/configure.log"; exit 1; }
# Other builds in the same tree wait for each other on this lock.
flock /tmp/zul-build.lock cmake --build "$BUILD" -j2 --target zul e2e_tests \
    > "$BUILD/build.log" 2>&1 || { tail -40 "$BUILD/build.log"; exit 1; }

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ZUL_CRASH_RUNS="$RUNS"

log="$BUILD/crash.log"
start=$(date +%s)
set +e
"$BUILD/tests/e2e/e2e_tests" --gtest_filter='CrashSafety.*' > "$log" 2>&1
rc=$?
set -e
elapsed=$(( $(date +%s) - start ))

seed=$(sed -n 's/^CRASH seed=\([0-9]*\).*/\1/p' "$log" | head -1)
echo "=== crash test: $RUNS kills, seed ${seed:-?} (ZUL_CRASH_SEED), ${elapsed} s"
printf '%4s %8s %14s %9s %15s %8s %7s %8s  %s\n' run "kill ms" "events stored" "this run" \
    "seen committed" partial faults journal integrity_check
awk '/^CRASH run=/ {
         for (i = 2; i <= NF; i++) {
             split($i, kv, "=")
             v[kv[1]] = kv[2]
         }
         integrity = $0
         sub(/.* integrity=/, "", integrity)
         seen = v["seen_committed"] < 0 ? "-" : v["seen_committed"]
         printf "%4s %8s %14s %9s %15s %8s %7s %8s  %s\n", v["run"], v["kill_ms"], v["events"],
                v["run_events"], seen, v["partial"], v["faults"], v["journal"],
                integrity
     }' "$log"

if [ "$rc" -ne 0 ] || ! grep -q '^\[  PASSED  \] 1 test' "$log"; then
    echo
    grep -v '^CRASH ' "$log" | tail -60
    echo "crash test FAILED (exit $rc, log $log)"
    exit 1
fi
echo "every kill left a whole profile that the client opened again"
