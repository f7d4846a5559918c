"""The three loaders on mutated model files. A file must load into a model exactly when its
first gzip member is intact and its body decodes (checked against an independent decoder);
otherwise the load raises OSError. Every model that loads is then used."""

from __future__ import annotations

import pathlib
import struct
import tempfile

import numpy as np
import support
from hypothesis import given
from hypothesis import strategies as st

HERE = pathlib.Path(__file__).resolve().parent
SEEDS = sorted((HERE / "corpus").glob("*.gz"))
SCRATCH = tempfile.mkdtemp(prefix="quibrel-fuzz-")
EDGE_U64 = [0, 1, 2**31 - 1, 2**31, 2**32, 2**62, 2**63, 2**64 - 1, 0x0000000100000000]


first_member = support.first_member
expected_record = support.expected_record


@st.composite
def mutated_body(draw, body: bytes):
    """Structure-blind damage to a decompressed record: counts and ids overwritten with edge
    values at any offset, bit flips, cuts, insertions."""
    raw = bytearray(body)
    for _ in range(draw(st.integers(1, 4))):
        op = draw(st.sampled_from(["u64", "i32", "flip", "cut", "insert", "delete"]))
        if not raw:
            break
        at = draw(st.integers(0, len(raw) - 1))
        if op == "u64":
            raw[at : at + 8] = struct.pack("<Q", draw(st.sampled_from(EDGE_U64)))
        elif op == "i32":
            raw[at : at + 4] = struct.pack(
                "<i", draw(st.sampled_from([-1, -(2**31), 2**31 - 1, 7, 1000]))
            )
        elif op == "flip":
            raw[at] ^= 1 << draw(st.integers(0, 7))
        elif op == "cut":
            del raw[at:]
        elif op == "insert":
            raw[at:at] = draw(st.binary(min_size=1, max_size=12))
        else:
            del raw[at : at + draw(st.integers(1, 12))]
    return bytes(raw)


@st.composite
def mutated_file(draw, data: bytes):
    raw = bytearray(data)
    for _ in range(draw(st.integers(1, 3))):
        op = draw(st.sampled_from(["flip", "cut", "byte", "append", "prepend-member"]))
        if op == "flip" and raw:
            bit = draw(st.integers(0, len(raw) * 8 - 1))
            raw[bit // 8] ^= 1 << (bit % 8)
        elif op == "cut":
            del raw[draw(st.integers(0, len(raw))) :]
        elif op == "byte" and raw:
            raw[draw(st.integers(0, len(raw) - 1))] = draw(st.integers(0, 255))
        elif op == "append":
            raw += draw(st.binary(max_size=16))
        elif op == "prepend-member":
            raw[0:0] = support.gzip_member(draw(st.binary(max_size=64)))
    return bytes(raw)


IDS = st.one_of(st.integers(-2, 12), st.sampled_from([-(2**31), 2**31 - 1, 70000]))
SCORES = st.one_of(st.floats(-2, 2, width=32), st.sampled_from([float("nan"), float("inf")]))


@st.composite
def hostile_record(draw, kind):
    """A record that encodes correctly but whose fields disagree with each other: counts
    versus matrices, neighbour ids versus similarities, ids outside every range."""
    n_users = draw(st.one_of(st.integers(0, 12), st.sampled_from([2**31, 2**63, 2**64 - 1])))
    n_items = draw(st.one_of(st.integers(0, 12), st.sampled_from([2**31, 2**64 - 1])))
    rows_u, rows_i = draw(st.integers(0, 12)), draw(st.integers(0, 12))
    u = draw(support.csr_parts(rows_u, 12))[:3]
    i = draw(support.csr_parts(rows_i, 12))[:3]
    consumed = draw(st.lists(st.tuples(IDS, st.lists(IDS, max_size=4)), max_size=4))
    common = {
        "n_users": n_users,
        "n_items": n_items,
        "user_interactions": u,
        "item_interactions": i,
        "user_consumed": consumed,
        "default_pred": draw(SCORES),
    }
    if kind == "swing":
        scores = draw(
            st.lists(st.tuples(IDS, st.lists(st.tuples(IDS, SCORES), max_size=5)), max_size=6)
        )
        return support.encode_swing(
            {
                "top_k": draw(st.sampled_from([0, 1, 3, 20, 2**64 - 1])),
                "alpha": draw(SCORES),
                "max_cache_num": draw(st.sampled_from([0, 1, 100, 2**64 - 1])),
                "swing_scores": scores,
                **common,
            }
        )
    sims = draw(
        st.lists(
            st.tuples(IDS, st.lists(IDS, max_size=5), st.lists(SCORES, max_size=5)), max_size=6
        )
    )
    pairs = draw(st.lists(st.tuples(IDS, IDS, IDS, SCORES, st.integers(0, 2**64 - 1)), max_size=5))
    return support.encode_cf(
        {
            "task": draw(st.sampled_from([b"ranking", b"rating", b"other", b""])),
            "k_sim": draw(st.sampled_from([0, 1, 3, 20, 2**64 - 1])),
            "min_common": draw(st.sampled_from([0, 1, 2, 2**64 - 1])),
            "sum_squares": draw(st.lists(SCORES, max_size=14)),
            "pair_stats": pairs,
            "sim_mapping": sims,
            **common,
        }
    )


@st.composite
def sample(draw, kind):
    if draw(st.integers(0, 2)) == 0:
        return support.gzip_member(draw(hostile_record(kind))), "hostile record"
    seed = draw(st.sampled_from(SEEDS))
    data = seed.read_bytes()
    body = first_member(data)
    if body is not None and draw(st.booleans()):
        level = draw(st.sampled_from([0, 1, 6, 9]))
        return support.gzip_member(draw(mutated_body(body)), level=level), seed.stem
    return draw(mutated_file(data)), seed.stem


def run_one(kind, data, name, rng):
    path = pathlib.Path(SCRATCH, "sample.gz")
    path.write_bytes(data)
    expected = expected_record(data, kind)
    key = f"{kind}:{data.hex()}"
    result = support.call(f"load_{kind}", key, support.loaders()[kind], SCRATCH, "sample")
    if isinstance(result, OSError):
        assert expected is None, f"intact record from {name} refused: {result}"
        return
    assert expected is not None, f"damaged file from {name} gave a model"
    support.exercise(result, kind, expected, key, rng)


for _kind in ("item", "user", "swing"):
    support.ALLOWED.setdefault(f"load_{_kind}", (OSError,))


def make_test(kind):
    @support.fuzz_settings(60)
    @given(sample(kind), st.integers(0, 2**32 - 1))
    def test(capfd, s, seed):
        data, name = s
        run_one(kind, data, name, np.random.default_rng(seed))
        capfd.readouterr()  # the load lines

    test.__name__ = f"test_fuzz_load_{kind}"
    return test


test_fuzz_load_item = make_test("item")
test_fuzz_load_user = make_test("user")
test_fuzz_load_swing = make_test("swing")
