#!/usr/bin/env bash
# Installs what is missing, builds an optimised client and starts it.
#
#   ./run.sh                 the client on a demo profile (build/demo-profile), signed on to the
#                            local demo server, which runs as long as the client does
#   ./run.sh --own-profile   the client on your own profile, without the demo server
#
# Other arguments go to the client. ZUL_DEMO_PORT sets the demo server's port (default 51900).
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
zul_ensure_packages

own_profile=0
client_args=()
for arg in "$@"; do
    case "$arg" in
        --own-profile) own_profile=1 ;;
        *) client_args+=("$arg") ;;
    esac
done

BUILD=build/release
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZUL_SANITIZE=OFF -DZUL_TESTS=OFF >/dev/null

# Other builds in the same tree wait for each other on this lock.
if [ "$own_profile" -eq 1 ]; then
    flock /tmp/zul-build.lock cmake --build "$BUILD" --target zul
    exec "$BUILD/zul" "${client_args[@]}"
fi

flock /tmp/zul-build.lock cmake --build "$BUILD" --target zul zul_demo_server

PORT="${ZUL_DEMO_PORT:-51900}"
PROFILE="$PWD/build/demo-profile"
SERVER="$BUILD/tools/zul-demo-server"

# The demo profile is the program's own file, written by the demo server's tool mode; it is
# kept between runs (history, pictures) and pointed at the port of this run.
"$SERVER" --create-profile "$PROFILE" --port "$PORT"

"$SERVER" --port "$PORT" &
server_pid=$!
stop_server() {
    if kill -0 "$server_pid" 2>/dev/null; then
        kill -TERM "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
}
trap stop_server EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The client signs on at once, so the server must be listening first.
for _ in $(seq 100); do
    if ! kill -0 "$server_pid" 2>/dev/null; then
        echo "run.sh: the demo server did not start (is port $PORT in use? set ZUL_DEMO_PORT)" >&2
        exit 1
    fi
    if (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; then break; fi
    sleep 0.1
done

# A folder of its own for the run's sockets, so that the demo client runs beside a client
# that may already be open on your own profile.
mkdir -p "$PROFILE/run"
chmod 700 "$PROFILE/run"
ZUL_DATA_DIR="$PROFILE" TMPDIR="$PROFILE/run" "$BUILD/zul" "${client_args[@]}" &
client_pid=$!
# Ctrl+C or a signal to this script ends the client through its own quit; the server stops
# when the client has ended (the EXIT trap).
trap 'kill -TERM "$client_pid" 2>/dev/null || true' INT TERM HUP
status=0
wait "$client_pid" || status=$?
while kill -0 "$client_pid" 2>/dev/null; do
    status=0
    wait "$client_pid" || status=$?
done
exit "$status"
