#!/usr/bin/env bash
# The long runs of the core, each in a build folder of its own:
#
#  - soak: five accounts with 2,000 contacts each signed on to the scripted servers (in a child
#    process), 100 incoming messages a second in total for the given minutes; the client's
#    resident memory, thread count and open descriptors are sampled once the sign-on has
#    settled and every 30 s, and a figure that grows by more than 10 % fails the run
#    (optimised build in build/soak-release);
#  - chat soak: the whole client in its own message loop with a chat page open, 100 messages a
#    second into that chat for the given minutes; its resident memory from the end of the first
#    minute on must not grow by more than 10 % (optimised build with the user interface in
#    build/soak-ui);
#  - the disconnect storm's long form: a signed-on session under load in both directions,
#    disconnected at 1,000 random moments and signed on again, with a watchdog that ends the
#    run if one Disconnect takes longer than 10 s (AddressSanitizer build in build/soak-asan;
#    ZUL_DISCONNECT_SEED=<n> repeats a run).
#
#   ./soak.sh [minutes]     default 10
#
# Prints the samples and the figure lines; exits non-zero when either run fails.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
zul_ensure_packages

minutes="${1:-10}"
if ! [[ "$minutes" =~ ^[0-9]+$ ]] || [ "$minutes" -eq 0 ]; then
    echo "usage: ./soak.sh [minutes]" >&2
    exit 1
fi

RELEASE=build/soak-release
UI=build/soak-ui
ASAN=build/soak-asan
mkdir -p build
cmake -S . -B "$RELEASE" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZUL_SANITIZE=OFF -DZUL_BENCH=ON \
    -DZUL_TESTS=OFF -DZUL_UI=OFF >"$RELEASE.configure.log" 2>&1 ||
    { cat "$RELEASE.configure.log"; exit 1; }
cmake -S . -B "$UI" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZUL_SANITIZE=OFF -DZUL_BENCH=ON \
    -DZUL_TESTS=OFF >"$UI.configure.log" 2>&1 || { cat "$UI.configure.log"; exit 1; }
cmake -S . -B "$ASAN" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZUL_SANITIZE=ON -DZUL_UI=OFF \
    >"$ASAN.configure.log" 2>&1 || { cat "$ASAN.configure.log"; exit 1; }
# Other builds in the same tree wait for each other on this lock.
flock /tmp/zul-build.lock cmake --build "$RELEASE" -j2 --target zul_load >"$RELEASE/build.log" 2>&1 ||
    { tail -40 "$RELEASE/build.log"; exit 1; }
flock /tmp/zul-build.lock cmake --build "$UI" -j2 --target zul_ui_load >"$UI/build.log" 2>&1 ||
    { tail -40 "$UI/build.log"; exit 1; }
flock /tmp/zul-build.lock cmake --build "$ASAN" -j2 --target protocol_tests >"$ASAN/build.log" 2>&1 ||
    { tail -40 "$ASAN/build.log"; exit 1; }

export TMPDIR="$PWD/$RELEASE/tmp"
mkdir -p "$TMPDIR"
status=0

echo "== soak: $minutes min"
start=$(date +%s)
if ! ZUL_SOAK_MINUTES="$minutes" "$RELEASE/bench/zul_load" soak 2>"$RELEASE/soak.err"; then
    echo "soak: FAILED (see $RELEASE/soak.err)"
    tail -5 "$RELEASE/soak.err"
    status=1
fi
echo "soak: $(($(date +%s) - start)) s"

echo "== chat soak: $minutes min"
start=$(date +%s)
mkdir -p "$UI/tmp/runtime" && chmod 700 "$UI/tmp/runtime"
if ! TMPDIR="$PWD/$UI/tmp" XDG_RUNTIME_DIR="$PWD/$UI/tmp/runtime" QT_QPA_PLATFORM=offscreen \
    ZUL_SOAK_MINUTES="$minutes" "$UI/bench/zul_ui_load" chat_soak 2>"$UI/chat_soak.err" |
    sed 's/^FIGURE //'; then
    echo "chat soak: FAILED (see $UI/chat_soak.err)"
    tail -5 "$UI/chat_soak.err"
    status=1
fi
echo "chat soak: $(($(date +%s) - start)) s"

echo "== disconnect storm: 1000 disconnects"
start=$(date +%s)
if ! ZUL_DISCONNECT_RUNS=1000 ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$ASAN/tests/protocol_tests" --gtest_filter='DisconnectStorm.*' --gtest_brief=1 \
    >"$ASAN/storm.out" 2>&1; then
    status=1
fi
grep -E "disconnect storm|WATCHDOG|Failure|FAILED|ERROR|error:" "$ASAN/storm.out" | head -40 || true
[ "$status" -ne 0 ] && echo "(whole output: $ASAN/storm.out)"
echo "disconnect storm: $(($(date +%s) - start)) s"

exit "$status"
