#!/usr/bin/env bash
# Signs two real accounts of the client on to a live OSCAR server whose lists hold each other
# and checks, one line per step, that they reach each other (sign-on, list, presence, messages,
# away, an offline message, a buddy icon, list edits, details, search, one account in two
# places at once, and one signed off by its other place).
#
#   ./interop.sh HOST:PORT LOGIN_A:PASSWORD_A LOGIN_B:PASSWORD_B [--md5] [--tls] [--restart CMD]
#
# An all-digit login is an ICQ account, anything else AIM; --md5 signs on with the MD5 login;
# --tls makes every connection with TLS and trusts the certificate the server first presents;
# --restart CMD is a shell command that stops the server and starts it again on the same
# address: the step server-restart runs it and checks that both accounts are back within 30 s.
# Exits non-zero when a step failed. The build goes to stderr, the step lines to stdout.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
zul_ensure_packages >&2

BUILD=build/release
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZUL_SANITIZE=OFF -DZUL_TESTS=OFF >/dev/null
# Other builds in the same tree wait for each other on this lock.
flock /tmp/zul-build.lock cmake --build "$BUILD" --target zul-interop >&2

exec "$BUILD/tools/interop/zul-interop" "$@"
