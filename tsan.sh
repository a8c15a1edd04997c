#!/usr/bin/env bash
# Builds the core (platform, protocol, storage, accounts) and its tests with ThreadSanitizer, in
# a build folder of its own, and runs those tests through CTest. Exits non-zero on any data
# race, lock-order inversion or test failure. The user interface is not part of this build.
#
#   ./tsan.sh [ctest arguments...]     for example ./tsan.sh -R Session
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$PWD
source scripts/deps.sh
zul_ensure_packages

BUILD=build/tsan
mkdir -p build
FLAGS="-fsanitize=thread -fno-omit-frame-pointer -O1 -g"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZUL_UI=OFF -DZUL_SANITIZE=OFF \
    -DCMAKE_C_FLAGS="$FLAGS" -DCMAKE_CXX_FLAGS="$FLAGS" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" > "$BUILD.configure.log" 2>&1 \
    || { cat "$BUILD.configure.log"; exit 1; }
# Other builds in the same tree wait for each other on this lock.
flock /tmp/zul-build.lock cmake --build "$BUILD" -j2 \
    --target platform_tests protocol_tests storage_tests accounts_tests tools_tests

cd "$BUILD"
# A report fails the test that caused it; the second stack shows where a lock was taken first.
export TSAN_OPTIONS="halt_on_error=1:abort_on_error=1:second_deadlock_stack=1:history_size=4:suppressions=$ROOT/scripts/tsan.supp"
ctest --output-on-failure -j2 --timeout 900 "$@"
