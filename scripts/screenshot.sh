#!/usr/bin/env bash
# Takes pictures of the real window under Xvfb, started as ./run.sh starts it: the demo server
# and the client on a demo profile of its own (a temporary one, not build/demo-profile). The
# first shows the page the window starts on, the second the next page (after the Right key).
#
#   scripts/screenshot.sh [FIRST.png [SECOND.png]]
#       default docs/screenshots/demo-window.png and docs/screenshots/demo-contacts.png
#
# ZUL_SCREENSHOT_WAIT sets the seconds between the start and the picture (default 10);
# ZUL_BUILD names a build folder to take the programs from as they are (default: build and
# use build/release).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
zul_ensure_packages xvfb

OUT="${1:-docs/screenshots/demo-window.png}"
OUT2="${2:-docs/screenshots/demo-contacts.png}"
WAIT="${ZUL_SCREENSHOT_WAIT:-10}"
WIDTH=480
HEIGHT=720

BUILD="${ZUL_BUILD:-}"
if [ -z "$BUILD" ]; then
    BUILD=build/release
    cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZUL_SANITIZE=OFF -DZUL_TESTS=OFF >/dev/null
    cmake --build "$BUILD" --target zul zul_demo_server
fi

work="$(mktemp -d)"
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

# The screen: a handheld's portrait screen, kept in an XWD file of the work folder.
Xvfb -displayfd 3 -screen 0 "${WIDTH}x${HEIGHT}x24" -fbdir "$work" -nolisten tcp -nocursor \
    3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
display=":$(cat "$work/display")"

"$BUILD/tools/zul-demo-server" --port 0 >"$work/server.log" 2>&1 &
pids=($! "${pids[@]}")
port=""
for _ in $(seq 100); do
    port="$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/server.log")"
    [ -n "$port" ] && break
    sleep 0.1
done
[ -n "$port" ] || { cat "$work/server.log"; echo "screenshot.sh: no demo server" >&2; exit 1; }
"$BUILD/tools/zul-demo-server" --create-profile "$work/profile" --port "$port" >/dev/null

mkdir -m 700 "$work/run"
DISPLAY="$display" QT_QPA_PLATFORM=xcb ZUL_DATA_DIR="$work/profile/" TMPDIR="$work/run" \
    XDG_RUNTIME_DIR="$work/run" "$BUILD/zul" >"$work/client.log" 2>&1 &
pids=($! "${pids[@]}")
sleep "$WAIT"

mkdir -p "$(dirname "$OUT")" "$(dirname "$OUT2")"
python3 scripts/xwd_to_png.py "$work/Xvfb_screen0" "$OUT" "$WIDTH" "$HEIGHT"
python3 scripts/xkey.py "$display" Right
sleep 2
python3 scripts/xwd_to_png.py "$work/Xvfb_screen0" "$OUT2" "$WIDTH" "$HEIGHT"
echo "screenshot.sh: wrote $OUT and $OUT2"
