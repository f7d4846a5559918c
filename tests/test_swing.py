"""Swing scores: compute_swing, update_swing and num_swing_elements.

Lists are read back exactly from a saved model file; an f32 oracle written in
the same accumulation order checks the scores bit for bit.
"""

from __future__ import annotations

import functools
import gzip
import io
import os
import pathlib
import struct
import subprocess
import sys

import numpy as np
import pytest
import quibrel
import scipy.sparse as sp
from conftest import Interactions, both_orientations, from_csr, from_rows, random_interactions

F32 = np.float32
UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"
NOT_COMPUTED = "call `compute_swing` method before calling `num_swing_elements`"


def oob(length, index):
    return f"index out of bounds: the len is {length} but the index is {index}"


# --- model state through the model file ---------------------------------------


def _read(f, fmt):
    return struct.unpack("<" + fmt, f.read(struct.calcsize("<" + fmt)))


def _vec(f, fmt):
    (n,) = _read(f, "Q")
    return list(_read(f, f"{n}{fmt}"))


def state(model, tmp_path):
    """(swing_scores, user matrix, item matrix) of a model, read from its file."""
    quibrel.save_swing(model, str(tmp_path), "state")
    f = io.BytesIO(gzip.decompress((tmp_path / "state.gz").read_bytes()))
    _read(f, "QfQQQ")
    scores = {}
    for _ in range(_read(f, "Q")[0]):
        (item,) = _read(f, "i")
        (n,) = _read(f, "Q")
        flat = _read(f, "if" * n)
        scores[item] = [(flat[2 * p], F32(flat[2 * p + 1])) for p in range(n)]
    matrices = [tuple(_vec(f, c) for c in "iQf") for _ in range(2)]
    return scores, matrices[0], matrices[1]


def write_model(tmp_path, lists, users: Interactions, items: Interactions, n_users, n_items):
    """A Swing model loaded from a file holding hand-made lists."""

    def vec(fmt, v):
        return struct.pack(f"<Q{len(v)}{fmt}", len(v), *v)

    def csr(m):
        return vec("i", m.sparse_indices) + vec("Q", m.sparse_indptr) + vec("f", m.sparse_data)

    body = struct.pack("<QfQQQQ", 100, 1.0, 1000, n_users, n_items, len(lists))
    for item, pairs in lists.items():
        body += struct.pack("<iQ", item, len(pairs))
        body += b"".join(struct.pack("<if", j, s) for j, s in pairs)
    body += csr(users) + csr(items) + struct.pack("<Qf", 0, 0.0)
    (tmp_path / "hand.gz").write_bytes(gzip.compress(body))
    return quibrel.load_swing(str(tmp_path), "hand")


def swing(users, items, n_users, n_items, alpha=1.0, cache=1000):
    return quibrel.Swing(100, alpha, cache, n_users, n_items, users, items, {}, 0.0)


def computed(user_item, alpha=1.0, cache=1000, threads=2):
    users, items = both_orientations(user_item)
    m = swing(users, items, *user_item.shape, alpha=alpha, cache=cache)
    m.compute_swing(threads)
    return m


def panic(call):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "PanicException"
    return info.value.args[0]


# --- the oracle ----------------------------------------------------------------


def _row(m: Interactions, r):
    indptr = list(m.sparse_indptr)
    if r >= len(indptr) - 1 or indptr[r] >= indptr[r + 1]:
        return []
    readable = min(len(m.sparse_indices), len(m.sparse_data))
    if indptr[r + 1] > readable:  # the first position that cannot be read
        bad = max(indptr[r], readable)
        raise IndexError(
            oob(len(m.sparse_indices) if bad >= len(m.sparse_indices) else len(m.sparse_data), bad)
        )
    return [int(c) % 2**64 for c in m.sparse_indices[indptr[r] : indptr[r + 1]]]


class Failed(Exception):
    """The run fails; args[0] holds every message it may end with (one per failing item)."""


def oracle(users: Interactions, items: Interactions, n_users, n_items, alpha, previous=None):
    """Swing lists step by step, in f32, in the defined accumulation order."""
    previous = previous or {}
    alpha = F32(alpha)
    indptr = list(users.sparse_indptr)
    if n_users and len(indptr) <= n_users:
        raise Failed({oob(len(indptr), len(indptr))})
    with np.errstate(divide="ignore", invalid="ignore"):
        w = [F32(1) / np.sqrt(F32(indptr[u + 1] - indptr[u])) for u in range(n_users)]
    out, failures = {}, set()
    for i in range(n_items):
        try:
            row = _row(items, i)
            if not row:
                if previous.get(i):
                    out[i] = previous[i]
                continue
            acc = {}
            for j, s in previous.get(i, []):
                if j % 2**64 >= n_items:
                    raise IndexError(oob(n_items, j % 2**64))
                acc[j] = F32(s)
            for a, u in enumerate(row):
                for v in row[a + 1 :]:
                    ru, rv, common, p, q = _row(users, u), _row(users, v), [], 0, 0
                    while p < len(ru) and q < len(rv):  # the walk, as unsigned ids
                        if ru[p] == rv[q]:
                            common.append(ru[p])
                            p, q = p + 1, q + 1
                        elif ru[p] > rv[q]:
                            q += 1
                        else:
                            p += 1
                    for x in (u, v):
                        if x >= n_users:
                            raise IndexError(oob(n_users, x))
                    if not common:
                        continue
                    with np.errstate(divide="ignore", invalid="ignore"):
                        c = (F32(1) / (F32(len(common) - 1) + alpha)) * (w[u] * w[v])
                    for j in common:
                        if j != i:
                            if j >= n_items:
                                raise IndexError(oob(n_items, j))
                            acc[j] = acc.get(j, F32(0)) + c
            pairs = [(j, s) for j, s in sorted(acc.items()) if s != 0]
            if len(pairs) >= 2 and any(np.isnan(s) for _, s in pairs):
                raise IndexError(UNWRAP_NONE)
            if pairs:
                out[i] = sorted(pairs, key=lambda p: -p[1])  # stable: ties keep ascending ids
        except IndexError as e:
            failures.add(e.args[0])
    if failures:
        raise Failed(failures)
    return out


def assert_same_lists(got, expected):
    assert got.keys() == expected.keys()
    for item, pairs in expected.items():
        bits = [(j, s.tobytes()) for j, s in got[item]]
        if len(pairs) <= 20:  # short lists: exact order, ties by ascending id
            assert bits == [(j, F32(s).tobytes()) for j, s in pairs], item
        else:  # long lists: any order among equal scores
            assert sorted(bits) == sorted((j, F32(s).tobytes()) for j, s in pairs), item
            assert all(a[1] >= b[1] for a, b in zip(got[item], got[item][1:], strict=False)), item


# --- worked cases --------------------------------------------------------------


def test_two_users_sharing_two_items(tmp_path):
    m = computed(sp.csr_matrix(np.ones((2, 2))), alpha=0.0)
    w = F32(1) / np.sqrt(F32(2))
    assert state(m, tmp_path)[0] == {0: [(1, w * w)], 1: [(0, w * w)]}
    assert m.num_swing_elements() == 2


def test_pair_sharing_only_the_item_contributes_nothing():
    m = computed(sp.csr_matrix(np.array([[1, 1, 0], [1, 0, 1]])), alpha=0.0)
    with pytest.raises(RuntimeError, match=NOT_COMPUTED):
        m.num_swing_elements()


def test_zero_denominator_gives_infinity(tmp_path):
    m = computed(sp.csr_matrix(np.ones((2, 2))), alpha=-1.0)
    assert state(m, tmp_path)[0] == {0: [(1, F32(np.inf))], 1: [(0, F32(np.inf))]}


@pytest.mark.parametrize("n_items, fails", [(2, False), (3, True)])
def test_nan_alpha_fails_only_on_lists_of_two_or_more(tmp_path, n_items, fails):
    users, items = both_orientations(sp.csr_matrix(np.ones((2, n_items))))
    m = swing(users, items, 2, n_items, alpha=float("nan"))
    if fails:
        assert panic(lambda: m.compute_swing(1)) == UNWRAP_NONE
        with pytest.raises(RuntimeError, match=NOT_COMPUTED):
            m.num_swing_elements()
    else:
        m.compute_swing(1)
        scores = state(m, tmp_path)[0]
        assert [j for j, _ in scores[0]] == [1] and np.isnan(scores[0][0][1])


def test_short_lists_break_ties_by_ascending_id(tmp_path):
    # Item 0: items 3 and 4 get one more pair than items 1 and 2.
    rows = [[0, 1, 2, 3, 4], [0, 1, 2, 3, 4], [0, 3, 4]]
    dense = np.zeros((3, 5))
    for u, r in enumerate(rows):
        dense[u, r] = 1
    got = state(computed(sp.csr_matrix(dense)), tmp_path)[0]
    assert [j for j, _ in got[0]] == [3, 4, 1, 2]
    assert got[0][0][1] == got[0][1][1] > got[0][2][1] == got[0][3][1]


def test_interaction_values_and_stored_zeros_do_not_matter(tmp_path):
    dense = random_interactions(12, 9, 0.5, seed=3)
    zeros = dense.copy()
    zeros.data[::3] = 0.0  # still stored entries
    ones = dense.copy()
    ones.data[:] = 1.0
    lists = [state(computed(m), tmp_path)[0] for m in (dense, zeros, ones)]
    assert lists[0] == lists[1] == lists[2]


# --- the oracle on random data -------------------------------------------------


# Caches: none; too small for every pair (lists kept as pairs are met); room
# for every pair (lists built before the items).
@pytest.mark.parametrize("cache", [0, 50, 10**9])
@pytest.mark.parametrize("seed, alpha", [(0, 1.0), (1, 0.5), (2, 0.0), (3, 5.0)])
def test_matches_oracle_on_random_data(tmp_path, seed, alpha, cache):
    user_item = random_interactions(40, 30, 0.25, seed=seed)
    users, items = both_orientations(user_item)
    m = swing(users, items, 40, 30, alpha=alpha, cache=cache)
    m.compute_swing(2)
    assert_same_lists(state(m, tmp_path)[0], oracle(users, items, 40, 30, alpha))


def _malformed(rng, rows, columns):
    """Rows with out-of-range, negative or repeated ids, unsorted, sometimes overrunning."""
    indices, indptr = [], [0]
    for _ in range(rows):
        row = [int(rng.integers(-1, columns + 2)) for _ in range(rng.integers(0, 6))]
        if rng.random() < 0.6:
            row = sorted(set(row))
        indices += row
        indptr.append(len(indices))
    if rng.random() < 0.1:
        indptr[-1] += 2  # the last row runs past the stored entries
    return Interactions(indices, indptr, [1.0] * len(indices))


@pytest.mark.parametrize("seed", range(6))
def test_malformed_input_fails_as_defined_or_matches_oracle(tmp_path, seed):
    rng = np.random.default_rng(seed)
    for _ in range(40):
        n_users, n_items = int(rng.integers(0, 6)), int(rng.integers(0, 6))
        users = _malformed(rng, max(n_users + int(rng.integers(-1, 2)), 0), n_items)
        items = _malformed(rng, max(n_items + int(rng.integers(-1, 2)), 0), n_users)
        alpha = float(rng.choice([1.0, 0.0, -1.0, np.nan]))
        m = swing(users, items, n_users, n_items, alpha=alpha, cache=int(rng.choice([0, 2, 99])))
        try:
            expected = oracle(users, items, n_users, n_items, alpha)
        except Failed as failed:
            possible = failed.args[0]
        else:
            m.compute_swing(2)
            assert_same_lists(state(m, tmp_path)[0], expected)
            continue
        assert panic(functools.partial(m.compute_swing, 2)) in possible


@pytest.mark.parametrize("cache", [0, 2, 10**9])
def test_item_row_repeating_a_user_matches_oracle(tmp_path, cache):
    # Item 1's row holds user 0 twice: the pair of user 0 with itself shares
    # user 0's whole row, whichever way the common lists are found.
    users = Interactions([0, 1, 2, 0, 1, 1, 2], [0, 3, 5, 7], [1.0] * 7)
    items = Interactions([0, 1, 0, 0, 1, 2, 0, 2], [0, 2, 6, 8], [1.0] * 8)
    m = swing(users, items, 3, 3, cache=cache)
    m.compute_swing(1)
    assert_same_lists(state(m, tmp_path)[0], oracle(users, items, 3, 3, 1.0))


@pytest.mark.parametrize("cache", [0, 7, 10**6])
def test_item_ids_beyond_16_bits_give_the_same_lists(tmp_path, cache):
    # The same interactions with item ids spread past 65535 (an order-keeping
    # map, so ties still fall in the same order): every score keeps its bits.
    narrow = random_interactions(40, 30, 0.3, seed=11)
    spread = 2300  # id 29 -> 66700
    wide = sp.csr_matrix(
        (narrow.data, narrow.indices * spread, narrow.indptr), shape=(40, 29 * spread + 1)
    )
    expected = state(computed(narrow, cache=cache), tmp_path)[0]
    got = state(computed(wide, cache=cache), tmp_path)[0]
    assert got == {i * spread: [(j * spread, s) for j, s in pairs] for i, pairs in expected.items()}
    assert max(got) > 65535


@pytest.mark.parametrize("cache", [0, 20, 10**9])
def test_matches_oracle_when_matrices_disagree(tmp_path, cache):
    # The item matrix is not the transpose of the user matrix, so common lists
    # need not hold the item itself, and some pairs share nothing; unsorted
    # user rows go through the walk.
    users = from_csr(random_interactions(25, 20, 0.3, seed=5))
    items = from_csr(random_interactions(20, 25, 0.3, seed=6))
    users.sparse_indices[: users.sparse_indptr[1]] = users.sparse_indices[: users.sparse_indptr[1]][
        ::-1
    ]
    m = swing(users, items, 25, 20, cache=cache)
    m.compute_swing(2)
    assert_same_lists(state(m, tmp_path)[0], oracle(users, items, 25, 20, 1.0))


# --- independence of threads and cache -----------------------------------------

_DIGEST = """
import hashlib, sys
import numpy as np, scipy.sparse as sp, quibrel
sys.path.insert(0, {tests!r})
from conftest import both_orientations
data = np.load({path!r})
m = sp.csr_matrix((data["data"], data["indices"], data["indptr"]), shape=tuple(data["shape"]))
users, items = both_orientations(m)
for cache in {caches!r}:
    model = quibrel.Swing(10, 1.0, cache, m.shape[0], m.shape[1], users, items, {{}}, 0.0)
    model.compute_swing({threads})
    quibrel.save_swing(model, {tmp!r}, "digest")
    import gzip
    body = gzip.open({tmp!r} + "/digest.gz").read()
    print(hashlib.sha256(body[:12] + body[20:]).hexdigest())  # all but max_cache_num
"""


def test_same_lists_for_any_thread_count_and_cache_size(tmp_path, movielens):
    # The pool size is fixed by the first loop of a process: one process per count.
    ratings = movielens[:300]
    path = tmp_path / "ml.npz"
    np.savez(
        path,
        data=ratings.data,
        indices=ratings.indices,
        indptr=ratings.indptr,
        shape=np.array(ratings.shape),
    )
    tests = str(pathlib.Path(__file__).parent)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    digests = set()
    for threads, caches in ((1, [0, 2000, 10**12]), (2, [2000]), (3, [10**12])):
        code = _DIGEST.format(
            tests=tests, path=str(path), caches=caches, threads=threads, tmp=str(tmp_path)
        )
        out = subprocess.run(
            [sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True
        )
        digests.update(line for line in out.stdout.split() if len(line) == 64)
    assert len(digests) == 1


# --- update_swing --------------------------------------------------------------


def batches(seed):
    """A computed model and a sparse second batch that leaves some items alone."""
    first = random_interactions(30, 20, 0.3, seed=seed)
    second = random_interactions(30, 20, 0.08, seed=seed + 100).tolil()
    second[:, :4] = 0  # items 0-3 get nothing new
    return computed(first), first, sp.csr_matrix(second)


def merged(old, new):
    out = old.tolil()
    for u, i in zip(*new.nonzero(), strict=True):
        out[u, i] = new[u, i]
    return sp.csr_matrix(out)


def csr_of(matrix_state, shape):
    indices, indptr, data = matrix_state
    return sp.csr_matrix((data, indices, indptr), shape=shape)


@pytest.mark.parametrize("seed", [0, 1])
def test_update_adds_new_pairs_on_top_of_stored_lists(tmp_path, seed):
    m, first, second = batches(seed)
    before = state(m, tmp_path)[0]
    users, items = both_orientations(second)
    m.update_swing(2, users, items)
    scores, user_m, item_m = state(m, tmp_path)
    assert_same_lists(scores, oracle(users, items, 30, 20, 1.0, previous=before))
    assert all(scores[i] == before[i] for i in range(4))  # carried as they were
    assert (csr_of(user_m, (30, 20)) != merged(first, second)).nnz == 0
    assert (csr_of(item_m, (20, 30)) != merged(first.T, second.T)).nnz == 0


def test_update_resorts_an_item_with_one_new_user(tmp_path):
    # Item 0 also stores id 3 twice: seeding assigns, so the later score stands.
    lists = {0: [(1, 0.25), (3, 0.125), (2, 0.75), (3, 0.5)], 1: [(0, 0.1), (2, 0.9)]}
    m = write_model(tmp_path, lists, from_rows([{}] * 2), from_rows([{}] * 4), 2, 4)
    m.update_swing(1, from_rows([{0: 1.0}, {}]), from_rows([{0: 1.0}]))
    scores = state(m, tmp_path)[0]
    assert scores[0] == [(2, F32(0.75)), (3, F32(0.5)), (1, F32(0.25))]
    assert scores[1] == [(0, F32(0.1)), (2, F32(0.9))]  # no new users: not re-sorted


def test_update_without_compute_equals_compute_on_the_batch(tmp_path):
    batch = random_interactions(20, 15, 0.3, seed=9)
    empty = both_orientations(sp.csr_matrix((20, 15), dtype=np.float32))
    m = swing(*empty, 20, 15)
    m.update_swing(2, *both_orientations(batch))
    assert state(m, tmp_path)[0] == state(computed(batch), tmp_path)[0]


@pytest.mark.parametrize("stage", ["pass", "user merge", "item merge"])
def test_update_failure_leaves_later_stages_undone(tmp_path, stage):
    m, first, second = batches(2)
    before = state(m, tmp_path)
    users, items = both_orientations(second)
    if stage == "pass":  # one row short of n_users
        users = Interactions(users.sparse_indices, users.sparse_indptr[:-1], users.sparse_data)
        message = oob(30, 30)
    elif stage == "user merge":  # an extra row, beyond n_users, with an entry
        users = Interactions(
            list(users.sparse_indices) + [0],
            list(users.sparse_indptr) + [users.sparse_indptr[-1] + 1],
            list(users.sparse_data) + [1.0],
        )
        message = oob(30, 30)
    else:
        items = Interactions(
            list(items.sparse_indices) + [0],
            list(items.sparse_indptr) + [items.sparse_indptr[-1] + 1],
            list(items.sparse_data) + [1.0],
        )
        message = oob(20, 20)
    assert panic(lambda: m.update_swing(2, users, items)) == message
    scores, user_m, item_m = state(m, tmp_path)
    if stage == "pass":
        assert scores == before[0]
    else:
        assert_same_lists(scores, oracle(users, items, 30, 20, 1.0, previous=before[0]))
    if stage == "item merge":
        assert (csr_of(user_m, (30, 20)) != merged(first, second)).nnz == 0
    else:
        assert user_m == before[1]
    assert item_m == before[2]


# --- failures ------------------------------------------------------------------

_PAIR = {0: 1.0, 1: 1.0}


@pytest.mark.parametrize(
    "user_rows, item_rows, n_users, n_items, message",
    [
        ([_PAIR] * 2, [{0: 1.0, 1: 1.0}], 4, 2, oob(3, 3)),  # user matrix has 2 rows, not 4
        ([_PAIR] * 3, [{0: 1.0, 7: 1.0}], 3, 2, oob(3, 7)),  # unknown user in a pair
        ([_PAIR] * 3, [{0: 1.0, -1: 1.0}], 3, 2, oob(3, 2**64 - 1)),  # negative user id
        ([{0: 1.0, 9: 1.0}] * 2, [{0: 1.0, 1: 1.0}], 2, 5, oob(5, 9)),  # common item too big
        ([{0: 1.0, -2: 1.0}] * 2, [{0: 1.0, 1: 1.0}], 2, 5, oob(5, 2**64 - 2)),  # negative item
    ],
)
def test_compute_failures(tmp_path, user_rows, item_rows, n_users, n_items, message):
    m = swing(from_rows(user_rows), from_rows(item_rows), n_users, n_items)
    assert panic(lambda: m.compute_swing(2)) == message
    with pytest.raises(RuntimeError, match=NOT_COMPUTED):
        m.num_swing_elements()


def test_failed_compute_clears_earlier_lists():
    m = computed(sp.csr_matrix(np.ones((3, 3))))
    assert m.num_swing_elements() == 6
    m.n_users = 5  # the user matrix now has too few rows
    assert panic(lambda: m.compute_swing(1)) == oob(4, 4)
    with pytest.raises(RuntimeError, match=NOT_COMPUTED):
        m.num_swing_elements()


def test_a_lone_unknown_user_is_not_a_failure():
    m = swing(from_rows([_PAIR] * 2), from_rows([{7: 1.0}, {0: 1.0, 1: 1.0}]), 2, 2)
    m.compute_swing(1)
    assert m.num_swing_elements() == 1  # item 1 lists item 0; item 0 has no pair


def test_item_row_past_its_entries():
    m = swing(from_rows([_PAIR] * 2), Interactions([0, 1], [0, 5], [1.0, 1.0]), 2, 2)
    assert panic(lambda: m.compute_swing(1)) == oob(2, 2)


def test_seeded_id_beyond_n_items_fails_only_for_items_with_new_users(tmp_path):
    lists = {0: [(9, 1.0)], 1: [(8, 1.0)]}
    m = write_model(tmp_path, lists, from_rows([{}]), from_rows([{}] * 5), 1, 5)
    m.update_swing(1, from_rows([{}]), from_rows([{}]))  # nothing new: carried over
    assert state(m, tmp_path)[0] == {0: [(9, F32(1.0))], 1: [(8, F32(1.0))]}
    assert panic(lambda: m.update_swing(1, from_rows([{0: 1.0}]), from_rows([{0: 1.0}]))) == oob(
        5, 9
    )
