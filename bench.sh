#!/usr/bin/env bash
# Builds an optimised configuration (no sanitizers) in build/bench and runs every benchmark:
# the micro-benchmarks of the codec and the parsers, and the end-to-end load drivers (the real
# core against the scripted servers on loopback, with a real profile file on disk). Prints one
# line per figure: name, value, unit, the target, and where a baseline applies the baseline
# measured in the same run and the ratio.
#
#   ./bench.sh             everything
#   ./bench.sh --quick     the load drivers once each and the idle wait shortened to 10 s
#   ./bench.sh --record    also appends the figures to bench/RESULTS.md, with the date and
#                          the machine (nproc, memory)
#   ./bench.sh signon_storm outbox ...   only these load drivers (no micro-benchmarks)
#
# The drivers that finish in seconds run three times; their line is the run with the median
# value (ZUL_BENCH_REPEAT sets the count); resident, idle and idle_window run once. The
# profiles live under build/bench/tmp.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
zul_ensure_packages

record=0
quick=0
only=()
for arg in "$@"; do
    case "$arg" in
        --record) record=1 ;;
        --quick) quick=1 ;;
        -*) echo "unknown option $arg" >&2; exit 1 ;;
        *) only+=("$arg") ;;
    esac
done

BUILD=build/bench
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZUL_SANITIZE=OFF -DZUL_BENCH=ON \
    -DZUL_TESTS=OFF >/dev/null
targets=(zul_micro_bench zul_load)
# The page drivers need the user interface and the program itself.
if grep -q "^zul_ui_load:" <(cmake --build "$BUILD" --target help 2>/dev/null | sed 's/ .*//'); then
    targets+=(zul_ui_load zul)
fi
flock /tmp/zul-build.lock cmake --build "$BUILD" -j2 --target "${targets[@]}" >"$BUILD/build.log" 2>&1 ||
    { tail -40 "$BUILD/build.log"; exit 1; }

export TMPDIR="$PWD/$BUILD/tmp"
mkdir -p "$TMPDIR"
export QT_QPA_PLATFORM=offscreen
export XDG_RUNTIME_DIR="$TMPDIR/runtime"
mkdir -p -m 700 "$XDG_RUNTIME_DIR"
repeat="${ZUL_BENCH_REPEAT:-3}"
if [ "$quick" -eq 1 ]; then
    repeat=1
    export ZUL_BENCH_IDLE_SECONDS="${ZUL_BENCH_IDLE_SECONDS:-10}"
fi

out="$BUILD/figures.txt"
: >"$out"
rm -f "$BUILD"/*.err
status=0

# The figure lines of `runs` runs of one driver, each figure from the run with its median value.
median_lines() {
    awk '/^FIGURE / { sub(/^FIGURE /, ""); print }' "$1" |
        sort -k1,1 -k2,2g |
        awk '{ name[NR] = $1; line[NR] = $0 }
             END {
                 i = 1
                 while (i <= NR) {
                     j = i
                     while (j < NR && name[j + 1] == name[i]) j++
                     print line[i + int((j - i) / 2)]
                     i = j + 1
                 }
             }'
}

run_load() {
    local driver="$1" runs="$2" program="$3"
    local raw="$BUILD/$driver.out"
    : >"$raw"
    for ((r = 0; r < runs; r++)); do
        # Dirty pages of the build (or of the last run) would make the profile's first syncs
        # wait for them.
        sync
        if ! "$program" "$driver" >>"$raw" 2>>"$BUILD/$driver.err"; then
            echo "$driver: run $((r + 1)) failed (see $BUILD/$driver.err)" >&2
            status=1
        fi
    done
    median_lines "$raw" | tee -a "$out"
}

run_micro() {
    "$BUILD/bench/zul_micro_bench" --benchmark_format=csv --benchmark_min_time=0.2 \
        2>/dev/null >"$BUILD/micro.csv" || status=1
    # name,iterations,real_time,cpu_time,time_unit,...
    awk -F, 'NR > 1 && $1 !~ /^name/ {
                 gsub(/"/, "", $1)
                 printf "micro/%s %.4g %s(cpu) | target none\n", $1, $4, $5
             }' "$BUILD/micro.csv" | tee -a "$out"
}

quick_drivers=(signon_storm signon_storm_fresh signon_list message_stream outbox)
slow_drivers=(resident idle)
ui_drivers=()
if [ -x "$BUILD/bench/zul_ui_load" ]; then
    ui_drivers=($("$BUILD/bench/zul_ui_load" --list))
fi

if [ ${#only[@]} -eq 0 ]; then
    run_micro
    for d in "${quick_drivers[@]}"; do run_load "$d" "$repeat" "$BUILD/bench/zul_load"; done
    for d in "${slow_drivers[@]}"; do run_load "$d" 1 "$BUILD/bench/zul_load"; done
    for d in "${ui_drivers[@]}"; do
        runs="$repeat"
        [ "$d" = idle_window ] && runs=1  # a minute each
        run_load "$d" "$runs" "$BUILD/bench/zul_ui_load"
    done
else
    for d in "${only[@]}"; do
        if printf '%s\n' "${ui_drivers[@]}" | grep -qx "$d"; then
            run_load "$d" "$repeat" "$BUILD/bench/zul_ui_load"
        else
            run_load "$d" "$repeat" "$BUILD/bench/zul_load"
        fi
    done
fi

met=$(grep -c '| MET$' "$out" || true)
missed=$(grep -c '| MISSED$' "$out" || true)
echo "targets met: $met, missed: $missed"

if [ "$record" -eq 1 ]; then
    {
        echo
        echo "## $(date -u '+%Y-%m-%d %H:%M UTC')"
        echo
        echo "Machine: $(nproc) cores, $(free -m | awk '/^Mem:/ { print $2 }') MB memory," \
             "load average $(cut -d' ' -f1-3 /proc/loadavg) at the start of the record;" \
             "commit $(git rev-parse --short HEAD)."
        echo
        echo '```'
        cat "$out"
        echo "targets met: $met, missed: $missed"
        echo '```'
    } >>bench/RESULTS.md
fi
[ "$missed" -eq 0 ] || status=1
exit "$status"
