#!/bin/bash
# bench.sh BUILD_DIR - what "make bench" does after the build: runs every
# Google Benchmark program of BUILD_DIR/bench (vq_bench_*) and then the
# whole-process scenario of an idle and a loaded gateway.
#
# Results go to $VQ_BENCH_OUT (default BUILD_DIR/bench-results): one .json
# and one .txt per program, scenario.txt for the scenario. Environment:
#   VQ_BENCH_FILTER   regular expression passed as --benchmark_filter
#   VQ_BENCH_ONLY     "programs" or "scenario" to run one half
#   VQ_IDLE_SECONDS   length of the idle CPU measurement (default 60)
#   VQ_MESSAGES       messages of the memory measurement (default 10000)
#   VQ_BATCH          messages per batch (default 1000)
#
# The scenario prepares a data directory with scripts/setup-data.sh,
# starts vortiq on it, measures its CPU time over VQ_IDLE_SECONDS of idling
# (utime + stime from /proc/PID/stat), then routes VQ_MESSAGES fax mails in
# batches (vq_bench_scenario), lets the gateway turn each batch into jobs,
# has the stand-in fax server send them (faxsim send), and records the
# resident memory (VmRSS from /proc/PID/status) after every batch, and
# once the last batch is taken in, idles and measures its CPU again.
set -euo pipefail

if [ $# -lt 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "$1" && pwd)
OUT="${VQ_BENCH_OUT:-$BUILD/bench-results}"
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
IDLE_SECONDS="${VQ_IDLE_SECONDS:-60}"
MESSAGES="${VQ_MESSAGES:-10000}"
BATCH="${VQ_BATCH:-1000}"
# Growth of VmRSS from the second batch to the last that still counts as
# flat: allocator and page-cache noise, well below one message's worth of
# leaked state per batch.
FLAT_KB=1024

run_programs() {
    local prog name filter=()
    if [ -n "${VQ_BENCH_FILTER:-}" ]; then
        filter=(--benchmark_filter="$VQ_BENCH_FILTER")
    fi
    for prog in "$BUILD"/bench/vq_bench_*; do
        name=$(basename "$prog")
        [ "$name" = vq_bench_scenario ] && continue
        [ -x "$prog" ] || continue
        echo "== $name"
        # The benches make their folders under TMPDIR and chdir there.
        (cd "${TMPDIR:-/tmp}" && "$prog" "${filter[@]}" \
            --benchmark_out="$OUT/$name.json" --benchmark_out_format=json) | tee "$OUT/$name.txt"
    done
}

# ---- whole-process scenario ----

GATEWAY_PID=""
SCENARIO_DIR=""

cleanup() {
    if [ -n "$GATEWAY_PID" ] && kill -0 "$GATEWAY_PID" 2>/dev/null; then
        kill -TERM "$GATEWAY_PID" 2>/dev/null || true
        wait "$GATEWAY_PID" 2>/dev/null || true
    fi
    if [ -n "$SCENARIO_DIR" ]; then
        rm -rf "$SCENARIO_DIR"
    fi
}

# utime + stime of the gateway in clock ticks. The command name in field 2
# may hold blanks, so the fields are counted after its closing ")".
cpu_ticks() {
    local stat
    stat=$(cat "/proc/$GATEWAY_PID/stat")
    stat=${stat##*) }
    # after ")": state is field 3, utime field 14, stime field 15
    echo "$stat" | awk '{ print $12 + $13 }'
}

rss_kb() {
    awk '/^VmRSS:/ { print $2 }' "/proc/$GATEWAY_PID/status"
}

# Complete jobs (names without extension) waiting in FAX/OUT.
complete_jobs() {
    find "$SPOOL/FAX/OUT" -maxdepth 1 -type f ! -name '*.*' | wc -l
}

alive() {
    kill -0 "$GATEWAY_PID" 2>/dev/null
}

run_scenario() {
    local feeder="$BUILD/bench/vq_bench_scenario"
    for need in vortiq notesctl faxsim bench/vq_bench_scenario; do
        if [ ! -x "$BUILD/$need" ]; then
            echo "bench: $BUILD/$need missing; build with -DVORTIQ_BENCH=ON" >&2
            return 1
        fi
    done
    SCENARIO_DIR=$(mktemp -d "${TMPDIR:-/tmp}/vqscenario.XXXXXX")
    trap cleanup EXIT
    local data="$SCENARIO_DIR/data"
    "$ROOT/scripts/setup-data.sh" "$BUILD" "$data" >/dev/null
    SPOOL="$data/spool/TMBFAX"
    local report="$OUT/scenario.txt"
    : > "$report"
    say() { echo "$*" | tee -a "$report"; }

    (cd "$data" && exec "$BUILD/vortiq" "=$data/notes.ini") > "$SCENARIO_DIR/vortiq.out" 2>&1 &
    GATEWAY_PID=$!
    local hz
    hz=$(getconf CLK_TCK)
    # The passes first fall due 10 s after start-up; measure after them.
    sleep 15
    alive || { echo "bench: the gateway did not stay up" >&2; cat "$SCENARIO_DIR/vortiq.out" >&2; return 1; }

    local t0 t1 c0 c1
    c0=$(cpu_ticks); t0=$(date +%s.%N)
    sleep "$IDLE_SECONDS"
    c1=$(cpu_ticks); t1=$(date +%s.%N)
    local idle
    idle=$(awk -v c="$((c1 - c0))" -v hz="$hz" -v a="$t0" -v b="$t1" \
        'BEGIN { printf "%.3f", 100 * (c / hz) / (b - a) }')
    say "idle: $((c1 - c0)) ticks of CPU (${hz}/s) over $(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f", b - a }') s = ${idle}% of one core (goal: under 1%)"
    say "idle: VmRSS $(rss_kb) kB"

    local sent=0 batch=0 rss second_rss="" last_rss="" start waited
    while [ "$sent" -lt "$MESSAGES" ]; do
        batch=$((batch + 1))
        "$feeder" "$data" "$BATCH" "$sent"
        sent=$((sent + BATCH))
        # the gateway turns the batch into jobs; at most 10 minutes
        start=$(date +%s)
        while [ "$(complete_jobs)" -lt "$BATCH" ]; do
            alive || { echo "bench: the gateway ended during batch $batch" >&2; return 1; }
            if [ $(( $(date +%s) - start )) -gt 600 ]; then
                echo "bench: batch $batch not turned into jobs within 10 minutes" >&2
                return 1
            fi
            sleep 1
        done
        waited=$(( $(date +%s) - start ))
        # the gateway is measured here, not the page renderer (render_bench)
        "$BUILD/faxsim" send --no-render "$data/spool" >/dev/null
        # faxsim keeps a copy of each sent job under sent/<job name>, and the
        # gateway reuses job names once they are free again: clear the copies
        rm -rf "$data/spool/sent"
        rss=$(rss_kb)
        [ "$batch" -eq 2 ] && second_rss=$rss
        last_rss=$rss
        say "batch $batch: $sent messages sent, jobs written within ${waited} s, VmRSS $rss kB"
    done
    if [ -n "$second_rss" ]; then
        local growth=$((last_rss - second_rss))
        local verdict="flat"
        [ "$growth" -gt "$FLAT_KB" ] && verdict="GROWING"
        say "memory: VmRSS ${second_rss} kB after batch 2, ${last_rss} kB after batch $batch: ${growth} kB ($verdict; flat means at most $FLAT_KB kB)"
    fi
    local errors
    errors=$(grep -c 'rror' "$SCENARIO_DIR/vortiq.out" || true)
    say "gateway log: $(wc -l < "$SCENARIO_DIR/vortiq.out") lines, $errors with \"rror\""

    # The last batch's fax server log and return statuses are taken in by
    # the next inbound cycle: that minute is work, not idling. Measure it
    # apart, then idle once the gateway has taken them in.
    c0=$(cpu_ticks); t0=$(date +%s.%N)
    start=$(date +%s)
    while [ -e "$SPOOL/UTIL/DATA/ACTIVITY.LOG" ] || [ -e "$SPOOL/UTIL/DATA/ACTIVITY.RD" ] ||
          [ -n "$(ls -A "$SPOOL/FAX/IN")" ]; do
        alive || { echo "bench: the gateway ended after the load" >&2; return 1; }
        if [ $(( $(date +%s) - start )) -gt 600 ]; then
            echo "bench: the last batch's log not taken in within 10 minutes" >&2
            return 1
        fi
        sleep 1
    done
    sleep 5 # the rest of that cycle (purge, queue listing)
    c1=$(cpu_ticks); t1=$(date +%s.%N)
    idle=$(awk -v c="$((c1 - c0))" -v hz="$hz" -v a="$t0" -v b="$t1" \
        'BEGIN { printf "%.3f", 100 * (c / hz) / (b - a) }')
    say "taking in the last batch: ${idle}% of one core over $(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f", b - a }') s, VmRSS $(rss_kb) kB"

    # idle CPU once more, now that the gateway has done its work; each
    # minute of it holds one inbound cycle over the full activity database
    local rss_idle0
    rss_idle0=$(rss_kb)
    c0=$(cpu_ticks); t0=$(date +%s.%N)
    sleep "$IDLE_SECONDS"
    c1=$(cpu_ticks); t1=$(date +%s.%N)
    idle=$(awk -v c="$((c1 - c0))" -v hz="$hz" -v a="$t0" -v b="$t1" \
        'BEGIN { printf "%.3f", 100 * (c / hz) / (b - a) }')
    say "idle after the load: ${idle}% of one core, VmRSS ${rss_idle0} kB before, $(rss_kb) kB after"
}

case "${VQ_BENCH_ONLY:-all}" in
    programs) run_programs ;;
    scenario) run_scenario ;;
    *) run_programs; run_scenario ;;
esac
