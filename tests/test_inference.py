"""Scoring (predict) and top-N recommendation for ItemCF, UserCF and Swing.

Most cases need exact neighbour lists, so they write a model file with hand-made
lists and load it; a few run on lists computed from interactions.
"""

from __future__ import annotations

import gzip
import itertools
import struct

import numpy as np
import pytest
import quibrel
import scipy.sparse as sp
from conftest import Interactions, both_orientations, from_rows, random_interactions

F32 = np.float32
KINDS = ["item_cf", "user_cf", "swing"]
CF_KINDS = ["item_cf", "user_cf"]
OUT_OF_RANGE = "out of range integral type conversion attempted"


# --- model files with hand-made neighbour lists -------------------------------


def _u64(n):
    return struct.pack("<Q", n)


def _vec(fmt, values):
    values = [v.item() if hasattr(v, "item") else v for v in values]
    return _u64(len(values)) + struct.pack(f"<{len(values)}{fmt}", *values)


def _csr(m: Interactions, truncate=0):
    """The matrix, its last `truncate` entries cut off (offsets kept)."""
    kept = len(m.sparse_indices) - truncate
    return (
        _vec("i", list(m.sparse_indices)[:kept])
        + _vec("Q", list(m.sparse_indptr))
        + _vec("f", list(m.sparse_data)[:kept])
    )


def _id_map(entries, encode):
    return _u64(len(entries)) + b"".join(struct.pack("<i", k) + encode(v) for k, v in entries)


def load_model(
    tmp_path,
    kind,
    lists,
    *,
    user_rows=(),
    item_rows=(),
    n_users=None,
    n_items=None,
    k=10,
    task="ranking",
    consumed=None,
    default_pred=0.0,
    name="m",
    truncate=0,
):
    """Write a model file holding `lists` and load it.

    lists: {key: [(neighbour id, similarity), ...]} in stored order, or
    {key: (ids, sims)} to store vectors of different lengths (cosine models).
    Rows are {column: value} dicts in stored order.
    """
    user_m, item_m = from_rows(list(user_rows)), from_rows(list(item_rows))
    n_users = len(user_rows) if n_users is None else n_users
    n_items = len(item_rows) if n_items is None else n_items
    consumed = _id_map(list((consumed or {}).items()), lambda v: _vec("i", v))
    tail = (
        _csr(user_m, truncate)
        + _csr(item_m, truncate)
        + consumed
        + struct.pack("<f", default_pred)
    )
    if kind == "swing":
        body = (
            _u64(k)
            + struct.pack("<f", 1.0)
            + _u64(0)
            + _u64(n_users)
            + _u64(n_items)
            + _id_map(
                list(lists.items()),
                lambda ps: _u64(len(ps)) + b"".join(struct.pack("<if", i, s) for i, s in ps),
            )
            + tail
        )
    else:

        def neighbours(v):
            ids, sims = v if isinstance(v, tuple) else ([i for i, _ in v], [s for _, s in v])
            return _vec("i", ids) + _vec("f", sims)

        word = task.encode()
        body = (
            _u64(len(word))
            + word
            + _u64(k)
            + _u64(n_users)
            + _u64(n_items)
            + _u64(1)
            + _vec("f", [])
            + _u64(0)
            + _id_map(list(lists.items()), neighbours)
            + tail
        )
    (tmp_path / f"{name}.gz").write_bytes(gzip.compress(body, compresslevel=1, mtime=0))
    return getattr(quibrel, f"load_{kind}")(str(tmp_path), name)


def scoring_model(tmp_path, kind, neighbours, row, n=None, **kw):
    """A model where predict([0], [0]) scores `row` against `neighbours`.

    ItemCF and Swing: item 0 owns the list and user 0 owns the row (item ids).
    UserCF: user 0 owns the list and item 0 owns the row (user ids).
    n: the id count of the neighbour side (default: just above every id).
    """
    ids = neighbours[0] if isinstance(neighbours, tuple) else [i for i, _ in neighbours]
    n = max(list(ids) + list(row) + [0]) + 2 if n is None else n
    if kind == "user_cf":
        return load_model(
            tmp_path, kind, {0: neighbours}, item_rows=[row], n_users=n, n_items=1, **kw
        )
    return load_model(tmp_path, kind, {0: neighbours}, user_rows=[row], n_users=1, n_items=n, **kw)


def rec_model(tmp_path, kind, candidates, n_items=10, **kw):
    """A model where user 0 gets exactly `candidates` ({item: score}) as scores."""
    ranked = sorted(candidates.items(), key=lambda c: -c[1])
    if kind == "user_cf":
        # User 0's only neighbour is user 1 (similarity 1), whose row holds the scores.
        rows = [{}, dict(sorted(candidates.items()))]
        return load_model(tmp_path, kind, {0: [(1, 1.0)]}, user_rows=rows, n_items=n_items, **kw)
    # The user's only item (the last id) lists the candidates with the scores.
    src = n_items - 1
    return load_model(tmp_path, kind, {src: ranked}, user_rows=[{src: 1.0}], n_items=n_items, **kw)


def fresh_model(kind, n_users=3, n_items=4, default_pred=0.0, task="ranking", k=10):
    ui, ii = both_orientations(sp.csr_matrix((n_users, n_items), dtype=np.float32))
    if kind == "swing":
        return quibrel.Swing(k, 1.0, 100, n_users, n_items, ui, ii, {}, default_pred)
    cls = quibrel.ItemCF if kind == "item_cf" else quibrel.UserCF
    return cls(task, k, n_users, n_items, 1, ui, ii, {}, default_pred)


def raises_panic(fn, match):
    with pytest.raises(BaseException) as info:
        fn()
    assert type(info.value).__name__ == "PanicException"
    assert match in str(info.value)


# --- predict -------------------------------------------------------------------


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize(
    "neighbours, expected",
    [([(1, 0.5)], 0.5), ([(1, 0.6), (2, 0.2)], 0.4000000059604645)],
)
def test_ranking_score_is_mean_similarity_in_f32(tmp_path, kind, neighbours, expected):
    model = scoring_model(tmp_path, kind, neighbours, {1: 1.0, 2: 3.0})
    assert model.predict([0], [0]) == [expected]


@pytest.mark.parametrize(
    "kind, expected",
    [("item_cf", 3.3333334922790527), ("user_cf", 3.3333334922790527), ("swing", 0.375)],
)
def test_rating_score_divides_each_term_by_similarity_sum(tmp_path, kind, expected):
    # Swing has no task setting and always takes the mean similarity.
    model = scoring_model(tmp_path, kind, [(2, 0.25), (1, 0.5)], {1: 4.0, 2: 2.0}, task="rating")
    assert model.predict([0], [0]) == [expected]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize(
    "k, expected", [(0, -1.0), (1, -1.0), (2, 0.5), (3, (F32(0.5) + F32(0.1)) / F32(2))]
)
def test_only_first_k_neighbours_count(tmp_path, kind, k, expected):
    # The user has the 2nd and 3rd neighbours but not the most similar one.
    model = scoring_model(
        tmp_path, kind, [(3, 0.9), (1, 0.5), (2, 0.1)], {1: 1.0, 2: 1.0}, k=k, default_pred=-1.0
    )
    assert model.predict([0], [0]) == [float(F32(expected))]


@pytest.mark.parametrize("kind", KINDS)
def test_unscored_model_gives_default_pred_as_f32(kind):
    model = fresh_model(kind, default_pred=0.1)
    assert model.predict([0, 1, 2], [0, 1, 2]) == [0.10000000149011612] * 3


@pytest.mark.parametrize("kind", ["item_cf", "swing"])
def test_item_models_check_unknown_user_before_item_sign(kind):
    model = fresh_model(kind, n_users=3, n_items=4, default_pred=0.5)
    assert model.predict([3, 0], [-1, 4]) == [0.5, 0.5]
    with pytest.raises(ValueError, match=OUT_OF_RANGE):
        model.predict([0], [-1])


def test_user_cf_checks_user_sign_first():
    model = fresh_model("user_cf", n_users=3, n_items=4, default_pred=0.5)
    with pytest.raises(ValueError, match=OUT_OF_RANGE):
        model.predict([-1], [4])
    assert model.predict([3, 0, 0], [0, 4, 2**40]) == [0.5, 0.5, 0.5]


@pytest.mark.parametrize("kind", KINDS)
def test_pair_count_is_shorter_list(kind):
    assert len(fresh_model(kind).predict([0, 1], [0])) == 1
    assert len(fresh_model(kind).predict([0], [0, 1, 2])) == 1


@pytest.mark.parametrize("kind", CF_KINDS)
def test_unknown_task_fails_only_when_a_pair_is_scored(tmp_path, kind):
    model = scoring_model(tmp_path, kind, [(1, 0.5)], {1: 1.0}, task="Ranking", default_pred=0.25)
    # Pairs that default never reach scoring.
    assert model.predict([1, 0], [0, 1]) == [0.25, 0.25]
    with pytest.raises(ValueError) as info:
        model.predict([1, 0], [0, 0])
    assert str(info.value) == 'Unknown task type: "Ranking"'


@pytest.mark.parametrize("kind", CF_KINDS)
def test_stored_vectors_of_different_length_are_read_to_the_shorter(tmp_path, kind):
    # ids longer than sims: only the first id has a similarity and may count.
    model = scoring_model(tmp_path, kind, ([1, 2], [0.5]), {1: 1.0, 2: 1.0})
    assert model.predict([0], [0]) == [0.5]
    model = scoring_model(tmp_path, kind, ([2], [0.5, 0.9]), {1: 1.0, 2: 1.0})
    assert model.predict([0], [0]) == [0.5]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize(
    "neighbours, row, n, expected",
    [
        # Unsorted row: the id-ordered walk passes item 1 before it meets it.
        ([(1, 0.5), (3, 0.25)], {3: 1.0, 1: 1.0}, None, [0.25]),
        # A repeated neighbour pairs with the row entry once.
        ([(2, 0.5), (2, 0.25)], {2: 1.0}, None, [0.5, 0.25]),
        # Negative ids and ids at or beyond the id count still meet their row entry.
        ([(40, 0.5), (-5, 0.25), (1, 0.125)], {-5: 1.0, 1: 1.0, 40: 1.0}, 2, [F32(0.875) / F32(3)]),
        ([(40, 0.5), (40, 0.25)], {-5: 1.0, 40: 1.0}, 2, [0.5, 0.25]),
        # A list stored out of order is still summed from the most similar down:
        # 1 + 4e-8 + 4e-8 stays 1 in f32, while 4e-8 + 4e-8 + 1 does not.
        ([(1, 4e-8), (2, 4e-8), (3, 1.0)], {1: 1.0, 2: 1.0, 3: 1.0}, None, [F32(1) / F32(3)]),
    ],
)
def test_rows_and_lists_outside_the_usual_shape(tmp_path, kind, neighbours, row, n, expected):
    model = scoring_model(tmp_path, kind, neighbours, row, n=n)
    assert model.predict([0], [0])[0] in [float(F32(e)) for e in expected]


def test_malformed_row_offsets_raise_panic(tmp_path):
    bad = Interactions([1], [0, 5], [1.0])
    model = quibrel.ItemCF("ranking", 10, 1, 3, 1, bad, bad, {}, 0.0)
    raises_panic(lambda: model.predict([0], [0]), "index out of bounds: the len is 1")


# --- recommend -------------------------------------------------------------------


@pytest.mark.parametrize("kind, report", [("item_cf", []), ("user_cf", []), ("swing", [0])])
def test_best_scores_first(tmp_path, kind, report):
    model = rec_model(tmp_path, kind, {1: 0.9, 2: 0.4, 3: 0.7})
    assert model.recommend([0], 2, False, False) == ([[1, 3]], report)


@pytest.mark.parametrize("kind", CF_KINDS)
def test_cf_report_lists_positions_of_users_without_candidates(tmp_path, kind):
    model = rec_model(tmp_path, kind, {1: 0.9, 2: 0.4, 3: 0.7})
    recs, report = model.recommend([0, 5, 0, 1], 5, False, False)
    assert recs == [[1, 3, 2], [], [1, 3, 2], []]
    assert report == [1, 3]
    # n_rec 0 leaves the list empty but the user is not reported.
    assert model.recommend([0], 0, False, False) == ([[]], [])


def test_swing_report_counts_shortfall(tmp_path):
    model = rec_model(tmp_path, "swing", {1: 0.9, 2: 0.4, 3: 0.7})
    recs, report = model.recommend([0, 5, 0], 5, False, False)
    assert recs == [[1, 3, 2], [], [1, 3, 2]]
    assert report == [2, 5, 2]
    assert model.recommend([0], 0, False, False) == ([[]], [0])


@pytest.mark.parametrize(
    "kind, report", [("item_cf", [0, 1, 2]), ("user_cf", [0, 1, 2]), ("swing", [4, 4, 4])]
)
def test_unscored_model_recommends_nothing(kind, report):
    assert fresh_model(kind, n_users=3).recommend([0, 1, 2], 4, False, False) == (
        [[], [], []],
        report,
    )


@pytest.mark.parametrize("kind", KINDS)
def test_filter_consumed_uses_consumed_map_not_rows(tmp_path, kind):
    model = rec_model(tmp_path, kind, {1: 0.9, 2: 0.4, 3: 0.7}, consumed={0: [3, 1, 3]})
    assert model.recommend([0], 5, True, False)[0] == [[2]]
    assert model.recommend([0], 5, False, False)[0] == [[1, 3, 2]]
    model.user_consumed = {0: [1, 2, 3]}
    recs, report = model.recommend([0], 5, True, False)
    assert recs == [[]]
    assert report == ([5] if kind == "swing" else [0])


@pytest.mark.parametrize("kind", KINDS)
def test_random_draw_is_distinct_subset_in_random_order(tmp_path, kind):
    model = rec_model(tmp_path, kind, {1: 0.9, 2: 0.4, 3: 0.7})
    seen = set()
    for _ in range(300):
        (rec,), _ = model.recommend([0], 2, False, True)
        assert len(rec) == 2 and len(set(rec)) == 2 and set(rec) <= {1, 2, 3}
        seen.add(tuple(rec))
    # Every ordered pair shows up: scores play no part and the draw order is random.
    assert seen == set(itertools.permutations([1, 2, 3], 2))


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("n_rec", [3, 7])
def test_random_with_enough_room_is_the_ranked_list(tmp_path, kind, n_rec):
    model = rec_model(tmp_path, kind, {1: 0.9, 2: 0.4, 3: 0.7})
    for _ in range(5):
        assert model.recommend([0], n_rec, False, True)[0] == [[1, 3, 2]]


@pytest.mark.parametrize("kind", KINDS)
def test_nan_score_panics_only_when_sorted(tmp_path, kind):
    model = rec_model(tmp_path, kind, {1: float("nan"), 2: 0.5})
    raises_panic(
        lambda: model.recommend([0], 5, False, False), "called `Option::unwrap()` on a `None` value"
    )
    raises_panic(lambda: model.recommend([0], 0, False, False), "`None` value")
    # A random draw of fewer than all candidates does not compare scores.
    (rec,), _ = model.recommend([0], 1, False, True)
    assert rec in ([1], [2])
    # A single candidate is never compared.
    lone = rec_model(tmp_path, kind, {1: float("nan")}, name="lone")
    assert lone.recommend([0], 5, False, False)[0] == [[1]]


@pytest.mark.parametrize("kind", ["item_cf", "swing"])
def test_item_models_reject_negative_user(tmp_path, kind):
    model = rec_model(tmp_path, kind, {1: 0.9})
    with pytest.raises(ValueError, match=OUT_OF_RANGE):
        model.recommend([0, -1], 5, False, False)


@pytest.mark.parametrize("kind", KINDS)
def test_users_are_answered_in_order_and_first_failure_wins(tmp_path, kind):
    # User 0 meets a NaN while sorting; user 1 meets a negative id.
    nan_lists = [(1, float("nan")), (2, 0.5)]
    if kind == "user_cf":
        lists = {0: [(2, 1.0)], 1: [(-1, 1.0)]}
        rows = [{}, {}, {1: float("nan"), 2: 0.5}]
        users = [0, 1]
    else:
        lists = {3: nan_lists}
        rows = [{3: 1.0}]
        users = [0, -1]
    model = load_model(tmp_path, kind, lists, user_rows=rows, n_items=4)
    raises_panic(lambda: model.recommend(users, 5, False, False), "`None` value")
    with pytest.raises(ValueError, match=OUT_OF_RANGE):
        model.recommend(users[::-1], 5, False, False)


def test_user_cf_negative_requested_user_is_reported_but_negative_neighbour_fails(tmp_path):
    lists = {0: [(1, 0.9), (-3, 0.5)]}
    rows = [{}, {2: 1.0}]
    model = load_model(tmp_path, "user_cf", lists, user_rows=rows, n_items=3, k=1)
    assert model.recommend([-1, 0], 5, False, False) == ([[], [2]], [0])
    model = load_model(tmp_path, "user_cf", lists, user_rows=rows, n_items=3, k=2, name="k2")
    with pytest.raises(ValueError, match=OUT_OF_RANGE):
        model.recommend([0], 5, False, False)


# --- oracle on random data ---------------------------------------------------------


def random_lists(rng, n_keys, n_ids, max_len):
    """Descending, distinct similarities per list (no ties to make order ambiguous)."""
    lists = {}
    for key in range(n_keys):
        size = int(rng.integers(0, max_len + 1))
        if size == 0:
            continue
        ids = rng.choice(n_ids, size=size, replace=False)
        sims = np.sort(rng.choice(10**6, size=size, replace=False) + 1)[::-1] / 10**6
        lists[key] = [(int(i), float(F32(s))) for i, s in zip(ids, sims, strict=True)]
    return lists


def rows_of(m):
    m = sp.csr_matrix(m)
    return [
        {
            int(c): float(v)
            for c, v in zip(
                m.indices[m.indptr[r] : m.indptr[r + 1]],
                m.data[m.indptr[r] : m.indptr[r + 1]],
                strict=True,
            )
        }
        for r in range(m.shape[0])
    ]


def oracle_score(neighbours, k, row, task, default):
    """Scoring rule in plain f32 arithmetic."""
    rated = [(F32(s), F32(row[i])) for i, s in neighbours[:k] if i in row]
    if not rated:
        return default
    rated.sort(key=lambda r: -r[0])
    total = F32(0)
    for s, _ in rated:
        total = F32(total + s)
    if task == "ranking":
        return float(F32(total / F32(len(rated))))
    score = F32(0)
    for s, v in rated:
        score = F32(score + F32(F32(v * s) / total))
    return float(score)


def oracle_candidates(kind, lists, user_rows, u, k, consumed):
    scores = {}

    def add(c, amount):
        if c not in consumed:
            scores[c] = F32(scores[c] + amount) if c in scores else F32(amount)

    if kind == "user_cf":
        for v, s in lists.get(u, [])[:k]:
            for c, r in user_rows[v].items():
                add(c, F32(F32(r) * F32(s)))
    else:
        for j, r in user_rows[u].items():
            for c, s in lists.get(j, [])[:k]:
                add(c, F32(F32(s) * F32(r)))
    return scores


@pytest.fixture(scope="module")
def random_setup():
    rng = np.random.default_rng(7)
    n_users, n_items = 25, 30
    m = random_interactions(n_users, n_items, 0.3, seed=3)
    consumed = {u: rng.choice(n_items, size=5, replace=False).tolist() for u in range(n_users)}
    return rng, n_users, n_items, m, consumed


@pytest.mark.parametrize(
    "kind, task",
    [
        ("item_cf", "ranking"),
        ("item_cf", "rating"),
        ("user_cf", "ranking"),
        ("user_cf", "rating"),
        ("swing", "ranking"),
    ],
)
# Large batches of random pairs are answered grouped by row, in another order.
@pytest.mark.parametrize("n_pairs", [400, 3000])
def test_predict_matches_oracle(tmp_path, random_setup, kind, task, n_pairs):
    rng, n_users, n_items, m, _ = random_setup
    n_keys, n_ids = (n_users, n_users) if kind == "user_cf" else (n_items, n_items)
    lists = random_lists(rng, n_keys, n_ids, 12)
    k = 6
    model = load_model(
        tmp_path,
        kind,
        lists,
        user_rows=rows_of(m),
        item_rows=rows_of(m.T),
        k=k,
        task=task,
        default_pred=-2.0,
    )
    users = rng.integers(0, n_users + 1, size=n_pairs).tolist()
    items = rng.integers(0, n_items + 1, size=n_pairs).tolist()
    if kind == "user_cf":
        # An unknown user answers before its item is read: far item ids group last.
        for p in range(0, n_pairs, 97):
            users[p], items[p] = n_users, 2**40 + p
    got = model.predict(users, items)
    user_rows, item_rows = rows_of(m), rows_of(m.T)
    expected = []
    for u, i in zip(users, items, strict=True):
        if u == n_users or i == n_items:
            expected.append(-2.0)
        elif kind == "user_cf":
            expected.append(oracle_score(lists.get(u, []), k, item_rows[i], task, -2.0))
        else:
            expected.append(oracle_score(lists.get(i, []), k, user_rows[u], task, -2.0))
    assert got == expected
    assert sum(e != -2.0 for e in expected) > 50  # the case is not all defaults


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("negative_at, unreadable_at", [(1500, 500), (500, 1500)])
def test_large_batch_raises_the_first_failing_pairs_error(
    tmp_path, random_setup, kind, negative_at, unreadable_at
):
    # A negative list id raises ValueError; the last row, whose entries are cut
    # off, panics when read. Whichever pair comes first in the batch wins,
    # although large batches are answered grouped by row.
    rng, n_users, n_items, m, _ = random_setup
    n_keys, n_ids = (n_users, n_users) if kind == "user_cf" else (n_items, n_items)
    model = load_model(
        tmp_path, kind, random_lists(rng, n_keys, n_ids, 12), user_rows=rows_of(m),
        item_rows=rows_of(m.T), k=6, truncate=1,
    )
    users = rng.integers(0, n_users - 1, size=2000).tolist()
    items = rng.integers(0, n_items - 1, size=2000).tolist()
    if kind == "user_cf":
        users[negative_at] = -1
        items[unreadable_at] = n_items - 1
    else:
        items[negative_at] = -1
        users[unreadable_at] = n_users - 1
    if negative_at < unreadable_at:
        with pytest.raises(ValueError, match=OUT_OF_RANGE):
            model.predict(users, items)
    else:
        raises_panic(lambda: model.predict(users, items), "index out of bounds")
    # The model answers the readable pairs afterwards, grouped or not.
    valid = [p for p in range(2000) if p not in (negative_at, unreadable_at)]
    got = model.predict([users[p] for p in valid], [items[p] for p in valid])
    one_by_one = [model.predict([users[p]], [items[p]])[0] for p in valid[:300]]
    assert got[:300] == one_by_one


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("filter_consumed", [False, True])
def test_recommend_matches_oracle(tmp_path, random_setup, kind, filter_consumed):
    rng, n_users, n_items, m, consumed = random_setup
    n_keys, n_ids = (n_users, n_users) if kind == "user_cf" else (n_items, n_items)
    lists = random_lists(rng, n_keys, n_ids, 8)
    k, n_rec = 4, 6
    user_rows = rows_of(m)
    model = load_model(
        tmp_path, kind, lists, user_rows=user_rows, item_rows=rows_of(m.T), k=k, consumed=consumed
    )
    users = [*range(n_users), n_users + 3]
    recs, report = model.recommend(users, n_rec, filter_consumed, False)
    expected_report = []
    for p, u in enumerate(users):
        skip = set(consumed.get(u, [])) if filter_consumed else set()
        scores = oracle_candidates(kind, lists, user_rows, u, k, skip) if u < n_users else {}
        best = sorted(scores.values(), reverse=True)[:n_rec]
        # Ties may come in any order, so compare scores, which fixes the ids up to ties.
        assert len(set(recs[p])) == len(recs[p]) == len(best)
        assert [scores[c] for c in recs[p]] == best
        if kind == "swing":
            expected_report.append(n_rec - len(best))
        elif not scores:
            expected_report.append(p)
    assert report == expected_report


# --- lists computed from interactions ------------------------------------------------


def test_item_cf_on_computed_similarities():
    # Items over users: item 0 = (1, 2), item 1 = (1, 0), item 2 = (0, 1). So item 0's
    # list is [2, 1] (2/sqrt5 > 1/sqrt5) and items 1 and 2 list only item 0.
    ui, ii = both_orientations(sp.csr_matrix([[1.0, 1.0, 0.0], [2.0, 0.0, 1.0]]))
    model = quibrel.ItemCF("rating", 1, 2, 3, 1, ui, ii, {0: [0, 1]}, 0.0)
    model.compute_similarities(False, 1)
    # A "rating" score from one neighbour is the user's value for it.
    assert model.predict([0, 1, 1], [2, 1, 0]) == [1.0, 2.0, 1.0]
    # k_sim = 1: user 0 gets item 2 (via item 0) and item 0 (via item 1) with
    # 2/sqrt5 > 1/sqrt5; item 1 ranks second in item 0's list and is never reached.
    assert model.recommend([0], 3, False, False) == ([[2, 0]], [])
    assert model.recommend([0], 3, True, False) == ([[2]], [])
