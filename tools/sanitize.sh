#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer into build/asan and
# runs the test suite (and a short fuzz campaign, the native fuzz targets' corpus and the C++
# tests of the core) against that build. Any sanitizer report ends the offending process with
# exit code 86 and fails this script. The build leaves ISA-L out, so model files go through the
# zlib codec.
#
#   tools/sanitize.sh                 # build, whole suite except tests marked slow, fuzz smoke
#   tools/sanitize.sh tests/test_x.py # build, then only the given pytest arguments
#   tools/sanitize.sh --build-only    # build only, with the native replay targets (CI compiles
#                                     # them while other steps run)
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/asan
# Without ISA-L: CI's other builds have it, so this one checks the zlib codec of model files.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUIBREL_SANITIZE=ON \
    -DQUIBREL_WITH_ISAL=OFF -DQUIBREL_NATIVE_TESTS=ON >/dev/null
cmake --build "$build" -j "${QUIBREL_JOBS:-2}" >/dev/null
# The native fuzz targets that replay their corpus link this build's core library.
replay() {
    env -u LD_PRELOAD -u ASAN_OPTIONS -u UBSAN_OPTIONS QUIBREL_FUZZ_CORE="$build/libquibrel_core.a" \
        QUIBREL_WITH_ISAL=OFF bash tools/fuzz_native.sh replay "$@"
}
if [ "${1:-}" = "--build-only" ]; then
    replay --build-only
    exit 0
fi

reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT

# The interpreter is not instrumented: the runtimes must be loaded first, and Python's own
# allocator is bypassed so that object memory is checked too. The interpreter leaks at exit
# by design, so leak detection stays off (tests/test_leaks.py measures growth instead).
# Allocation failures return null so that they surface as MemoryError, as in a normal build.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:halt_on_error=1:exitcode=86:log_path=$reports/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:exitcode=86:log_path=$reports/ubsan"
export PYTHONPATH="$build"
# Tests that measure resident memory or lower the address-space limit skip themselves.
export QUIBREL_SANITIZED=1

# An installed copy of the module must not shadow the instrumented one.
python3 -c "import quibrel, sys; sys.exit('build/asan' not in quibrel.__file__)" ||
    { echo "quibrel is not imported from $build" >&2; exit 1; }

status=0
if [ "$#" -gt 0 ]; then
    python3 -m pytest -q -p no:cacheprovider "$@" || status=$?
else
    python3 -m pytest -q -p no:cacheprovider -m "not slow" tests || status=$?
    echo "== sanitizers: suite done at ${SECONDS} s"
    if [ "$status" -eq 0 ]; then
        QUIBREL_FUZZ_EXAMPLES="${QUIBREL_FUZZ_EXAMPLES:-150}" \
            python3 -m pytest -q -p no:cacheprovider fuzz || status=$?
        echo "== sanitizers: property fuzzing done at ${SECONDS} s"
    fi
    # The native fuzz targets replay their seed corpus against the same instrumented core
    # library. They are ordinary executables: no preloading, their own sanitizer settings.
    if [ "$status" -eq 0 ]; then
        replay || status=$?
        echo "== sanitizers: native corpus replayed at ${SECONDS} s"
    fi
    # The C++ tests of the core (every route of each algorithm on the same inputs).
    if [ "$status" -eq 0 ]; then
        env -u LD_PRELOAD -u ASAN_OPTIONS -u UBSAN_OPTIONS \
            ctest --test-dir "$build" --output-on-failure || status=$?
    fi
fi

# Allocation failures leave warnings in the logs; only error reports count.
if compgen -G "$reports/*" >/dev/null &&
    grep -qE "ERROR: (Address|UndefinedBehavior)Sanitizer|runtime error:" "$reports"/*; then
    echo "sanitizer reports:" >&2
    cat "$reports"/* >&2
    status=86
fi
if [ "$status" -eq 86 ]; then
    echo "a sanitizer ended the run" >&2
fi
exit "$status"
