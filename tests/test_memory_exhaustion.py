"""Allocation failures inside computations and loads surface as MemoryError (or, for a
worker pool that cannot start, as the internal failure the contract names), never as a dead
process. Each case runs in a fresh interpreter under a lowered address-space limit."""

from __future__ import annotations

import os
import textwrap

import pytest
from conftest import run_python

# The sanitizer reserves terabytes of shadow address space, so no limit can be set under it.
pytestmark = pytest.mark.skipif(
    bool(os.environ.get("QUIBREL_SANITIZED")),
    reason="address-space limits do not work under the sanitizer",
)

PRELUDE = """
import gzip, os, resource, struct, sys
import quibrel
from conftest import Interactions

def vm_size():
    for line in open("/proc/self/status"):
        if line.startswith("VmSize:"):
            return int(line.split()[1]) * 1024

# Room for the interpreter as it is now plus a little: any large allocation fails.
limit = vm_size() + (400 << 20)
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

def outcome(fn, *args):
    try:
        fn(*args)
        return "ok"
    except BaseException as e:  # noqa: BLE001 - the outcome is what is reported
        return type(e).__name__ + ": " + str(e)[:80]

tiny = Interactions([0], [0, 1], [1.0])
"""

ALL_PAIRS = """
import numpy as np
n_users, n_items = 4, 12000
shared = Interactions(np.tile(np.arange(n_items, dtype=np.int32), n_users),
                      np.arange(n_users + 1) * n_items, np.ones(n_users * n_items, np.float32))
by_item = Interactions(np.tile(np.arange(n_users, dtype=np.int32), n_items),
                       np.arange(n_items + 1) * n_users, np.ones(n_users * n_items, np.float32))
m = quibrel.ItemCF('ranking', 5, n_users, n_items, 1, shared, by_item, {}, 0.0)
"""

CASES = {
    # n entities need n squared norms before anything else: far beyond the limit.
    "compute_similarities forward, huge n_items": (
        "m = quibrel.ItemCF('ranking', 5, 1, 1 << 33, 1, tiny, tiny, {}, 0.0)",
        "m.compute_similarities(False, 2)",
        "m.n_items = 1; print('after', outcome(m.predict, [0], [0]))",
    ),
    "compute_similarities invert, huge n_users": (
        "m = quibrel.UserCF('ranking', 5, 1 << 33, 1, 1, tiny, tiny, {}, 0.0)",
        "m.compute_similarities(True, 1)",
        "m.n_users = 1; print('after', outcome(m.predict, [0], [0]))",
    ),
    "compute_similarities forward, n just under the limit": (
        "m = quibrel.ItemCF('ranking', 5, 1, 200_000_000, 1, tiny, tiny, {}, 0.0)",
        "m.compute_similarities(False, 2)",
        "m.n_items = 1; print('after', outcome(m.compute_similarities, False, 2))",
    ),
    # 12000 items that every user shares: 72 million pairs, which fail on the workers.
    "compute_similarities forward, pairs beyond the limit": (
        ALL_PAIRS,
        "m.compute_similarities(False, 2)",
        "print('after', outcome(m.predict, [0], [0]))",
    ),
    "compute_similarities invert, pairs beyond the limit": (
        ALL_PAIRS,
        "m.compute_similarities(True, 2)",
        "print('after', outcome(m.predict, [0], [0]))",
    ),
    "update_similarities, huge n_items": (
        (
            "m = quibrel.ItemCF('ranking', 5, 1, 1, 1, tiny, tiny, {}, 0.0)\n"
            "m.compute_similarities(False, 1)\n"
            "m.n_items = 1 << 33"
        ),
        "m.update_similarities(tiny, tiny)",
        "m.n_items = 1; print('after', outcome(m.predict, [0], [0]))",
    ),
    "compute_swing, huge n_items": (
        "m = quibrel.Swing(5, 1.0, 100, 1, 1 << 33, tiny, tiny, {}, 0.0)",
        "m.compute_swing(2)",
        "m.n_items = 1; print('after', outcome(m.compute_swing, 2))",
    ),
    # A body that really is larger than the limit allows: 600 MB of sum_squares.
    "load of a record larger than memory": (
        (
            "n = 150_000_000\n"
            "path = os.path.join(tmp, 'big.gz')\n"
            "with gzip.open(path, 'wb', compresslevel=1) as f:\n"
            "    f.write(struct.pack('<Q', 7) + b'ranking' + bytes(32) + struct.pack('<Q', n))\n"
            "    block = bytes(1 << 20)\n"
            "    for _ in range(n * 4 >> 20): f.write(block)\n"
        ),
        "quibrel.load_item_cf(tmp, 'big')",
        "print('after', outcome(quibrel.build_consumed_unique, [1], [2]))",
    ),
    # A count that claims more than the file holds ends as a format error, not an allocation.
    "load of a file with a huge count": (
        (
            "path = os.path.join(tmp, 'huge-count.gz')\n"
            "with gzip.open(path, 'wb') as f:\n"
            "    f.write(struct.pack('<Q', 7) + b'ranking' + bytes(32))\n"
            "    f.write(struct.pack('<Q', 1 << 61))"
        ),
        "quibrel.load_item_cf(tmp, 'huge-count')",
        "print('after', outcome(quibrel.build_consumed_unique, [1], [2]))",
    ),
}

EXPECTED = {
    "load of a file with a huge count": "OSError: io error: unexpected end of file",
}


@pytest.mark.parametrize("name", list(CASES))
def test_allocation_failure_raises_memory_error(name, tmp_path):
    setup, call, after = CASES[name]
    code = (
        f"tmp = {str(tmp_path)!r}\n"
        + PRELUDE
        + setup
        + textwrap.dedent(
            f"""
        print("result", outcome(lambda: {call}))
        {after}
        """
        )
    )
    out = run_python(code, timeout=300)
    assert out.returncode == 0, out.stderr[-2000:]
    lines = {
        x.split(" ", 1)[0]: x.split(" ", 1)[1]
        for x in out.stdout.splitlines()
        if x.startswith(("result ", "after "))
    }
    print(name, lines)
    assert lines["result"].startswith(EXPECTED.get(name, "MemoryError")), lines
    # The model (or the module) still answers afterwards.
    assert lines["after"] == "ok", lines


def test_worker_pool_that_cannot_start_fails_every_parallel_call():
    # Thread stacks count against the limit: a pool of 65535 workers cannot be created.
    code = PRELUDE + textwrap.dedent(
        """
        m = quibrel.Swing(5, 1.0, 100, 1, 1, tiny, tiny, {}, 0.0)
        print("result", outcome(m.compute_swing, 65535))
        print("again", outcome(m.compute_swing, 2))
        print("after", outcome(m.predict, [0], [0]))
        """
    )
    out = run_python(code, timeout=300)
    assert out.returncode == 0, out.stderr[-2000:]
    lines = dict(
        x.split(" ", 1)
        for x in out.stdout.splitlines()
        if x.startswith(("result ", "again ", "after "))
    )
    print(lines)
    for key in ("result", "again"):
        assert lines[key].startswith(
            "PanicException: The global thread pool has not been initialized."
        ), lines
    assert lines["after"] == "ok"
