#!/usr/bin/env bash
# Static checks of the Python surface:
#   1. mypy --strict on the typed usage file (tests/typing) and on the examples;
#   2. stubtest: the package's stubs (quibrel/quibrel.pyi for the engine, shipped in the wheel)
#      against the compiled module, so that every name, parameter and kind in them exists at
#      runtime.
#
# By default it checks the quibrel installed in the Python that runs it (PYTHON, default
# python3). With QUIBREL_BUILD_DIR set (for example build/dev) it checks the package as built
# in that directory instead, without installing anything.
# Needs mypy and the stub packages of the example's dependencies (the "typing" extra).
#
#   tools/check_types.sh [FILE_OR_DIR...]
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}

if [[ -n "${QUIBREL_BUILD_DIR:-}" ]]; then
    build_dir=$(cd "$QUIBREL_BUILD_DIR" && pwd)
    # The build directory holds the package (Python files, stubs, py.typed, extension).
    export MYPYPATH="$build_dir${MYPYPATH:+:$MYPYPATH}"
    export PYTHONPATH="$build_dir${PYTHONPATH:+:$PYTHONPATH}"
fi

# Files to check: the arguments, or by default the typed usage file and every example.
if (( $# )); then
    targets=("$@")
else
    targets=(tests/typing)
    shopt -s nullglob
    examples=(examples/*.py)
    targets+=("${examples[@]}")
fi

echo "mypy --strict ${targets[*]}"
"$PYTHON" -m mypy --strict "${targets[@]}"

echo "mypy --strict -p quibrel (the package itself)"
"$PYTHON" -m mypy --strict -p quibrel

echo "stubtest quibrel"
# Entries only some stubtest versions need are not errors where they go unused.
"$PYTHON" -m mypy.stubtest quibrel --allowlist tools/stubtest_allowlist.txt --ignore-unused-allowlist
