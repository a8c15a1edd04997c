#!/usr/bin/env bash
# Plants hand-written faults one at a time and checks that the tests named for each catch it.
#
#   scripts/mutants.sh            every fault under tests/mutants
#   scripts/mutants.sh 03 07      only the faults whose file names start so
#
# Each tests/mutants/*.patch is a one-line fault a plausible change could bring in. Its first
# lines say what the fault does ("# ...") and which tests must fail with it ("# tests: REGEX",
# a CTest name pattern). The tracked files of this checkout (with their uncommitted changes)
# are copied to a scratch folder and built there once without sanitizers; then every fault is
# applied, built, its tests run, and taken out again. Prints "caught NAME" or "missed NAME"
# per fault, then "N passed, M failed"; exits non-zero when a fault was missed or could not be
# planted. Add a fault here whenever a bug is fixed that the tests did not catch.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
zul_ensure_packages >&2

ROOT=$PWD
SCRATCH=${ZUL_MUTANTS_DIR:-$ROOT/build/mutants}
SRC=$SCRATCH/src
BUILD=$SCRATCH/build
LOGS=$SCRATCH/logs
mkdir -p "$SRC" "$LOGS"

# The sources as they are now; the build folder is kept between runs.
rm -rf "$SRC"
mkdir -p "$SRC"
git ls-files -z | xargs -0 cp -p --parents -t "$SRC"
echo "mutants: building the unchanged copy in $BUILD" >&2
cmake -S "$SRC" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZUL_SANITIZE=OFF >"$LOGS/configure.log"
flock /tmp/zul-build.lock cmake --build "$BUILD" >"$LOGS/build.log" 2>&1 ||
    { echo "mutants: the unchanged copy does not build; see $LOGS/build.log" >&2; exit 2; }

# Every fault's tests must exist and pass without it, or a failure would prove nothing.
all_tests=$(sed -n 's/^# tests: //p' tests/mutants/*.patch | paste -sd'|')
if ! (cd "$BUILD" && QT_QPA_PLATFORM=offscreen ctest -R "$all_tests" --no-tests=error \
        --timeout 300 >"$LOGS/baseline.log" 2>&1); then
    echo "mutants: the faults' tests do not pass without them; see $LOGS/baseline.log" >&2
    exit 2
fi

passed=0
failed=0
for patch in tests/mutants/*.patch; do
    name=$(basename "$patch" .patch)
    if [ $# -gt 0 ]; then
        wanted=0
        for prefix in "$@"; do [[ $name == "$prefix"* ]] && wanted=1; done
        [ $wanted -eq 1 ] || continue
    fi
    tests=$(sed -n 's/^# tests: //p' "$patch")
    listed=$(cd "$BUILD" && ctest -N -R "$tests" | sed -n 's/^Total Tests: //p')
    if [ -z "$tests" ] || [ "${listed:-0}" -eq 0 ]; then
        echo "missed $name (no test is named for it)"
        failed=$((failed + 1))
        continue
    fi
    if ! (cd "$SRC" && patch -p1 --quiet --forward <"$ROOT/$patch" >/dev/null); then
        echo "missed $name (the fault does not apply to these sources)"
        failed=$((failed + 1))
        continue
    fi
    if ! flock /tmp/zul-build.lock cmake --build "$BUILD" >"$LOGS/$name.build.log" 2>&1; then
        echo "missed $name (the fault does not build; see $LOGS/$name.build.log)"
        failed=$((failed + 1))
    elif (cd "$BUILD" && QT_QPA_PLATFORM=offscreen ctest -R "$tests" --no-tests=error \
            --timeout 300 >"$LOGS/$name.test.log" 2>&1); then
        echo "missed $name (its tests pass; see $LOGS/$name.test.log)"
        failed=$((failed + 1))
    else
        echo "caught $name"
        passed=$((passed + 1))
    fi
    (cd "$SRC" && patch -p1 --quiet --reverse <"$ROOT/$patch" >/dev/null)
done
# The copy is left unchanged for the next run's incremental build.
flock /tmp/zul-build.lock cmake --build "$BUILD" >"$LOGS/build.log" 2>&1 || true
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
