#!/usr/bin/env bash
# Native fuzz targets (fuzz/native) against the core library.
#
#   tools/fuzz_native.sh build                 # clang + libFuzzer into build/fuzz-native
#   tools/fuzz_native.sh run TARGET [ARGS...]  # fuzz one target; ARGS go to libFuzzer
#   tools/fuzz_native.sh campaign RUNS         # every target in turn, RUNS executions each
#   tools/fuzz_native.sh replay                # g++ build into build/fuzz-replay, every
#                                              # corpus input once (no clang needed);
#                                              # tools/sanitize.sh runs it
#   tools/fuzz_native.sh replay --build-only   # that build alone
#
# Targets: load_item_cf load_user_cf load_swing cosine swing inference consumed exact_update
# partition.
# A run grows build/fuzz-native/corpus/TARGET (seeded from fuzz/native/corpus/TARGET) and
# leaves crashing inputs in build/fuzz-native/artifacts/. Fuzzing runs at the lowest
# priority, one process at a time; bound it with -runs=N or -max_total_time=S.
set -euo pipefail
cd "$(dirname "$0")/.."

targets=(load_item_cf load_user_cf load_swing cosine swing inference consumed exact_update partition)
jobs="${QUIBREL_JOBS:-2}"
# The core under test: this tree's src/, or QUIBREL_FUZZ_SOURCE (say, a snapshot of a commit
# made with `git archive`), so that a long campaign tests one fixed state of the code.
source_dir="$(realpath "${QUIBREL_FUZZ_SOURCE:-src}")"
# ISA-L for model files: AUTO (when found), ON or OFF; a prebuilt QUIBREL_FUZZ_CORE must have
# been built with the same setting.
with_isal="${QUIBREL_WITH_ISAL:-AUTO}"

# Sanitizer settings shared by fuzzing and replay: stop at the first report.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:halt_on_error=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

clang_compiler() {
    for c in "${CXX:-}" clang++-16 clang++; do
        if [ -n "$c" ] && command -v "$c" >/dev/null && "$c" --version | grep -q clang; then
            echo "$c"
            return
        fi
    done
    echo "no clang++ found (apt-get install clang-16 libclang-rt-16-dev)" >&2
    exit 1
}

build() {
    cmake -S fuzz/native -B build/fuzz-native -G Ninja -DCMAKE_CXX_COMPILER="$(clang_compiler)" \
        -DQUIBREL_FUZZ_ENGINE=libfuzzer -DQUIBREL_SOURCE_DIR="$source_dir" \
        -DQUIBREL_WITH_ISAL="$with_isal" >/dev/null
    cmake --build build/fuzz-native -j "$jobs" | { grep -E "error:|warning: |FAILED" || true; }
}

run() {
    local target=$1
    shift
    local work=build/fuzz-native/corpus/$target
    mkdir -p "$work" build/fuzz-native/artifacts
    # The loaders need room for a valid model body; the matrix targets read short inputs.
    local max_len=512
    case $target in load_*) max_len=4096 ;; esac
    # -close_fd_mask=1: the computations print timing lines to standard output.
    nice -n 19 "build/fuzz-native/fuzz_$target" -max_len=$max_len -close_fd_mask=1 \
        -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="build/fuzz-native/artifacts/$target-" "$@" \
        "$work" "fuzz/native/corpus/$target"
}

replay() {
    # QUIBREL_FUZZ_CORE: an instrumented libquibrel_core.a built from the same sources (as
    # tools/sanitize.sh leaves in build/asan), linked instead of compiling the core again.
    local core=""
    [ -z "${QUIBREL_FUZZ_CORE:-}" ] || core="$(realpath "$QUIBREL_FUZZ_CORE")"
    cmake -S fuzz/native -B build/fuzz-replay -G Ninja -DCMAKE_CXX_COMPILER="${CXX:-g++}" \
        -DQUIBREL_FUZZ_ENGINE=replay -DQUIBREL_SOURCE_DIR="$source_dir" \
        -DQUIBREL_CORE_LIBRARY="$core" -DQUIBREL_WITH_ISAL="$with_isal" >/dev/null
    cmake --build build/fuzz-replay -j "$jobs" | { grep -E "error:|warning: |FAILED" || true; }
    [ "${1:-}" != "--build-only" ] || return 0
    for t in "${targets[@]}"; do
        local dir=fuzz/native/corpus/$t
        local count
        count=$(find "$dir" -type f 2>/dev/null | wc -l)
        [ "$count" -gt 0 ] || { echo "no seed inputs in $dir" >&2; exit 1; }
        printf '%-14s ' "$t"
        # Standard output is dropped (timing lines); a failure's report is on standard error.
        "build/fuzz-replay/fuzz_$t" "$dir" 2>&1 >/dev/null | tail -n 30 >&2 &&
            echo "$count inputs, no failure" ||
            { echo "FAILED"; exit 1; }
    done
}

case "${1:-}" in
build) build ;;
run)
    [ "$#" -ge 2 ] || { echo "usage: $0 run TARGET [libFuzzer args]" >&2; exit 2; }
    shift
    run "$@"
    ;;
campaign)
    runs=${2:-1000000}
    for t in "${targets[@]}"; do run "$t" -runs="$runs" 2>&1 | tee "build/fuzz-native/$t.log"; done
    ;;
replay) replay "${2:-}" ;;
*)
    sed -n '2,16p' "$0" >&2
    exit 2
    ;;
esac
