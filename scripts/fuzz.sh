#!/bin/sh
# fuzz.sh - builds the libFuzzer targets of fuzz/ with clang (AddressSanitizer
# and UndefinedBehaviorSanitizer) in build-fuzz and runs each one for a
# bounded time, starting from its seed corpus in fuzz/corpus/<target>.
# The corpus is copied to a scratch folder first, so a run never changes
# the repository; an input that crashes a target is kept under
# $FUZZ_OUT/<target>/ and the script ends non-zero.
#
#   FUZZ_SECONDS   seconds per target (default 60; CI uses 30)
#   FUZZ_TARGETS   names of the targets to run (default: all of them)
#   FUZZ_OUT       where the scratch corpora and crash inputs go
#                  (default: build-fuzz/fuzz-runs)
#   FUZZ_ARGS      further libFuzzer options
#   BUILD_DIR      build folder (default: build-fuzz)
set -eu

ROOT=$(CDPATH= cd -- "$(dirname -- "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build-fuzz}
FUZZ_SECONDS=${FUZZ_SECONDS:-60}
FUZZ_OUT=${FUZZ_OUT:-$BUILD_DIR/fuzz-runs}
FUZZ_ARGS=${FUZZ_ARGS:-}
JOBS=${JOBS:-2}

case $FUZZ_SECONDS in
    ''|*[!0-9]*) echo "fuzz.sh: FUZZ_SECONDS must be a whole number of seconds" >&2; exit 2 ;;
esac

# clang and its libFuzzer runtime come from Debian packages.
have_fuzzer_runtime() {
    command -v clang++ >/dev/null 2>&1 || return 1
    ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
        ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a >/dev/null 2>&1
}
if ! have_fuzzer_runtime; then
    echo "fuzz.sh: installing clang and libclang-rt-14-dev"
    SUDO=
    [ "$(id -u)" -ne 0 ] && SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq clang libclang-rt-14-dev
fi

cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVORTIQ_FUZZ=ON -DVORTIQ_TESTS=OFF >/dev/null
cmake --build "$BUILD_DIR" -j "$JOBS" --target fuzz_all

if [ -z "${FUZZ_TARGETS:-}" ]; then
    FUZZ_TARGETS=$(cd "$ROOT/fuzz" && ls *_fuzz.cpp | sed 's/\.cpp$//')
fi

mkdir -p "$FUZZ_OUT"
SUMMARY=$FUZZ_OUT/summary.txt
: > "$SUMMARY"
failed=0
for target in $FUZZ_TARGETS; do
    bin=$BUILD_DIR/fuzz/$target
    if [ ! -x "$bin" ]; then
        echo "fuzz.sh: no such target: $target" >&2
        failed=1
        continue
    fi
    work=$FUZZ_OUT/$target
    rm -rf "$work"
    mkdir -p "$work/corpus" "$work/crashes"
    if [ -d "$ROOT/fuzz/corpus/$target" ]; then
        cp "$ROOT/fuzz/corpus/$target"/* "$work/corpus/" 2>/dev/null || true
    fi
    echo "== $target: ${FUZZ_SECONDS}s"
    status=0
    # shellcheck disable=SC2086
    "$bin" -max_total_time="$FUZZ_SECONDS" -timeout=25 -print_final_stats=1 \
        -artifact_prefix="$work/crashes/" $FUZZ_ARGS "$work/corpus" \
        >"$work/log.txt" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log.txt" | tail -n 1)
    corpus=$(ls "$work/corpus" | wc -l)
    if [ "$status" -ne 0 ]; then
        failed=1
        echo "   CRASH (exit $status) after ${runs:-?} executions; input(s):"
        ls "$work/crashes"/* 2>/dev/null | sed 's/^/     /'
        grep -E '^(==[0-9]+==ERROR|SUMMARY|[a-z_]+_fuzz: )' "$work/log.txt" | head -n 5 | sed 's/^/   /'
        printf '%-22s %12s  CRASH\n' "$target" "${runs:-?}" >> "$SUMMARY"
    else
        echo "   ${runs:-?} executions, corpus $corpus inputs, no crash"
        printf '%-22s %12s  ok\n' "$target" "${runs:-?}" >> "$SUMMARY"
    fi
done

echo
echo "target                   executions  result"
cat "$SUMMARY"
exit $failed
