"""Reads the similarity state of an ItemCF/UserCF model back through its model file."""

from __future__ import annotations

import gzip
import struct

import numpy as np
import quibrel
import scipy.sparse as sp


class _Reader:
    def __init__(self, raw: bytes):
        self.raw = raw
        self.pos = 0

    def take(self, fmt: str):
        size = struct.calcsize("<" + fmt)
        out = struct.unpack_from("<" + fmt, self.raw, self.pos)
        self.pos += size
        return out

    def one(self, fmt: str):
        return self.take(fmt)[0]

    def array(self, dtype):
        count = self.one("Q")
        out = np.frombuffer(self.raw, dtype=dtype, count=count, offset=self.pos).copy()
        self.pos += count * np.dtype(dtype).itemsize
        return out


PAIR_DTYPE = np.dtype(
    [("key", "<i4"), ("x", "<i4"), ("y", "<i4"), ("dot", "<f4"), ("count", "<u8")]
)


def pairs_dict(pairs: np.ndarray) -> dict:
    """{(x, y): (dot, count)} of a small pair_stats array; a pair appears once."""
    out = {}
    for rec in pairs:
        key = (int(rec["x"]), int(rec["y"]))
        assert key not in out
        out[key] = (np.float32(rec["dot"]), int(rec["count"]))
    return out


def state(model, tmp_path, name="state") -> dict:
    """sum_squares, pair_stats (array sorted by x, y), sim_mapping {id: (ids, sims)}, matrices."""
    save = quibrel.save_item_cf if isinstance(model, quibrel.ItemCF) else quibrel.save_user_cf
    save(model, str(tmp_path), name)
    r = _Reader(gzip.decompress((tmp_path / f"{name}.gz").read_bytes()))
    r.take(f"{r.one('Q')}s")  # task
    r.take("QQQQ")
    out = {"sum_squares": r.array("<f4")}
    spans = {"pair_stats": r.pos}
    count = r.one("Q")
    pairs = np.frombuffer(r.raw, dtype=PAIR_DTYPE, count=count, offset=r.pos).copy()
    r.pos += count * PAIR_DTYPE.itemsize
    out["pair_stats"] = pairs[np.lexsort((pairs["y"], pairs["x"]))]
    spans["sim_mapping"] = r.pos
    sims = {}
    for _ in range(r.one("Q")):
        key = r.one("i")
        sims[key] = (r.array("<i4"), r.array("<f4"))
    out["sim_mapping"] = sims
    spans["end"] = r.pos
    out["raw"], out["spans"] = r.raw, spans
    for name_ in ("user_interactions", "item_interactions"):
        indices = r.array("<i4")
        indptr = r.array("<u8")
        data = r.array("<f4")
        out[name_] = (indices, indptr, data)
    return out


def with_state(model, tmp_path, pair_stats=None, sim_mapping=None):
    """A copy of the model, loaded from its file with the given records in place of its
    pair_stats [(x, y, dot, count)] and sim_mapping {id: (ids, sims)}."""
    s = state(model, tmp_path, "edit")
    raw, spans = s["raw"], s["spans"]
    pairs = raw[spans["pair_stats"] : spans["sim_mapping"]]
    if pair_stats is not None:
        pairs = struct.pack("<Q", len(pair_stats)) + b"".join(
            struct.pack("<iiifQ", 0, x, y, dot, count) for x, y, dot, count in pair_stats
        )
    sims = raw[spans["sim_mapping"] : spans["end"]]
    if sim_mapping is not None:
        sims = struct.pack("<Q", len(sim_mapping))
        for key, (ids, values) in sim_mapping.items():
            sims += struct.pack(f"<iQ{len(ids)}i", key, len(ids), *ids)
            sims += struct.pack(f"<Q{len(values)}f", len(values), *values)
    body = raw[: spans["pair_stats"]] + pairs + sims + raw[spans["end"] :]
    (tmp_path / "edited.gz").write_bytes(gzip.compress(body))
    is_item = isinstance(model, quibrel.ItemCF)
    load = quibrel.load_item_cf if is_item else quibrel.load_user_cf
    return load(str(tmp_path), "edited")


def canonical(sim_mapping: dict) -> dict:
    """Lists with ties put in ascending id order, so that lists equal up to the
    order of equal similarities compare equal; similarities as bit patterns."""
    out = {}
    for key, (ids, sims) in sim_mapping.items():
        order = np.lexsort((ids, -sims.astype(np.float64)))
        out[key] = (ids[order].tolist(), sims.view(np.uint32)[order].tolist())
    return out


def check_descending(sim_mapping: dict) -> None:
    """Descending similarities; equal ones (same bits) in ascending id order."""
    for ids, sims in sim_mapping.values():
        assert len(ids) == len(sims)
        assert np.all(sims[:-1] >= sims[1:])
        bits = sims.view(np.uint32)
        tied = bits[:-1] == bits[1:]
        assert np.all(ids[:-1][tied] < ids[1:][tied])


# --- the reference computation, in float32 with sequential sums ----------------

F32 = np.float32
PANIC = "PanicException"
OUT_OF_RANGE = "out of range integral type conversion attempted"


def make_model(kind: str, user_item, n_users=None, n_items=None, min_common=1):
    """A model over a users x items scipy matrix (stored entries are interactions)."""
    from conftest import both_orientations

    m = sp.csr_matrix(user_item, dtype=np.float32)
    ui, ii = both_orientations(m)
    cls = quibrel.ItemCF if kind == "item" else quibrel.UserCF
    return cls(
        "ranking",
        10,
        m.shape[0] if n_users is None else n_users,
        m.shape[1] if n_items is None else n_items,
        min_common,
        ui,
        ii,
        {},
        0.0,
    )


def cosine(dot, sx, sy):
    dot, sx, sy = F32(dot), F32(sx), F32(sy)
    if dot == 0 or sx == 0 or sy == 0:
        return F32(0.0)
    with np.errstate(all="ignore"):
        return F32(dot / (np.sqrt(sx) * np.sqrt(sy)))


def row_sum_squares(values) -> np.float32:
    s = F32(0.0)
    for v in np.asarray(values, dtype=np.float32):
        s = F32(s + F32(v * v))
    return s


def reference_compute(forward: sp.csr_matrix, n: int, min_common: int):
    """sum_squares, pairs {(x, y): (dot, count)} and lists {id: {neighbour: sim}}."""
    forward = sp.csr_matrix(forward, dtype=np.float32)
    forward.sort_indices()
    ss = np.array([row_sum_squares(forward[x].data) for x in range(n)], dtype=np.float32)
    dense = forward[:n].toarray().astype(np.float32)
    present = np.zeros(dense.shape, dtype=np.int64)
    rows, cols = _structure(forward[:n])
    present[rows, cols] = 1
    dots = np.zeros((n, n), dtype=np.float32)
    counts = np.zeros((n, n), dtype=np.int64)
    # Ascending column order: the order in which the products of a pair are added.
    for c in range(dense.shape[1]):
        dots += np.outer(dense[:, c], dense[:, c])
        counts += np.outer(present[:, c], present[:, c])
    pairs, lists = {}, {}
    for x in range(n):
        for y in range(x + 1, n):
            if counts[x, y] > 0:
                pairs[(x, y)] = (dots[x, y], int(counts[x, y]))
            if counts[x, y] >= min_common:
                s = cosine(dots[x, y], ss[x], ss[y])
                lists.setdefault(x, {})[y] = s
                lists.setdefault(y, {})[x] = s
    return ss, pairs, lists


def _structure(m: sp.csr_matrix):
    rows = np.repeat(np.arange(m.shape[0]), np.diff(m.indptr))
    return rows, m.indices


def reference_update(ss, pairs, lists, new_other: sp.csr_matrix, new_entity, n, min_common):
    """The incremental update applied to copies of a decoded state."""
    ss = list(np.asarray(ss, dtype=np.float32)) + [F32(0.0)] * max(0, n - len(ss))
    new_entity = sp.csr_matrix(new_entity, dtype=np.float32)
    for i in range(min(len(ss), new_entity.shape[0])):
        row = new_entity[i]
        if row.nnz:
            ss[i] = F32(ss[i] + row_sum_squares(row.data))
    pairs, lists = dict(pairs), {k: dict(v) for k, v in lists.items()}
    inc = {}
    new_other = sp.csr_matrix(new_other, dtype=np.float32)
    new_other.sort_indices()
    for u in range(new_other.shape[0]):
        cols = new_other.indices[new_other.indptr[u] : new_other.indptr[u + 1]]
        vals = new_other.data[new_other.indptr[u] : new_other.indptr[u + 1]]
        for j in range(len(cols)):
            for k in range(j + 1, len(cols)):
                d, c = inc.get((cols[j], cols[k]), (F32(0.0), 0))
                inc[(int(cols[j]), int(cols[k]))] = (F32(d + F32(vals[j] * vals[k])), c + 1)
    for (x, y), (d, c) in sorted(inc.items()):
        if (x, y) in pairs:
            old_d, old_c = pairs[(x, y)]
            d, c = F32(d + old_d), old_c + c
        pairs[(x, y)] = (d, c)
        if c >= min_common:
            s = cosine(d, ss[x], ss[y])
            lists.setdefault(x, {})[y] = s
            lists.setdefault(y, {})[x] = s
    return np.array(ss, dtype=np.float32), pairs, lists


def lists_of(sim_mapping: dict) -> dict:
    """{id: {neighbour: similarity}} of decoded lists, checking their order."""
    check_descending(sim_mapping)
    out = {}
    for key, (ids, sims) in sim_mapping.items():
        assert len(set(ids.tolist())) == len(ids)
        out[key] = dict(zip(ids.tolist(), sims.tolist(), strict=True))
    return out


def same_lists(actual: dict, expected: dict) -> bool:
    """Bit-exact comparison of {id: {neighbour: sim}} maps (NaN equal to NaN)."""

    def bits(lists):
        return {
            k: {i: np.float32(s).view(np.uint32).item() for i, s in v.items()}
            for k, v in lists.items()
        }

    return bits(actual) == bits(expected)


def same_pairs(actual: np.ndarray, expected: dict) -> bool:
    got = {k: (F32(d).view(np.uint32).item(), c) for k, (d, c) in pairs_dict(actual).items()}
    want = {k: (F32(d).view(np.uint32).item(), c) for k, (d, c) in expected.items()}
    return got == want


def raised_panic(info, pattern: str | None = None) -> bool:
    import re

    if type(info.value).__name__ != PANIC:
        return False
    return pattern is None or re.fullmatch(pattern, str(info.value)) is not None
