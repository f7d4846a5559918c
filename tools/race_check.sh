#!/usr/bin/env bash
# Builds the extension with ThreadSanitizer into build/tsan and runs the tests that drive the
# worker pool against it: the parallel loops, the Swing pair cache (shared by all workers, with
# lock-free prefetch hints) and the thread-count handling. Any race report fails the script.
# Not part of CI (the instrumented pool runs about thirty times slower); run it after changing
# anything the workers share.
#
#   tools/race_check.sh                  # tests/test_threads.py and tests/test_swing.py
#   tools/race_check.sh tests/test_x.py  # the given pytest arguments instead
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/tsan
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="-fsanitize=thread" -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=thread" >/dev/null
cmake --build "$build" -j "${QUIBREL_JOBS:-2}" >/dev/null

reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT

# The runtime must be loaded before the interpreter starts, and a launcher script (such as a
# version manager's shim) must not be run under it: use the interpreter's own executable.
python_bin=$(python3 -c "import sys; print(sys.executable)")
export LD_PRELOAD="$(g++ -print-file-name=libtsan.so)"
export PYTHONMALLOC=malloc
export TSAN_OPTIONS="halt_on_error=1:exitcode=86:log_path=$reports/tsan"
export PYTHONPATH="$build"
# Tests that measure resident memory or lower the address-space limit skip themselves.
export QUIBREL_SANITIZED=1

"$python_bin" -c "import quibrel, sys; sys.exit('build/tsan' not in quibrel.__file__)" ||
    { echo "quibrel is not imported from $build" >&2; exit 1; }

status=0
if [ "$#" -gt 0 ]; then
    "$python_bin" -m pytest -q -p no:cacheprovider "$@" || status=$?
else
    "$python_bin" -m pytest -q -p no:cacheprovider -m "not slow" tests/test_threads.py \
        tests/test_swing.py || status=$?
fi
if compgen -G "$reports/*" >/dev/null && grep -q "WARNING: ThreadSanitizer" "$reports"/*; then
    echo "race reports:" >&2
    cat "$reports"/* >&2
    status=86
fi
exit "$status"
