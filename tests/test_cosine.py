"""Cosine similarity: pair statistics, neighbour lists, both algorithms, failures."""

from __future__ import annotations

import os
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest
import quibrel
import scipy.sparse as sp
from cf_state import (
    OUT_OF_RANGE,
    canonical,
    cosine,
    lists_of,
    make_model,
    pairs_dict,
    raised_panic,
    reference_compute,
    row_sum_squares,
    same_lists,
    same_pairs,
    state,
)
from conftest import Interactions, from_rows

F32 = np.float32
TIME = r"\d+\.\d{4}(s|ms|µs|ns)"


def signed_interactions(n_users, n_items, density, seed):
    """Values of both signs with full float32 mantissas, so that the order in which
    products are added shows in the sums."""
    rng = np.random.default_rng(seed)
    mask = rng.random((n_users, n_items)) < density
    values = rng.uniform(-1.0, 3.0, mask.sum()).astype(np.float32)
    rows, cols = np.nonzero(mask)
    return sp.csr_matrix((values, (rows, cols)), shape=(n_users, n_items), dtype=np.float32)


def forward_of(kind, user_item):
    return sp.csr_matrix(user_item.T if kind == "item" else user_item)


def example_model(**kw):
    ui = from_rows([{0: 1.0, 1: 1.0}, {0: 2.0, 2: 1.0}])
    ii = from_rows([{0: 1.0, 1: 2.0}, {0: 1.0}, {1: 1.0}])
    return quibrel.ItemCF("ranking", 10, 2, 3, kw.get("min_common", 1), ui, ii, {}, 0.0)


@pytest.mark.parametrize("invert", [False, True])
def test_worked_example(invert, tmp_path, capfd):
    m = example_model()
    m.compute_similarities(invert, 2)
    out = capfd.readouterr().out
    label = "invert" if invert else "forward"
    assert re.fullmatch(rf"{label} cosine sim: 2 elapsed: {TIME}\nsort elapsed: {TIME}\n", out)
    assert m.num_sim_elements() == 4
    s = state(m, tmp_path)
    assert s["sum_squares"].tolist() == [5.0, 1.0, 1.0]
    assert pairs_dict(s["pair_stats"]) == {(0, 1): (1.0, 1), (0, 2): (2.0, 1)}
    assert s["pair_stats"]["key"].tolist() == [1, 2]
    assert canonical(s["sim_mapping"]) == canonical(
        {
            0: (np.array([2, 1]), np.array([0.8944272, 0.4472136], dtype=F32)),
            1: (np.array([0]), np.array([0.4472136], dtype=F32)),
            2: (np.array([0]), np.array([0.8944272], dtype=F32)),
        }
    )


@pytest.mark.parametrize("kind", ["item", "user"])
@pytest.mark.parametrize("invert", [False, True])
# Short lists, lists past 200, and lists past 200 with zeros: stored 0.0 and -0.0
# values, an entity whose values are all zero (a root of 0 on either side of a
# pair) and pairs whose products cancel.
@pytest.mark.parametrize(
    "min_common, shape, zeros",
    [(c, (23, 31), False) for c in (0, 1, 2, 4)]
    + [(c, (30, 260), False) for c in (0, 1, 2, 4)]
    + [(1, (30, 260), True)],
)
def test_matches_float32_reference(kind, invert, min_common, shape, zeros, tmp_path, capfd):
    data = signed_interactions(*shape, 0.3, seed=min_common + 7 * invert)
    if zeros:
        lil = data.tolil()
        lil[0:2, 5:7] = np.array([[1.0, 1.0], [1.0, -1.0]], dtype=F32)  # products cancel
        data = sp.csr_matrix(lil, dtype=F32)
        coo = data.tocoo()  # entries in the order of data.data
        pair = (coo.row < 2) & (coo.col >= 5) & (coo.col < 7)
        draw = np.random.default_rng(3).random(data.nnz)
        data.data[(draw < 0.1) & ~pair] = 0.0
        data.data[(draw > 0.95) & ~pair] = -0.0
        data.data[(coo.col == 3) | (coo.row == 3)] = 0.0  # stored, all zero
    m = make_model(kind, data, min_common=min_common)
    m.compute_similarities(invert, 2)
    n = data.shape[1] if kind == "item" else data.shape[0]
    ss, pairs, lists = reference_compute(forward_of(kind, data), n, min_common)
    kept = sum(len(v) for v in lists.values()) // 2
    assert f"cosine sim: {kept} elapsed" in capfd.readouterr().out
    s = state(m, tmp_path)
    assert s["sum_squares"].tobytes() == ss.tobytes()
    assert same_pairs(s["pair_stats"], pairs)
    assert same_lists(lists_of(s["sim_mapping"]), lists)
    if min_common == 0:
        assert all(len(ids) == n - 1 for ids, _ in s["sim_mapping"].values())


def test_cancelling_values_keep_the_pair_with_similarity_zero(tmp_path):
    # Items 0 and 1 share users 0 and 1 with products +1 and -1.
    m = make_model("item", sp.csr_matrix(np.array([[1, 1], [1, -1]], dtype=F32)))
    m.compute_similarities(False, 1)
    s = state(m, tmp_path)
    assert pairs_dict(s["pair_stats"]) == {(0, 1): (0.0, 2)}
    assert lists_of(s["sim_mapping"]) == {0: {1: 0.0}, 1: {0: 0.0}}


@pytest.mark.parametrize("kind, layout", [("item", "cut"), ("user", "whole"), ("item", "spread")])
def test_movielens_forward_equals_invert(kind, layout, movielens, tmp_path):
    # The item side is cut to the first 1500 items to keep the state small.
    # Spread over 70,000 ids, those items outgrow a worker's cache and the
    # forward path takes its other route: half the pairs, mirrored into both
    # lists.
    data = movielens if layout == "whole" else movielens[:, :1500]
    if layout == "spread":
        coo = data.tocoo()
        data = sp.csr_matrix((coo.data, (coo.row, coo.col * 46)), shape=(coo.shape[0], 70_000))
    states = []
    for invert in (False, True):
        m = make_model(kind, data)
        m.compute_similarities(invert, 2)
        states.append(state(m, tmp_path, f"ml{invert}"))
    forward, inverted = states
    assert len(forward["pair_stats"]) > 50_000
    assert np.array_equal(forward["pair_stats"], inverted["pair_stats"])
    assert canonical(forward["sim_mapping"]) == canonical(inverted["sim_mapping"])
    lists_of(forward["sim_mapping"])


@pytest.mark.parametrize("length", [40, 300, 700, 3000])
def test_equal_similarities_keep_ascending_ids(length, tmp_path):
    # A hub item in the middle of the ids is bought by every user; each other
    # item by one user, every third by two and every seventh by three: three
    # similarity values in the hub's list, each shared by many items below and
    # above the hub, whose ids are shuffled.
    hub = length // 2
    rng = np.random.default_rng(length)
    others = rng.permutation(np.delete(np.arange(length + 1), hub))
    rows, cols = list(range(length)), [hub] * length
    for k, item in enumerate(others):
        users = {k, (k + 1) % length} if k % 3 == 0 else {k}
        if k % 7 == 0:
            users |= {(k + 2) % length, (k + 1) % length}
        rows += sorted(users)
        cols += [int(item)] * len(users)
    data = sp.csr_matrix((np.ones(len(rows), F32), (rows, cols)), shape=(length, length + 1))
    for invert in (False, True):
        m = make_model("item", data)
        m.compute_similarities(invert, 1)
        got_ids, sims = state(m, tmp_path, f"ties{invert}")["sim_mapping"][hub]
        assert len(np.unique(sims)) == 3
        got = list(zip(got_ids.tolist(), sims.tolist(), strict=True))
        assert got == sorted(got, key=lambda e: (-e[1], e[0]))
        assert sorted(got_ids.tolist()) == sorted(others.tolist())


@pytest.mark.parametrize("length, low", [(600, 1e-2), (5000, 1e-2), (5000, 1e-6), (9000, 0.3)])
def test_long_hub_list_matches_reference(length, low, tmp_path):
    # User k rates the hub (weight a_k) and item k: the hub's list holds every
    # item, with similarities a_k / |a| spread over many binades (some values
    # repeated), so long lists go through every digit layout of the sort.
    rng = np.random.default_rng(length)
    pool = np.exp(rng.uniform(np.log(low), 0.0, length // 2)).astype(F32)
    weights = rng.choice(pool, length).astype(F32)
    hub = length // 3
    others = rng.permutation(np.delete(np.arange(length + 1), hub))
    rows = np.repeat(np.arange(length), 2)
    cols = np.column_stack([np.full(length, hub), others]).ravel()
    values = np.column_stack([weights, rng.uniform(0.5, 2.0, length).astype(F32)]).ravel()
    data = sp.csr_matrix((values, (rows, cols)), shape=(length, length + 1), dtype=F32)
    hub_ss = row_sum_squares(weights)  # the hub's row lists users in order
    second = values[1::2]
    sims = {
        int(y): cosine(F32(w * v), hub_ss, F32(v * v))
        for y, w, v in zip(others, weights, second, strict=True)
    }
    expected = sorted((-sim, y) for y, sim in sims.items())
    for invert in (False, True):
        m = make_model("item", data)
        m.compute_similarities(invert, 2)
        got_ids, got_sims = state(m, tmp_path, f"hub{invert}")["sim_mapping"][hub]
        assert got_ids.tolist() == [y for _, y in expected]
        assert got_sims.tobytes() == np.array([-s for s, _ in expected], dtype=F32).tobytes()


def test_movielens_items_forward_equals_invert_through_predictions(movielens):
    rng = np.random.default_rng(5)
    users = rng.integers(0, movielens.shape[0], 3000).tolist()
    items = rng.integers(0, movielens.shape[1], 3000).tolist()
    results = []
    for invert in (False, True):
        m = make_model("item", movielens)
        m.compute_similarities(invert, 2)
        results.append((m.num_sim_elements(), m.predict(users, items)))
    assert results[0][0] == 2 * 13_157_672
    assert results[0] == results[1]


_THREADS_SCRIPT = textwrap.dedent(
    """
    import gzip, hashlib, pathlib, sys, tempfile
    sys.path.insert(0, {tests!r})
    import numpy as np, quibrel, scipy.sparse as sp
    from cf_state import make_model
    from test_cosine import signed_interactions
    data = signed_interactions(*{shape!r}, seed=11)
    if {spread}:
        # Items spread over 46 times the ids: a worker's cells outgrow its
        # cache, so the lists are built from half the pairs, mirrored.
        coo = data.tocoo()
        data = sp.csr_matrix((coo.data, (coo.row, coo.col * 46)),
                             shape=(coo.shape[0], coo.shape[1] * 46))
    m = make_model("item", data, min_common={min_common})
    m.compute_similarities({invert}, {threads})
    d = pathlib.Path(tempfile.mkdtemp())
    quibrel.save_item_cf(m, str(d), "m")
    print("HASH", hashlib.sha256(gzip.decompress((d / "m.gz").read_bytes())).hexdigest())
    """
)


@pytest.mark.parametrize(
    "min_common, shape, spread",
    [
        (0, (300, 700, 0.05), False),
        (1, (300, 700, 0.05), False),
        # Five to six million list entries: the mirrored lists are built in
        # several tiles, each split among the workers.
        pytest.param(1, (2000, 2500, 0.04), True, marks=pytest.mark.slow),
        pytest.param(2, (2000, 2500, 0.04), True, marks=pytest.mark.slow),
    ],
)
def test_state_does_not_depend_on_thread_count(min_common, shape, spread):
    tests = os.path.dirname(os.path.abspath(__file__))
    hashes = set()
    runs = [(False, threads) for threads in (1, 2, 3)] + [(True, 1)] * spread
    for invert, threads in runs:
        script = _THREADS_SCRIPT.format(
            tests=tests,
            shape=shape,
            spread=spread,
            min_common=min_common,
            invert=invert,
            threads=threads,
        )
        out = subprocess.run(
            [sys.executable, "-c", script], capture_output=True, text=True, check=True
        ).stdout
        hashes.add(re.search(r"HASH (\w+)", out).group(1))
    assert len(hashes) == 1


@pytest.mark.parametrize("invert", [False, True])
@pytest.mark.parametrize("n", [0, 1])
def test_no_pairs_for_zero_or_one_entity(invert, n, capfd):
    rows = from_rows([{0: 1.0}] * n)
    single = from_rows([{0: 1.0} if n else {}])
    users = quibrel.UserCF("ranking", 5, n, 1, 0, rows, single, {}, 0.0)
    users.compute_similarities(invert, 1)
    items = quibrel.ItemCF("ranking", 5, 1, n, 0, single, rows, {}, 0.0)
    items.compute_similarities(invert, 1)
    assert capfd.readouterr().out.count(" cosine sim: 0 elapsed: ") == 2
    assert users.num_sim_elements() == 0
    with pytest.raises(ValueError, match="call `compute_similarities` first"):
        items.num_sim_elements()


@pytest.mark.parametrize("nan", [float("nan"), -float("nan")], ids=["nan", "negative-nan"])
@pytest.mark.parametrize("invert", [False, True])
def test_nan_similarity_fails_the_sort_after_earlier_lists(invert, nan, tmp_path):
    # Item 2's norm is NaN. Lists: 0 -> [1], 1 -> [0, 2 (NaN)], 2 -> [1, 3], 3 -> [2]:
    # entity 1 is the first whose sort meets a NaN (of either sign).
    users = [{0: 1.0, 1: 1.0}, {1: 1.0, 2: nan}, {2: 1.0, 3: 1.0}]
    items = [{0: 1.0}, {0: 1.0, 1: 1.0}, {1: nan, 2: 1.0}, {2: 1.0}]
    m = quibrel.ItemCF("ranking", 5, 3, 4, 1, from_rows(users), from_rows(items), {}, 0.0)
    with pytest.raises(BaseException) as info:
        m.compute_similarities(invert, 1)
    assert raised_panic(info, re.escape("called `Option::unwrap()` on a `None` value"))
    s = state(m, tmp_path)
    assert list(s["sim_mapping"]) == [0]
    assert set(pairs_dict(s["pair_stats"])) == {(0, 1), (1, 2), (2, 3)}


@pytest.mark.parametrize("invert", [False, True])
@pytest.mark.parametrize(
    "hub_values, other_value",
    [
        # The hub's norm is NaN, every dot product with it is 0: similarity 0.
        ([float("nan")] + [0.0] * 9, 1.0),
        # The hub's norm is 0 and its partners' infinite: the dot products are
        # NaN, but a zero norm on either side still gives 0.
        ([0.0] * 10, float("inf")),
    ],
    ids=["nan-norm", "zero-norm"],
)
def test_zero_rule_before_nan_and_infinity(invert, hub_values, other_value, tmp_path):
    # Item 0 is bought by users 0..9; item k (1..9) by user k alone.
    users = [{0: hub_values[0]}] + [{0: hub_values[k], k: other_value} for k in range(1, 10)]
    items = [dict(enumerate(hub_values))] + [{k: other_value} for k in range(1, 10)]
    m = quibrel.ItemCF("ranking", 5, 10, 10, 1, from_rows(users), from_rows(items), {}, 0.0)
    m.compute_similarities(invert, 1)
    lists = state(m, tmp_path)["sim_mapping"]
    ids, sims = lists[0]
    assert ids.tolist() == list(range(1, 10))
    assert sims.view(np.uint32).tolist() == [0] * 9
    for k in range(1, 10):
        assert lists[k][0].tolist() == [0]
        assert lists[k][1].view(np.uint32).tolist() == [0]


def test_lone_nan_similarity_is_stored_unsorted(tmp_path):
    users = [{0: float("nan"), 1: 1.0}]
    items = [{0: float("nan")}, {0: 1.0}]
    m = quibrel.ItemCF("ranking", 5, 1, 2, 1, from_rows(users), from_rows(items), {}, 0.0)
    m.compute_similarities(False, 1)
    sims = state(m, tmp_path)["sim_mapping"]
    assert sorted(sims) == [0, 1] and all(np.isnan(v[1][0]) for v in sims.values())


@pytest.mark.parametrize("n_items", [46342, 50_000])
def test_large_catalogue_pairs_keep_their_identity(n_items, tmp_path):
    top = n_items - 1
    user_item = sp.csr_matrix(
        (
            np.array([1, 2, 1, 3, 1, 1, 2], dtype=F32),
            ([0, 0, 0, 1, 1, 2, 2], [0, 46340, top, 46340, top, 5, top]),
        ),
        shape=(3, n_items),
    )
    states = []
    for invert in (False, True):
        m = make_model("item", user_item)
        m.compute_similarities(invert, 1)
        states.append(state(m, tmp_path, f"big{invert}"))
    _, pairs, lists = reference_compute_sparse(user_item.T.tocsr(), n_items)
    for s in states:
        assert same_pairs(s["pair_stats"], pairs)
        assert same_lists(lists_of(s["sim_mapping"]), lists)


def reference_compute_sparse(forward, n):
    """reference_compute restricted to the non-empty rows, for huge catalogues."""
    used = np.flatnonzero(np.diff(forward.indptr))
    ss, pairs, lists = reference_compute(forward[used], len(used), 1)
    pairs = {(int(used[x]), int(used[y])): v for (x, y), v in pairs.items()}
    lists = {int(used[k]): {int(used[i]): s for i, s in v.items()} for k, v in lists.items()}
    return ss, pairs, lists


def test_recompute_replaces_records_and_keeps_the_rest(tmp_path):
    data = sp.csr_matrix(np.array([[1, 2, 0], [0, 1, 1]], dtype=F32))
    m = make_model("item", data)
    m.compute_similarities(False, 1)
    before = state(m, tmp_path, "a")
    m.n_items = 2
    m.compute_similarities(False, 1)
    after = state(m, tmp_path, "b")
    assert pairs_dict(after["pair_stats"]) == pairs_dict(before["pair_stats"])
    old, new = lists_of(before["sim_mapping"]), lists_of(after["sim_mapping"])
    # Item 1 gets a list of item 0 only (item 2 is beyond n); item 2 keeps its list.
    assert new[1] == {0: old[1][0]} and new[2] == old[2] and new[0] == old[0]


@pytest.mark.parametrize("kind", ["item", "user"])
def test_nothing_kept_leaves_lists_empty(kind):
    m = make_model(kind, sp.csr_matrix(np.array([[1, 1], [1, 0]], dtype=F32)), min_common=3)
    m.compute_similarities(False, 1)
    if kind == "user":
        assert m.num_sim_elements() == 0
    else:
        with pytest.raises(ValueError, match="call `compute_similarities` first"):
            m.num_sim_elements()


def test_thread_variable_is_written_by_the_forward_path_only():
    import ctypes

    libc = ctypes.CDLL(None)
    libc.getenv.restype = ctypes.c_char_p
    m = example_model()
    os.environ["RAYON_NUM_THREADS"] = "7"
    m.compute_similarities(True, 4)
    assert libc.getenv(b"RAYON_NUM_THREADS") == b"7"
    m.compute_similarities(False, 4)
    assert libc.getenv(b"RAYON_NUM_THREADS") == b"4"


GOOD_USERS = [{0: 1.0, 1: 1.0}, {0: 2.0, 2: 1.0}]
GOOD_ITEMS = [{0: 1.0, 1: 2.0}, {0: 1.0}, {1: 1.0}]


@pytest.mark.parametrize(
    "invert, users, items, n_users, n_items, error, pattern",
    [
        # Negative column in the walked rows of the other matrix.
        (True, [{0: 1.0, -1: 1.0}, {}], GOOD_ITEMS, 2, 3, ValueError, OUT_OF_RANGE),
        # Too few rows in the matrix the path reads.
        (False, GOOD_USERS, GOOD_ITEMS[:2], 2, 3, None, "the len is 3 but the index is 3"),
        (True, GOOD_USERS[:1], GOOD_ITEMS, 2, 3, None, "the len is 2 but the index is 2"),
        # A column >= n paired with a column in range.
        (True, [{0: 1.0, 7: 1.0}, {}], GOOD_ITEMS, 2, 3, None, "the len is 3 but the index is 7"),
    ],
)
def test_compute_failures(invert, users, items, n_users, n_items, error, pattern, tmp_path):
    m = quibrel.ItemCF(
        "ranking", 5, n_users, n_items, 1, from_rows(users), from_rows(items), {}, 0.0
    )
    with pytest.raises(BaseException) as info:
        m.compute_similarities(invert, 1)
    if error is ValueError:
        assert info.type is ValueError and str(info.value) == pattern
    else:
        assert raised_panic(info, "index out of bounds: " + pattern)
    s = state(m, tmp_path)
    # sum_squares is replaced before the pairs are computed; nothing else is stored.
    assert len(s["sum_squares"]) == n_items
    assert len(s["pair_stats"]) == 0 and s["sim_mapping"] == {}


def test_offsets_past_the_entries_fail():
    ii = Interactions([0, 1], [0, 2, 5], [1.0, 1.0])
    m = quibrel.ItemCF("ranking", 5, 2, 2, 1, from_rows(GOOD_USERS), ii, {}, 0.0)
    with pytest.raises(BaseException) as info:
        m.compute_similarities(False, 1)
    assert raised_panic(info, r"index out of bounds: the len is 2 but the index is 2")


MALFORMED = {
    "unsorted": Interactions([2, 0, 1, 0, 2, 1], [0, 3, 6], [1.0, 2.0, 3.0, 1.0, 1.0, 1.0]),
    "repeated": Interactions([0, 0, 0, 1, 1, 0], [0, 3, 6], [1.0, 2.0, 3.0, 1.0, 1.0, 1.0]),
    "negative": Interactions([-5, 0, -5, 1], [0, 2, 4], [1.0, 2.0, 3.0, 1.0]),
    "huge": Interactions([2**31 - 1, 0, 2**31 - 1], [0, 2, 3], [1.0, 2.0, 3.0]),
    "decreasing": Interactions([0, 1, 2, 0], [0, 3, 1, 4], [1.0, 1.0, 1.0, 1.0]),
    "overlapping": Interactions([0, 1, 2], [0, 3, 1, 3], [1.0, 2.0, 1.0]),
    "short_data": Interactions([0, 1, 2, 0], [0, 2, 4], [1.0, 2.0, 1.0]),
    "inf": Interactions([0, 1, 0], [0, 2, 3], [float("inf"), 1.0, 1.0]),
}


@pytest.mark.parametrize("name", sorted(MALFORMED))
@pytest.mark.parametrize("invert", [False, True])
def test_malformed_matrices_fail_cleanly_or_give_sorted_lists(name, invert, tmp_path):
    bad = MALFORMED[name]
    for ui, ii in ((bad, bad), (from_rows(GOOD_USERS), bad), (bad, from_rows(GOOD_ITEMS))):
        for n in (2, 3, 4):
            m = quibrel.ItemCF("ranking", 5, n, n, 0, ui, ii, {}, 0.0)
            failure = None
            try:
                m.compute_similarities(invert, 1)
            except BaseException as e:  # PanicException derives from BaseException
                failure = e
            if isinstance(failure, ValueError):
                assert str(failure) == OUT_OF_RANGE
                continue
            if failure is not None:
                assert type(failure).__name__ == "PanicException"
                assert re.fullmatch(r"index out of bounds: .*|called `Option.*", str(failure))
                continue
            sims = state(m, tmp_path)["sim_mapping"]
            for ids, values in sims.values():
                assert all(0 <= i < n for i in ids.tolist())
                assert len(values) < 2 or not np.isnan(values).any()


_INTERRUPT_SCRIPT = textwrap.dedent(
    """
    import os, signal, subprocess, sys, time
    # A job started in the background inherits SIGINT ignored; restore Ctrl-C.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    sys.path.insert(0, {tests!r})
    import conftest
    from cf_state import make_model
    data = conftest.movielens.__wrapped__()
    m = make_model("item", data)
    killer = subprocess.Popen(["sh", "-c", f"sleep 0.05; kill -INT {{os.getpid()}}"])
    try:
        m.compute_similarities({invert}, 2)
        time.sleep(30)  # on a machine fast enough to finish first, the signal lands here
    except KeyboardInterrupt:
        print("INTERRUPTED")
    killer.wait()
    try:
        print("AFTER", m.num_sim_elements())
    except ValueError:
        print("AFTER empty")
    m.compute_similarities({invert}, 2)
    print("AGAIN", m.num_sim_elements())
    """
)


@pytest.mark.parametrize("invert", [False, True])
def test_interrupt_stops_the_computation_and_leaves_a_usable_model(invert):
    tests = os.path.dirname(os.path.abspath(__file__))
    script = _INTERRUPT_SCRIPT.format(tests=tests, invert=invert)
    out = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, check=True, timeout=300
    ).stdout
    # The computation takes far longer than the 50 ms before the signal: it must
    # stop before any list is stored (lists are stored only at the very end).
    assert "INTERRUPTED" in out and "AFTER empty" in out
    assert "AGAIN 26315344" in out


def _random_matrix(rng):
    """Small matrices of any shape: offsets that fall or overrun, extreme or negative
    columns, NaN and infinite values, data shorter than indices."""
    nnz = int(rng.integers(0, 12))
    columns = rng.choice([0, 1, 2, 3, 5, 7, -1, -3, 2**31 - 1, -(2**31)], nnz).tolist()
    offsets = rng.integers(0, nnz + 3, int(rng.integers(0, 6))).tolist()
    if rng.random() < 0.7:
        offsets.sort()
    if rng.random() < 0.9:
        offsets.insert(0, 0)
    values = rng.choice(
        [1.0, 2.0, -1.0, 0.0, 0.5, np.nan, np.inf], max(0, nnz - int(rng.random() < 0.2))
    )
    return Interactions(columns, offsets, values.tolist())


@pytest.mark.parametrize("seed", range(4))
def test_random_malformed_input_fails_cleanly(seed):
    rng = np.random.default_rng(seed)
    outcomes = set()
    for _ in range(150):
        cls = quibrel.ItemCF if rng.random() < 0.5 else quibrel.UserCF
        n_users, n_items, min_common = rng.integers(0, 7, 3).tolist()
        m = cls(
            "ranking",
            3,
            n_users,
            n_items,
            min_common % 3,
            _random_matrix(rng),
            _random_matrix(rng),
            {},
            0.0,
        )
        for _ in range(3):
            try:
                if rng.random() < 0.5:
                    m.compute_similarities(bool(rng.random() < 0.5), 1)
                else:
                    m.update_similarities(_random_matrix(rng), _random_matrix(rng))
                outcomes.add("ok")
            except ValueError as e:
                outcomes.add(str(e))
            except BaseException as e:  # PanicException derives from BaseException
                outcomes.add(type(e).__name__)
            if rng.random() < 0.3:
                m.n_items, m.n_users = rng.integers(0, 8, 2).tolist()
    assert outcomes <= {"ok", OUT_OF_RANGE, "PanicException"}
    assert "ok" in outcomes
