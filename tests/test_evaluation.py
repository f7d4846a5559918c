"""quibrel.evaluation: splits and top-k metrics, checked against per-user Python oracles."""

import math

import numpy as np
import pandas as pd
import pytest
from quibrel import evaluation as ev


def oracle(recs, test, k, catalogue):
    """The metrics straight from their definitions, one user at a time."""
    relevant = {}
    for u, i in zip(test["user"], test["item"], strict=True):
        relevant.setdefault(u, set()).add(i)
    ranks = recs["rank"] if "rank" in recs else range(len(recs))
    lists = {}
    for row, (u, i, r) in enumerate(zip(recs["user"], recs["item"], ranks, strict=True)):
        lists.setdefault(u, []).append((r, row, i))
    tops = {}
    for u, entries in lists.items():
        items = []
        for _, _, i in sorted(entries):
            if i not in items:
                items.append(i)
        tops[u] = items[:k]
    precision = recall = ndcg = 0.0
    for u, rel in relevant.items():
        top = tops.get(u, [])
        hits = [pos for pos, i in enumerate(top, 1) if i in rel]
        precision += len(hits) / k
        recall += len(hits) / len(rel)
        ideal = sum(1 / math.log2(pos + 1) for pos in range(1, min(k, len(rel)) + 1))
        ndcg += sum(1 / math.log2(pos + 1) for pos in hits) / ideal
    n = len(relevant)
    covered = {i for top in tops.values() for i in top}
    return {
        "precision": precision / n,
        "recall": recall / n,
        "ndcg": ndcg / n,
        "coverage": len(covered & set(catalogue)) / len(set(catalogue)),
    }


def random_case(seed):
    """Shuffled lists with random (gapped, tied) ranks, users missing on either side, repeated
    pairs on both sides; odd seeds use mixed-type ids."""
    rng = np.random.default_rng(seed)
    users = list(range(25)) + (["u1", (1, "a"), 2.5] if seed % 2 else [])
    items = [f"i{j}" for j in range(30)] + ([7, None] if seed % 2 else [])
    rec_users = rng.choice(len(users), 300)
    recs = pd.DataFrame(
        {
            "user": pd.Series([users[j] for j in rec_users], dtype=object),
            "item": [items[j] for j in rng.choice(len(items), 300)],
            "rank": rng.integers(1, 8, 300) * 3,
        }
    )
    test = pd.DataFrame(
        {
            "user": [users[j] for j in rng.choice(len(users), 120)],
            "item": [items[j] for j in rng.choice(len(items), 120)],
        }
    )
    return recs, test, items[:20] + ["never"]


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("k", [1, 3, 10])
@pytest.mark.parametrize("layout", ["shuffled", "grouped", "ranked"])
@pytest.mark.parametrize("with_rank", [True, False])
def test_metrics_match_oracle(seed, k, layout, with_rank):
    recs, test, catalogue = random_case(seed)
    users = pd.factorize(recs["user"])[0]
    if layout == "grouped":  # a user's rows together, ranks in any order
        recs = recs.iloc[np.argsort(users, kind="stable")]
    elif layout == "ranked":  # and best first: the layout recommend() returns
        recs = recs.iloc[np.lexsort((recs["rank"], users))]
    if not with_rank:
        recs = recs.drop(columns="rank")
    expected = oracle(recs, test, k, catalogue)
    got = ev.evaluate(recs, test, k, catalogue=catalogue)
    assert got == pytest.approx(expected, rel=1e-12)
    assert ev.precision_at_k(recs, test, k) == got["precision"]
    assert ev.recall_at_k(recs, test, k) == got["recall"]
    assert ev.ndcg_at_k(recs, test, k) == got["ndcg"]
    assert ev.coverage(recs, pd.Index(catalogue), k) == got["coverage"]


def hand_case():
    # User 1: relevant {b, z} (b listed twice), list [a, b, c] -> at k=2 one hit, at rank 2.
    # User 2: relevant {d}, list [a, d] -> one hit at rank 2.
    # User 3: recommended but not in test -> ignored.  User 4: in test, no recommendations.
    recs = pd.DataFrame(
        {
            "user": [2, 1, 1, 3, 1, 2],
            "item": ["d", "c", "a", "x", "b", "a"],
            "rank": [5, 9, 1, 1, 4, 2],
        }
    )
    test = pd.DataFrame({"user": [1, 1, 2, 4, 1], "item": ["b", "z", "d", "a", "b"]})
    return recs, test


def test_hand_computed_metrics():
    recs, test = hand_case()
    g = 1 / math.log2(3)
    expected = {
        "precision": (1 + 1 + 0) / 3 / 2,
        "recall": (1 / 2 + 1 + 0) / 3,
        "ndcg": (g / (1 + g) + g / 1 + 0) / 3,
        "coverage": 3 / 5,  # a, b, d of the five; x is outside the catalogue
    }
    assert ev.evaluate(recs, test, 2, catalogue=list("abcde")) == pytest.approx(expected)
    # With the rows sorted by rank, dropping the rank column changes nothing; neither do
    # recommendations for a user outside test.
    by_rank = recs.sort_values("rank", kind="stable").drop(columns="rank")
    extra = pd.DataFrame({"user": [9] * 3, "item": ["b", "d", "z"]})
    assert ev.evaluate(pd.concat([by_rank, extra]), test, 2) == pytest.approx(
        {m: expected[m] for m in ("precision", "recall", "ndcg")}
    )
    # k beyond every list: still one hit each for users 1 and 2, and the divisor stays k.
    assert ev.precision_at_k(recs, test, 5) == pytest.approx(2 / 3 / 5)
    assert ev.coverage(recs, 10, k=1) == 0.2  # a and x
    assert ev.coverage(recs, {"a", "b"}, k=1) == 0.5


def test_ids_match_by_value_across_dtypes():
    test = pd.DataFrame({"user": [1, 2], "item": ["1", 1]})
    recs = pd.DataFrame({"user": np.array([1, 2], dtype=np.uint64), "item": [1, 1.0]})
    # "1" (str) is not 1 (int): user 1 misses, user 2 hits; 1 and 1.0 are equal ids.
    assert ev.precision_at_k(recs, test, 1) == 0.5
    strs = pd.DataFrame({"user": ["x", "y"], "item": ["p", "q"]})
    assert ev.recall_at_k(strs.astype("string"), strs.astype(object), 1) == 1.0


def split_data(seed):
    rng = np.random.default_rng(seed)
    n = 600
    return pd.DataFrame(
        {
            "user": [f"u{j}" for j in rng.zipf(1.6, n) % 40],
            "item": rng.integers(0, 50, n),
            "timestamp": rng.integers(0, 30, n),  # many ties
            "rating": rng.random(n).astype(np.float32),
        },
        index=rng.permutation(n) * 7,
    )


def expected_test_count(n, test_size):
    return min(math.floor(test_size * n + 0.5), n - 1)


def check_partition(data, train, test):
    assert train.dtypes.equals(data.dtypes) and test.dtypes.equals(data.dtypes)
    assert not set(train.index) & set(test.index)
    pd.testing.assert_frame_equal(pd.concat([train, test]).loc[data.index], data)


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("test_size", [0.1, 0.25, 0.5, 0.9])
def test_per_user_splits(seed, test_size):
    data = split_data(seed)
    first = ev.random_split(data, test_size, seed=seed)
    by_time = ev.time_split(data, test_size)
    for train, test in (first, by_time):
        check_partition(data, train, test)
        for user, rows in data.groupby("user"):
            n_test = (test["user"] == user).sum()
            assert n_test == expected_test_count(len(rows), test_size)
            assert (train["user"] == user).sum() >= 1
    again = ev.random_split(data, test_size, seed=seed)
    assert first[1].index.equals(again[1].index)
    assert not first[1].index.equals(ev.random_split(data, test_size, seed=seed + 10)[1].index)
    # Per user, each test row is later than each train row: by time, then by frame position.
    row = pd.Series(np.arange(len(data)), index=data.index)

    def in_order(part, user):
        rows = part[part["user"] == user]
        return sorted(zip(rows["timestamp"], row[rows.index], strict=True))

    for user in by_time[1]["user"].unique():
        assert in_order(by_time[0], user)[-1] < in_order(by_time[1], user)[0]


def test_global_time_split():
    data = pd.DataFrame({"timestamp": [3, 1, 4, 3, 2], "x": list("abcde")})
    # Five rows at 0.4: two wanted; the cut is the second-latest time, 3, which both rows
    # at time 3 share, so three rows go to test.
    train, test = ev.time_split(data, 0.4, by_user=False)
    assert list(test["x"]) == ["a", "c", "d"] and list(train["x"]) == ["b", "e"]
    # Too few rows for the fraction: still one test row, and train keeps one.
    train, test = ev.time_split(data.iloc[:2], 0.1, by_user=False)
    assert list(test["x"]) == ["a"] and list(train["x"]) == ["b"]
    data = split_data(1)
    train, test = ev.time_split(data, 0.2, by_user=False)
    check_partition(data, train, test)
    assert train["timestamp"].max() < test["timestamp"].min()
    assert len(test) >= 120
    times = pd.to_datetime(data["timestamp"], unit="D", utc=True)
    dated = ev.time_split(data.assign(timestamp=times), 0.2, by_user=False)[1]
    assert dated.index.equals(test.index)


def test_filter_unknown():
    train = pd.DataFrame({"user": [1, "a"], "item": ["p", 2]})
    test = pd.DataFrame({"user": [1, "a", 1, 3], "item": [2, "p", "q", "p"]}, index=[5, 6, 7, 8])
    assert list(ev.filter_unknown(test, train).index) == [5, 6]


def test_bad_input():
    data = split_data(0)
    recs, test = hand_case()
    with pytest.raises(KeyError, match="'who'"):
        ev.random_split(data, user_col="who")
    with pytest.raises(KeyError, match="'when'"):
        ev.time_split(data, time_col="when")
    with pytest.raises(KeyError, match="'item'"):
        ev.precision_at_k(recs, test.drop(columns="item"))
    for size in (0, 1, -0.5, 1.5, float("nan")):
        with pytest.raises(ValueError, match="test_size"):
            ev.random_split(data, size)
        with pytest.raises(ValueError, match="test_size"):
            ev.time_split(data, size, by_user=False)
    for split in (ev.random_split, ev.time_split):
        with pytest.raises(ValueError, match="no rows"):
            split(data.iloc[:0])
    with pytest.raises(ValueError, match="missing"):
        ev.time_split(data.assign(timestamp=data["timestamp"].where(data["item"] > 2)))
    with pytest.raises(ValueError, match="k must"):
        ev.ndcg_at_k(recs, test, 0)
    with pytest.raises(ValueError, match="no rows"):
        ev.recall_at_k(recs, test.iloc[:0])
    with pytest.raises(ValueError, match="smaller than the 4"):
        ev.coverage(recs, 3, k=2)
    with pytest.raises(ValueError, match="empty"):
        ev.coverage(recs, [])
    with pytest.raises(TypeError):
        ev.coverage(recs, "abc")
