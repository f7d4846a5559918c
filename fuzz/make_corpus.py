"""Writes the seed corpus of model files into fuzz/corpus/.

Run once after changing the file format (PYTHONPATH must reach the built module):

    PYTHONPATH=build/rel python3 fuzz/make_corpus.py

Seeds: valid models of each kind saved by the library, hand-encoded records that are valid
files but hostile records (broken matrices, lists whose parts disagree, counts and ids at the
edges), and damaged files (truncations, bit flips, inflated counts, several gzip members,
optional header fields, trailing garbage).
"""

from __future__ import annotations

import pathlib
import random
import shutil
import struct
import sys
import tempfile

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import quibrel  # noqa: E402
from support import Matrix, encode_cf, encode_swing, gzip_member  # noqa: E402

CORPUS = HERE / "corpus"


def interactions(n_users, n_items, density, seed):
    rng = np.random.default_rng(seed)
    mask = rng.random((n_users, n_items)) < density
    values = rng.integers(1, 11, size=(n_users, n_items)).astype(np.float32) / 2

    def csr(mat, m):
        indices, indptr, data = [], [0], []
        for r in range(mat.shape[0]):
            cols = np.nonzero(mat[r])[0]
            indices.extend(int(c) for c in cols)
            data.extend(float(v) for v in m[r, cols])
            indptr.append(len(indices))
        return Matrix(
            np.array(indices, np.int32), np.array(indptr, np.int64), np.array(data, np.float32)
        )

    users, items = np.nonzero(mask)
    consumed, _ = quibrel.build_consumed_unique(users.tolist(), items.tolist())
    return csr(mask, values), csr(mask.T, values.T), consumed


def saved_models():
    """Valid files written by the library: fresh and computed models of each kind."""
    out = {}
    u, i, consumed = interactions(12, 9, 0.3, seed=3)
    with tempfile.TemporaryDirectory() as tmp:
        for kind, cls, save in (
            ("item", quibrel.ItemCF, quibrel.save_item_cf),
            ("user", quibrel.UserCF, quibrel.save_user_cf),
        ):
            fresh = cls("ranking", 5, 12, 9, 1, u, i, consumed, 0.0)
            save(fresh, tmp, "m")
            out[f"{kind}-fresh"] = pathlib.Path(tmp, "m.gz").read_bytes()
            computed = cls("rating", 5, 12, 9, 1, u, i, consumed, 0.5)
            computed.compute_similarities(False, 1)
            save(computed, tmp, "m")
            out[f"{kind}-computed"] = pathlib.Path(tmp, "m.gz").read_bytes()
        swing = quibrel.Swing(5, 1.0, 100, 12, 9, u, i, consumed, 0.0)
        quibrel.save_swing(swing, tmp, "m")
        out["swing-fresh"] = pathlib.Path(tmp, "m.gz").read_bytes()
        swing.compute_swing(1)
        quibrel.save_swing(swing, tmp, "m")
        out["swing-computed"] = pathlib.Path(tmp, "m.gz").read_bytes()
    return out


GOOD_CSR_U = ([0, 1, 1, 2], [0, 2, 4], [1.0, 2.0, 1.0, 3.0])
GOOD_CSR_I = ([0, 0, 1, 1], [0, 1, 3, 4], [1.0, 2.0, 1.0, 3.0])


def cf_fields(**changes):
    f = {
        "task": b"ranking",
        "k_sim": 5,
        "n_users": 2,
        "n_items": 3,
        "min_common": 1,
        "sum_squares": [1.0, 5.0, 9.0],
        "pair_stats": [(1, 0, 1, 2.0, 1), (5, 1, 2, 3.0, 1)],
        "sim_mapping": [(0, [1], [0.5]), (1, [2, 0], [0.7, 0.5]), (2, [1], [0.7])],
        "user_interactions": GOOD_CSR_U,
        "item_interactions": GOOD_CSR_I,
        "user_consumed": [(0, [0, 1]), (1, [1, 2])],
        "default_pred": 0.0,
    }
    f.update(changes)
    return f


def swing_fields(**changes):
    f = {
        "top_k": 5,
        "alpha": 1.0,
        "max_cache_num": 100,
        "n_users": 2,
        "n_items": 3,
        "swing_scores": [(0, [(1, 0.5)]), (1, [(2, 0.7), (0, 0.5)]), (2, [(1, 0.7)])],
        "user_interactions": GOOD_CSR_U,
        "item_interactions": GOOD_CSR_I,
        "user_consumed": [(0, [0, 1]), (1, [1, 2])],
        "default_pred": 0.0,
    }
    f.update(changes)
    return f


BROKEN_CSR = {
    "decreasing": ([0, 1, 1, 2], [0, 3, 1, 4], [1.0, 2.0, 1.0, 3.0]),
    "overrun": ([0, 1], [0, 1, 900], [1.0, 2.0]),
    "huge-offset": ([0, 1], [0, 2**63, 2**64 - 1], [1.0, 2.0]),
    "negative-ids": ([-1, 1, -(2**31), 2], [0, 2, 4], [1.0, 2.0, 1.0, 3.0]),
    "huge-ids": ([2**31 - 1, 1, 1, 70000], [0, 2, 4], [1.0, 2.0, 1.0, 3.0]),
    "unsorted": ([2, 0, 1, 1], [0, 2, 4], [1.0, 2.0, 1.0, 3.0]),
    "nan-inf": ([0, 1, 1, 2], [0, 2, 4], [float("nan"), float("inf"), -float("inf"), 1.0]),
    "short-data": ([0, 1, 1, 2], [0, 2, 4], [1.0]),
    "short-indices": ([0], [0, 2, 4], [1.0, 2.0, 1.0, 3.0]),
    "no-offsets": ([0, 1], [], [1.0, 2.0]),
    "no-leading-zero": ([0, 1, 1, 2], [2, 4], [1.0, 2.0, 1.0, 3.0]),
}


def hostile_records():
    """Valid files whose records break the invariants the computations rely on."""
    out = {}
    for name, csr in BROKEN_CSR.items():
        for side in ("user_interactions", "item_interactions"):
            tag = side.split("_")[0]
            out[f"item-{tag}-{name}"] = encode_cf(cf_fields(**{side: csr}))
            out[f"user-{tag}-{name}"] = encode_cf(cf_fields(**{side: csr}))
            out[f"swing-{tag}-{name}"] = encode_swing(swing_fields(**{side: csr}))
    out["item-ids-longer-than-sims"] = encode_cf(cf_fields(sim_mapping=[(0, [1, 2, 2], [0.5])]))
    out["user-ids-longer-than-sims"] = encode_cf(cf_fields(sim_mapping=[(0, [1, 1, 1], [])]))
    out["item-neighbour-ids-out-of-range"] = encode_cf(
        cf_fields(sim_mapping=[(0, [-5, 2**31 - 1, 3], [0.9, 0.8, 0.7])])
    )
    out["user-neighbour-ids-out-of-range"] = encode_cf(
        cf_fields(sim_mapping=[(0, [-5, 2**31 - 1, 3], [0.9, 0.8, 0.7]), (-7, [0], [1.0])])
    )
    out["item-nan-similarities"] = encode_cf(
        cf_fields(sim_mapping=[(0, [1, 2], [float("nan"), 0.5])])
    )
    out["item-pair-stats-out-of-range"] = encode_cf(
        cf_fields(pair_stats=[(0, -1, 2**31 - 1, 1.0, 2**64 - 1), (7, 5, 5, 0.0, 0)])
    )
    out["user-pair-stats-out-of-range"] = encode_cf(
        cf_fields(pair_stats=[(0, 3, -9, float("nan"), 1)])
    )
    out["item-short-sum-squares"] = encode_cf(cf_fields(sum_squares=[]))
    out["item-counts-past-matrices"] = encode_cf(cf_fields(n_users=1000, n_items=1000))
    out["user-counts-past-matrices"] = encode_cf(cf_fields(n_users=1000, n_items=7))
    out["item-huge-counts"] = encode_cf(
        cf_fields(n_users=2**64 - 1, n_items=2**63, k_sim=2**64 - 1)
    )
    out["item-unknown-task"] = encode_cf(cf_fields(task=b"r\xc3\xa9"))
    out["item-invalid-utf8-task"] = encode_cf(cf_fields(task=b"\xff\xfe"))
    out["swing-scores-out-of-range"] = encode_swing(
        swing_fields(swing_scores=[(0, [(-1, 0.5), (2**31 - 1, 0.2)]), (-3, [(0, 1.0)])])
    )
    out["swing-nan-scores"] = encode_swing(
        swing_fields(swing_scores=[(0, [(1, float("nan")), (2, 0.5)])])
    )
    out["swing-huge-counts"] = encode_swing(swing_fields(n_users=2**64 - 1, top_k=2**64 - 1))
    out["swing-consumed-hostile"] = encode_swing(
        swing_fields(user_consumed=[(0, [-1, 2**31 - 1]), (0, [5]), (-(2**31), [])])
    )
    return {k: gzip_member(v) for k, v in out.items()}


def damaged_files(valid, rng):
    """Byte-level damage to valid files."""
    out = {}
    for name, data in valid.items():
        kind = name.split("-")[0]
        for cut in sorted({1, 9, 10, 11, len(data) // 2, len(data) - 8, len(data) - 1}):
            out[f"{kind}-trunc{cut}-{name}"] = data[:cut]
        for k in range(4):
            flipped = bytearray(data)
            bit = rng.randrange(len(flipped) * 8)
            flipped[bit // 8] ^= 1 << (bit % 8)
            out[f"{kind}-flip{k}-{name}"] = bytes(flipped)
        out[f"{kind}-twomembers-{name}"] = data + data
        out[f"{kind}-garbage-after-{name}"] = data + b"\x00garbage"
        out[f"{kind}-empty-member-first-{name}"] = gzip_member(b"") + data
    # Optional header fields the writer never produces: extra, name, comment, header CRC.
    body = hostile_records_plain_item()
    header = bytes.fromhex("1f8b08") + bytes([0x04 | 0x08 | 0x10]) + bytes(6)
    extra = struct.pack("<H", 6) + b"ab\x02\x00xy"
    c = gzip_member(body)
    out["item-header-fields"] = header + extra + b"name\x00comment\x00" + c[10:]
    out["item-header-extra-too-long"] = header + struct.pack("<H", 65535) + b"x" * 10
    out["item-empty-file"] = b""
    out["item-not-gzip"] = b"PK\x03\x04 not a gzip file"
    # Counts that claim more than the body holds, at every count of a small record.
    raw = hostile_records_plain_item()
    for offset in (0, 47, 67):  # the task's length, sum_squares, pair_stats
        inflated = bytearray(raw)
        inflated[offset : offset + 8] = struct.pack("<Q", 2**62 + 7)
        out[f"item-huge-count-at-{offset}"] = gzip_member(bytes(inflated))
    sw = encode_swing(swing_fields())
    for offset in (12, 36, 48):  # max_cache_num, swing_scores, its first list
        inflated = bytearray(sw)
        inflated[offset : offset + 8] = struct.pack("<Q", 2**61 + 3)
        out[f"swing-huge-count-at-{offset}"] = gzip_member(bytes(inflated))
    return out


def hostile_records_plain_item():
    return encode_cf(cf_fields())


def main():
    if CORPUS.exists():
        shutil.rmtree(CORPUS)
    CORPUS.mkdir()
    rng = random.Random(20261207)
    valid = saved_models()
    files = dict(valid)
    files.update(hostile_records())
    files.update(damaged_files(valid, rng))
    for name, data in sorted(files.items()):
        (CORPUS / f"{name}.gz").write_bytes(data)
    print(f"{len(files)} files in {CORPUS}")


if __name__ == "__main__":
    main()
