"""Shared pieces of the fuzz harnesses: hostile inputs, the exceptions each call may raise,
an independent model-file codec, and per-target execution counts."""

from __future__ import annotations

import collections
import hashlib
import math
import os
import struct
import zlib

import numpy as np
import quibrel
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st


def panic_type():
    """PanicException is not a module attribute; provoke one to learn its type."""
    model = quibrel.Swing(5, 1.0, 10, 1, 2, Matrix([], [0], []), Matrix([0], [0, 1], [1.0]), {}, 0)
    try:
        model.compute_swing(1)
    except BaseException as e:
        if type(e).__name__ == "PanicException":
            return type(e)
        raise
    raise AssertionError("expected an internal failure")


class Matrix:
    """An interaction matrix: any object with these three attributes."""

    def __init__(self, indices, indptr, data):
        self.sparse_indices = indices
        self.sparse_indptr = indptr
        self.sparse_data = data

    def key(self):
        return repr(
            (as_list(self.sparse_indices), as_list(self.sparse_indptr), as_list(self.sparse_data))
        )


def as_list(value):
    if isinstance(value, np.ndarray):
        return value.tolist()
    try:
        return list(value)
    except TypeError:
        return value


# ---- what each call may raise ----------------------------------------------------------------

CONVERSION = (TypeError, OverflowError)


def allowed(*names):
    """Exception types by short name; 'panic' is the internal-failure type."""
    table = {
        "panic": PANIC,
        "value": ValueError,
        "runtime": RuntimeError,
        "type": TypeError,
        "overflow": OverflowError,
        "os": OSError,
        "memory": MemoryError,
    }
    return tuple(table[n] for n in names)


PANIC = None  # filled in by init()

ALLOWED: dict[str, tuple] = {}


def init():
    global PANIC
    if PANIC is None:
        PANIC = panic_type()
        ALLOWED.update(
            {
                "construct": allowed("type", "overflow", "memory"),
                "consumed": allowed("type", "overflow", "panic", "memory"),
                "compute_similarities": allowed("panic", "value", "memory"),
                "update_similarities": allowed("panic", "value", "memory", "type", "overflow"),
                "compute_swing": allowed("panic", "memory"),
                "update_swing": allowed("panic", "memory", "type", "overflow"),
                "predict": allowed("panic", "value", "memory", "type", "overflow"),
                "recommend": allowed("panic", "value", "memory", "type", "overflow"),
                "num_sim_elements": allowed("value"),
                "num_swing_elements": allowed("runtime"),
                "load": allowed("os"),
                "save": allowed("os"),
                "build_consumed_unique": allowed("type", "overflow", "memory"),
            }
        )
    return PANIC


# ---- execution counts ------------------------------------------------------------------------


class Stats:
    def __init__(self):
        self.runs = collections.Counter()
        self.inputs = collections.defaultdict(set)
        self.outcomes = collections.defaultdict(collections.Counter)

    def record(self, target, key, outcome):
        self.runs[target] += 1
        self.inputs[target].add(hashlib.blake2b(key.encode(), digest_size=12).digest())
        self.outcomes[target][outcome] += 1

    def table(self):
        rows = []
        for target in sorted(self.runs):
            out = dict(self.outcomes[target])
            rows.append(
                {
                    "target": target,
                    "executions": self.runs[target],
                    "distinct_inputs": len(self.inputs[target]),
                    "outcomes": out,
                }
            )
        return rows


STATS = Stats()


def call(target, key, fn, *args):
    """Runs one call; returns its result or the exception it raised, which must be one the
    contract allows for this target. Anything else fails the harness."""
    try:
        result = fn(*args)
    except ALLOWED[target] as e:
        STATS.record(target, key, type(e).__name__)
        return e
    except BaseException as e:
        STATS.record(target, key, "UNEXPECTED " + type(e).__name__)
        raise AssertionError(f"{target}: {type(e).__name__} is not allowed here: {e}") from e
    STATS.record(target, key, "ok")
    return result


def fuzz_settings(default_examples=40):
    examples = int(os.environ.get("QUIBREL_FUZZ_EXAMPLES", default_examples))
    return settings(
        max_examples=examples,
        deadline=None,
        database=None if os.environ.get("CI") else settings.default.database,
        suppress_health_check=list(HealthCheck),
        print_blob=True,
    )


# ---- hostile matrices ------------------------------------------------------------------------

I32_EDGES = [-(2**31), -1, 2**31 - 1]
U64_EDGES = [2**31, 2**32, 2**63, 2**64 - 1]
FLOAT_EDGES = [math.nan, math.inf, -math.inf, 0.0, -0.0, 3.4e38, 1e-45, -1.0]


def container(values, kind, dtype):
    """The same values in one of the shapes a caller may pass; numpy arrays may be strided
    or unaligned so that the buffer fast path meets them too."""
    if isinstance(values, str):
        return values
    if kind == "list":
        return list(values)
    if kind == "tuple":
        return tuple(values)
    try:
        arr = np.array(values, dtype=dtype)
    except (OverflowError, ValueError, TypeError):
        return list(values)  # not representable in this dtype: pass the Python values
    if kind == "array":
        return arr
    if kind == "strided":
        wide = np.zeros(2 * len(arr), dtype=dtype)
        wide[::2] = arr
        return wide[::2]
    if kind == "reversed":
        return arr[::-1].copy()[::-1]
    # unaligned: the same bytes one byte into a larger buffer
    raw = bytearray(arr.nbytes + 1)
    raw[1:] = arr.tobytes()
    return np.frombuffer(bytes(raw), dtype=dtype, count=len(arr), offset=1)


CONTAINERS = st.sampled_from(["list", "list", "tuple", "array", "strided", "unaligned"])


@st.composite
def csr_parts(draw, n_rows, n_cols):
    """(indices, indptr, data) as Python lists: mostly well formed, then damaged in one or
    more of the ways a careless caller can damage them."""
    rows = []
    for _ in range(n_rows):
        cols = draw(
            st.lists(st.integers(0, max(n_cols - 1, 0)), max_size=min(n_cols, 6), unique=True)
        )
        rows.append(sorted(cols))
    indices, indptr = [], [0]
    for cols in rows:
        indices.extend(cols)
        indptr.append(len(indices))
    data = [draw(st.sampled_from([1.0, 2.0, 0.5, 4.0, 3.0])) for _ in indices]

    damage = draw(
        st.sets(
            st.sampled_from(
                [
                    "none",
                    "indptr_decrease",
                    "indptr_overrun",
                    "indptr_huge",
                    "indptr_short",
                    "indptr_no_zero",
                    "indptr_empty",
                    "ids_negative",
                    "ids_huge",
                    "ids_beyond",
                    "unsorted",
                    "repeated",
                    "values",
                    "short_indices",
                    "short_data",
                    "extra_rows",
                ]
            ),
            max_size=3,
        )
    )
    if "indptr_decrease" in damage and len(indptr) > 2:
        p = draw(st.integers(1, len(indptr) - 1))
        indptr[p] = draw(st.integers(0, max(indptr[p - 1] - 1, 0)))
        if p > 1:
            indptr[p - 1] += draw(st.integers(1, 5))
    if "indptr_overrun" in damage:
        indptr[-1] += draw(st.integers(1, 1000))
    if "indptr_huge" in damage:
        indptr[draw(st.integers(0, len(indptr) - 1))] = draw(
            st.sampled_from([2**31, 2**32 + 1, 2**62, 2**63, 2**64 - 1])
        )
    if "indptr_short" in damage and indptr:
        indptr = indptr[: draw(st.integers(0, len(indptr) - 1))]
    if "indptr_no_zero" in damage and indptr:
        indptr[0] = draw(st.integers(1, 10))
    if "indptr_empty" in damage:
        indptr = []
    if indices:
        if "ids_negative" in damage:
            indices[draw(st.integers(0, len(indices) - 1))] = draw(
                st.sampled_from([-1, -2, -(2**31), -(2**30)])
            )
        if "ids_huge" in damage:
            indices[draw(st.integers(0, len(indices) - 1))] = draw(
                st.sampled_from([2**31 - 1, 2**30, 65536, 1 << 24])
            )
        if "ids_beyond" in damage:
            indices[draw(st.integers(0, len(indices) - 1))] = n_cols + draw(st.integers(0, 3))
        if "unsorted" in damage:
            indices.reverse()
        if "repeated" in damage:
            p = draw(st.integers(0, len(indices) - 1))
            indices[p] = indices[p - 1] if p > 0 else indices[-1]
        if "values" in damage:
            for _ in range(draw(st.integers(1, 3))):
                data[draw(st.integers(0, len(data) - 1))] = draw(st.sampled_from(FLOAT_EDGES))
        if "short_indices" in damage:
            indices = indices[: draw(st.integers(0, len(indices) - 1))]
        if "short_data" in damage:
            data = data[: draw(st.integers(0, len(data) - 1))]
    if "extra_rows" in damage:
        last = indptr[-1] if indptr else 0
        indptr.extend([last] * draw(st.integers(1, 4)))
    return indices, indptr, data, frozenset(damage - {"none"})


@st.composite
def matrices(draw, n_rows, n_cols, conversion_failures=True):
    indices, indptr, data, damage = draw(csr_parts(n_rows, n_cols))
    if conversion_failures and draw(st.integers(0, 30)) == 17:
        # Values no conversion accepts: the call must fail before anything runs.
        which = draw(st.sampled_from(["index", "offset", "value", "str"]))
        if which == "index":
            indices = indices + [draw(st.sampled_from([2**31, -(2**31) - 1, 2**70]))]
        elif which == "offset":
            indptr = indptr + [draw(st.sampled_from([-1, 2**64, -(2**63)]))]
        elif which == "value":
            data = data + [draw(st.sampled_from(["x", None, object()]))]
        else:
            indices = "012"
    m = Matrix(
        container(indices, draw(CONTAINERS), draw(st.sampled_from([np.int32, np.int64]))),
        container(indptr, draw(CONTAINERS), draw(st.sampled_from([np.int64, np.uint64]))),
        container(data, draw(CONTAINERS), draw(st.sampled_from([np.float32, np.float64]))),
    )
    return m, damage


def id_lists(n, size=8):
    """Ids for predict and recommend: mostly in range, some at or past the end, negative
    and extreme."""
    return st.lists(st.one_of(st.integers(-2, n + 2), st.sampled_from(I32_EDGES)), max_size=size)


# ---- an independent model-file codec ---------------------------------------------------------


class Truncated(Exception):
    """The body ends before the record does."""


class Encoder:
    def __init__(self):
        self.parts = []

    def u64(self, v):
        self.parts.append(struct.pack("<Q", v & (2**64 - 1)))

    def i32(self, v):
        self.parts.append(struct.pack("<i", v))

    def f32(self, v):
        self.parts.append(struct.pack("<f", v))

    def text(self, s: bytes):
        self.u64(len(s))
        self.parts.append(s)

    def vec(self, fmt, values):
        self.u64(len(values))
        self.parts.append(struct.pack(f"<{len(values)}{fmt}", *values))

    def bytes(self):
        return b"".join(self.parts)


def encode_csr(e, csr):
    indices, indptr, data = csr
    e.vec("i", indices)
    e.vec("Q", indptr)
    e.vec("f", data)


def encode_consumed(e, consumed):
    e.u64(len(consumed))
    for user, items in consumed:
        e.i32(user)
        e.vec("i", items)


def encode_cf(f) -> bytes:
    e = Encoder()
    e.text(f["task"])
    for name in ("k_sim", "n_users", "n_items", "min_common"):
        e.u64(f[name])
    e.vec("f", f["sum_squares"])
    e.u64(len(f["pair_stats"]))
    for key, x, y, dot, count in f["pair_stats"]:
        e.parts.append(struct.pack("<iiifQ", key, x, y, dot, count))
    e.u64(len(f["sim_mapping"]))
    for key, ids, sims in f["sim_mapping"]:
        e.i32(key)
        e.vec("i", ids)
        e.vec("f", sims)
    encode_csr(e, f["user_interactions"])
    encode_csr(e, f["item_interactions"])
    encode_consumed(e, f["user_consumed"])
    e.f32(f["default_pred"])
    return e.bytes()


def encode_swing(f) -> bytes:
    e = Encoder()
    e.u64(f["top_k"])
    e.f32(f["alpha"])
    for name in ("max_cache_num", "n_users", "n_items"):
        e.u64(f[name])
    e.u64(len(f["swing_scores"]))
    for key, pairs in f["swing_scores"]:
        e.i32(key)
        e.u64(len(pairs))
        for item, score in pairs:
            e.parts.append(struct.pack("<if", item, score))
    encode_csr(e, f["user_interactions"])
    encode_csr(e, f["item_interactions"])
    encode_consumed(e, f["user_consumed"])
    e.f32(f["default_pred"])
    return e.bytes()


class Decoder:
    """Reads the body the way the loaders must: every count is checked against the bytes
    that are left before anything is taken."""

    def __init__(self, raw: bytes):
        self.raw, self.pos = raw, 0

    def take(self, n):
        if n > len(self.raw) - self.pos:
            raise Truncated
        chunk = self.raw[self.pos : self.pos + n]
        self.pos += n
        return chunk

    def u64(self):
        return struct.unpack("<Q", self.take(8))[0]

    def i32(self):
        return struct.unpack("<i", self.take(4))[0]

    def f32(self):
        return struct.unpack("<f", self.take(4))[0]

    def text(self):
        return self.take(self.u64()).decode("utf-8")  # UnicodeDecodeError: not UTF-8

    def vec(self, fmt, width):
        n = self.u64()
        if n > (len(self.raw) - self.pos) // width:
            raise Truncated
        return list(struct.unpack(f"<{n}{fmt}", self.take(n * width)))

    def count(self, entry_min):
        n = self.u64()
        if n > (len(self.raw) - self.pos) // entry_min:
            raise Truncated
        return n

    def csr(self):
        return (self.vec("i", 4), self.vec("Q", 8), self.vec("f", 4))

    def consumed(self):
        return [(self.i32(), self.vec("i", 4)) for _ in range(self.count(12))]


def decode_cf(raw: bytes) -> dict:
    d = Decoder(raw)
    f = {"task": d.text()}
    for name in ("k_sim", "n_users", "n_items", "min_common"):
        f[name] = d.u64()
    f["sum_squares"] = d.vec("f", 4)
    f["pair_stats"] = [struct.unpack("<iiifQ", d.take(24)) for _ in range(d.count(24))]
    f["sim_mapping"] = [(d.i32(), d.vec("i", 4), d.vec("f", 4)) for _ in range(d.count(20))]
    f["user_interactions"] = d.csr()
    f["item_interactions"] = d.csr()
    f["user_consumed"] = d.consumed()
    f["default_pred"] = d.f32()
    return f


def decode_swing(raw: bytes) -> dict:
    d = Decoder(raw)
    f = {"top_k": d.u64(), "alpha": d.f32()}
    for name in ("max_cache_num", "n_users", "n_items"):
        f[name] = d.u64()
    f["swing_scores"] = [
        (d.i32(), [struct.unpack("<if", d.take(8)) for _ in range(d.count(8))])
        for _ in range(d.count(12))
    ]
    f["user_interactions"] = d.csr()
    f["item_interactions"] = d.csr()
    f["user_consumed"] = d.consumed()
    f["default_pred"] = d.f32()
    return f


DECODE = {"item": decode_cf, "user": decode_cf, "swing": decode_swing}


GZIP_HEADER = bytes.fromhex("1f8b08000000000004ff")  # the writer's fixed header


def gzip_member(body: bytes, level=1, header=GZIP_HEADER) -> bytes:
    c = zlib.compressobj(level, zlib.DEFLATED, -15)
    deflated = c.compress(body) + c.flush()
    return header + deflated + struct.pack("<II", zlib.crc32(body), len(body) & 0xFFFFFFFF)


def loaders():
    return {"item": quibrel.load_item_cf, "user": quibrel.load_user_cf, "swing": quibrel.load_swing}


def small(f, limit=2000):
    """Whether computing on a decoded record stays cheap (its counts bound allocations)."""
    return (
        f["n_users"] <= limit
        and f["n_items"] <= limit
        and sum(len(f[m][0]) + len(f[m][1]) for m in ("user_interactions", "item_interactions"))
        <= 20000
    )


def exercise(model, kind, f, key, rng):
    """Reads, and where cheap recomputes, a model whose record came from an untrusted file.
    Every call must end in a result or an allowed exception."""
    n_users, n_items = f["n_users"], f["n_items"]
    users = [int(rng.integers(-1, min(n_users, 50) + 2)) for _ in range(6)] + [0, 2**31 - 1]
    items = [int(rng.integers(-1, min(n_items, 50) + 2)) for _ in range(6)] + [0, 1]
    nonneg = [u if u >= 0 else 0 for u in users]
    if kind == "swing":
        call("num_swing_elements", key, model.num_swing_elements)
        call("predict", key, model.predict, nonneg, items)
        call("recommend", key, model.recommend, users, 5, True, False)
        call("recommend", key, model.recommend, nonneg, 3, False, True)
        if small(f):
            call("compute_swing", key, model.compute_swing, 1)
            call("recommend", key, model.recommend, nonneg, 4, True, False)
    else:
        call("num_sim_elements", key, model.num_sim_elements)
        if kind == "item":
            call("predict", key, model.predict, nonneg, items)
        else:
            call("predict", key, model.predict, users, [i if i >= 0 else 0 for i in items])
        call("recommend", key, model.recommend, users, 5, True, False)
        call("recommend", key, model.recommend, nonneg, 3, False, True)
        if small(f):
            empty = Matrix([], [0], [])
            call("update_similarities", key, model.update_similarities, empty, empty)
            call("compute_similarities", key, model.compute_similarities, True, 1)
            call("recommend", key, model.recommend, nonneg, 4, True, False)


def first_member(data: bytes):
    """The body of the first gzip member, or None when that member is damaged."""
    d = zlib.decompressobj(wbits=31)
    try:
        body = d.decompress(data) + d.flush()
    except zlib.error:
        return None
    return body if d.eof else None


def expected_record(data: bytes, kind: str):
    """What a loader of `kind` must return for a file: the decoded record, or None for OSError."""
    body = first_member(data)
    if body is None:
        return None
    try:
        return DECODE[kind](body)
    except (Truncated, UnicodeDecodeError, struct.error):
        return None
