"""Offline evaluation: train/test splits of interaction logs and top-k ranking metrics.

Everything works on pandas DataFrames. Ids may be of any hashable type (int, str, mixed
objects); two ids match when Python's ``==`` says so, so ``1`` and ``1.0`` are one id and
``1`` and ``"1"`` are two. Missing ids (NaN, None) all count as one more id. Nothing here
loops over users in Python: ids become integer codes once and the rest is numpy.
"""

from __future__ import annotations

import math
from collections.abc import Hashable, Iterable, Sequence
from typing import Any, Final

import numpy as np
import numpy.typing as npt
import pandas as pd

__all__ = [
    "coverage",
    "evaluate",
    "filter_unknown",
    "ndcg_at_k",
    "precision_at_k",
    "random_split",
    "recall_at_k",
    "time_split",
]

_Codes = npt.NDArray[np.int64]

# Absorbs products such as 0.15 * 10 landing a hair below .5 before rounding half up.
_ROUND_EPS: Final = 1e-9


# ---------------------------------------------------------------------------------------------
# Shared checks and helpers


def _check_frame(data: object, name: str, columns: Sequence[str]) -> pd.DataFrame:
    if not isinstance(data, pd.DataFrame):
        raise TypeError(f"{name} must be a pandas DataFrame, not {type(data).__name__}")
    for col in columns:
        if col not in data.columns:
            raise KeyError(f"column {col!r} is missing from {name}")
    return data


def _check_test_size(test_size: float) -> None:
    if isinstance(test_size, bool) or not isinstance(test_size, int | float | np.number):
        raise TypeError(f"test_size must be a number, not {type(test_size).__name__}")
    if not 0.0 < float(test_size) < 1.0:
        raise ValueError(f"test_size must lie strictly between 0 and 1, got {test_size!r}")


def _check_k(k: int) -> int:
    if isinstance(k, bool) or not isinstance(k, int | np.integer):
        raise TypeError(f"k must be an integer, not {type(k).__name__}")
    if k < 1:
        raise ValueError(f"k must be at least 1, got {k}")
    return int(k)


def _codes(*columns: pd.Series[Any]) -> tuple[_Codes, int]:
    """Integer codes for the values of all the columns together, and the number of codes.

    Columns of one dtype are concatenated as they are (fast for int64 or str ids); columns of
    different dtypes go through object arrays, so that 3 in one and 3.0 in another still meet
    without a lossy cast (int64 and uint64 would otherwise meet as float64). Missing values
    (NaN, None) share one code.
    """
    present = [c for c in columns if len(c)]
    if not present:
        return np.empty(0, dtype=np.int64), 0
    if all(c.dtype == present[0].dtype for c in present):
        both = pd.concat(present, ignore_index=True)
    else:
        both = pd.Series(np.concatenate([c.to_numpy(dtype=object) for c in present]))
    codes, uniques = pd.factorize(both, use_na_sentinel=False)
    # Empty columns add no rows, so callers still slice the result by the columns' lengths.
    return np.asarray(codes, dtype=np.int64), len(uniques)


def _user_positions(codes: _Codes, order: npt.NDArray[np.intp]) -> tuple[_Codes, _Codes]:
    """For rows taken in ``order`` (grouped by code), each row's 0-based position in its group
    and its group's size, both in ``order``."""
    grouped = codes[order]
    n = len(grouped)
    if n == 0:
        return np.empty(0, dtype=np.int64), np.empty(0, dtype=np.int64)
    starts = np.flatnonzero(np.r_[True, grouped[1:] != grouped[:-1]])
    sizes = np.diff(np.r_[starts, n])
    pos = np.arange(n, dtype=np.int64) - np.repeat(starts, sizes)
    return pos, np.repeat(sizes, sizes).astype(np.int64)


def _sorted_unique(values: _Codes) -> _Codes:
    # np.unique goes through a hash table on recent numpy, which is several times slower here.
    ordered = np.sort(values)
    if len(ordered) == 0:
        return ordered
    return ordered[np.r_[True, ordered[1:] != ordered[:-1]]]


def _n_test(sizes: _Codes, test_size: float) -> _Codes:
    """Test rows for a user with ``sizes`` rows: test_size * n rounded half up, at most n - 1."""
    share = sizes.astype(np.float64) * float(test_size) + (0.5 + _ROUND_EPS)
    return np.minimum(np.floor(share).astype(np.int64), sizes - 1)


def _split(
    data: pd.DataFrame, test_mask: npt.NDArray[np.bool_]
) -> tuple[pd.DataFrame, pd.DataFrame]:
    return data.iloc[~test_mask].copy(), data.iloc[test_mask].copy()


# ---------------------------------------------------------------------------------------------
# Splits


def random_split(
    data: pd.DataFrame,
    test_size: float = 0.2,
    *,
    user_col: str = "user",
    seed: int | np.random.Generator | None = None,
) -> tuple[pd.DataFrame, pd.DataFrame]:
    """Hold out a random part of every user's interactions.

    A user with ``n`` rows gives ``round(test_size * n)`` of them, rounded half up and at most
    ``n - 1``, to the test part; which rows is random. So a user with one row stays wholly in
    train, every user with two or more keeps at least one train row, and a user whose share
    rounds to zero (two rows at ``test_size=0.2``) has no test rows.

    The same ``seed`` on the same frame gives the same split. Both parts are copies that keep
    the input's columns, dtypes, index labels and row order.

    Raises ``KeyError`` when ``user_col`` is missing, ``ValueError`` when ``test_size`` is not
    strictly between 0 and 1 or ``data`` has no rows.
    """
    _check_frame(data, "data", [user_col])
    _check_test_size(test_size)
    if data.empty:
        raise ValueError("data has no rows")
    users, _ = _codes(data[user_col])
    keys = np.random.default_rng(seed).random(len(users))
    order = np.lexsort((keys, users))
    pos, sizes = _user_positions(users, order)
    test = np.zeros(len(users), dtype=bool)
    test[order] = pos < _n_test(sizes, test_size)
    return _split(data, test)


def time_split(
    data: pd.DataFrame,
    test_size: float = 0.2,
    *,
    time_col: str = "timestamp",
    user_col: str = "user",
    by_user: bool = True,
) -> tuple[pd.DataFrame, pd.DataFrame]:
    """Hold out the latest interactions.

    With ``by_user=True`` each user's latest rows go to test, as many as
    :func:`random_split` would take (``round(test_size * n)`` half up, at most ``n - 1``).
    Rows of one user with equal times count as later the further down the frame they are.

    With ``by_user=False`` there is one cut time for everybody: with the ``n`` times sorted,
    ``m = round(test_size * n)`` (half up, kept between 1 and ``n - 1``), the cut is the
    time of the ``m``-th latest row, and every row at or after the cut goes to test. Rows
    sharing the cut time all go to test, so the test part can be larger than ``m`` rows (and
    takes everything when all times are equal). ``user_col`` is not read.

    The time column may hold anything that sorts (numbers, datetimes, ISO strings); missing
    times are an error. Both parts are copies that keep the input's columns, dtypes, index
    labels and row order.

    Raises ``KeyError`` when a column is missing, ``ValueError`` when ``test_size`` is not
    strictly between 0 and 1, ``data`` has no rows or a time is missing.
    """
    _check_frame(data, "data", [time_col, user_col] if by_user else [time_col])
    _check_test_size(test_size)
    if data.empty:
        raise ValueError("data has no rows")
    times = data[time_col]
    if times.isna().any():
        raise ValueError(f"column {time_col!r} has missing values")
    # Codes in sorted order of the times: any sortable dtype becomes plain integers.
    time_codes = np.asarray(pd.factorize(times, sort=True)[0], dtype=np.int64)
    n = len(time_codes)
    if by_user:
        users, _ = _codes(data[user_col])
        order = np.lexsort((time_codes, users))  # stable: equal times keep row order
        pos, sizes = _user_positions(users, order)
        test = np.zeros(n, dtype=bool)
        test[order] = pos >= sizes - _n_test(sizes, test_size)
    else:
        m = math.floor(n * float(test_size) + 0.5 + _ROUND_EPS)
        m = min(max(m, 1), max(n - 1, 1))
        cut = np.sort(time_codes)[n - m]
        test = time_codes >= cut
    return _split(data, test)


def filter_unknown(
    test: pd.DataFrame,
    train: pd.DataFrame,
    *,
    user_col: str = "user",
    item_col: str = "item",
) -> pd.DataFrame:
    """The rows of ``test`` whose user and item both appear in ``train``, as a copy.

    A model trained on ``train`` cannot score an id it has never seen: filtering those rows
    out measures the ranking of known items for known users; keeping them counts every unseen
    user or item as a miss. Index, dtypes and row order are kept.
    """
    _check_frame(test, "test", [user_col, item_col])
    _check_frame(train, "train", [user_col, item_col])
    n = len(test)
    users, _ = _codes(test[user_col], train[user_col])
    items, _ = _codes(test[item_col], train[item_col])
    known = np.isin(users[:n], users[n:]) & np.isin(items[:n], items[n:])
    return test.iloc[known].copy()


# ---------------------------------------------------------------------------------------------
# Metrics


def _top_k(
    recommendations: pd.DataFrame,
    users: _Codes,
    items: _Codes,
    n_items: int,
    k: int,
    rank_col: str,
) -> tuple[_Codes, _Codes, _Codes]:
    """User code, (user, item) pair key and 1-based rank of every row in a user's top k.

    Rows are ordered within each user by ``rank_col`` when present (equal ranks keep row
    order), otherwise by row order; a repeated (user, item) keeps its first place only; ranks
    are then renumbered 1, 2, ... per user, so gaps in the given ranks do not matter.
    """
    if rank_col in recommendations.columns:
        ranks = recommendations[rank_col].to_numpy(dtype=np.float64, na_value=np.nan)
        if np.isnan(ranks).any():
            raise ValueError(f"column {rank_col!r} of recommendations has missing values")
        # Output of a recommender comes grouped by user and ranked: skip the sort then. Codes
        # number users by first appearance, so grouped rows have non-decreasing codes.
        step = np.diff(users)
        if np.all((step > 0) | ((step == 0) & (np.diff(ranks) >= 0))):
            order = np.arange(len(users))
        else:
            order = np.lexsort((ranks, users))
    elif np.all(np.diff(users) >= 0):
        order = np.arange(len(users))
    else:
        order = np.argsort(users, kind="stable")
    u = users[order]
    # Pair keys fit in int64: n_users * n_items is below the square of the row count.
    pair = u * n_items + items[order]
    first = ~pd.Series(pair).duplicated(keep="first").to_numpy()
    u, pair = u[first], pair[first]
    pos, _ = _user_positions(u, np.arange(len(u)))
    keep = pos < k
    return u[keep], pair[keep], pos[keep] + 1


def _per_test_user(
    recommendations: pd.DataFrame,
    test: pd.DataFrame,
    k: int,
    user_col: str,
    item_col: str,
    rank_col: str,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Hits in the top k, DCG and number of distinct relevant items, one entry per test user."""
    k = _check_k(k)
    _check_frame(recommendations, "recommendations", [user_col, item_col])
    _check_frame(test, "test", [user_col, item_col])
    if test.empty:
        raise ValueError("test has no rows: there are no users to average over")
    n_rec = len(recommendations)
    users, n_users = _codes(recommendations[user_col], test[user_col])
    items, n_items = _codes(recommendations[item_col], test[item_col])

    relevant = _sorted_unique(users[n_rec:] * n_items + items[n_rec:])  # duplicates once
    n_relevant = np.bincount(relevant // n_items, minlength=n_users)
    test_users = np.flatnonzero(n_relevant)

    top_user, top_pair, top_rank = _top_k(
        recommendations, users[:n_rec], items[:n_rec], n_items, k, rank_col
    )
    at = np.searchsorted(relevant, top_pair)
    hit = relevant[np.minimum(at, len(relevant) - 1)] == top_pair
    hit_user = top_user[hit]
    # Recommendations of users outside test never hit, and the means only read test users.
    hits = np.bincount(hit_user, minlength=n_users)[test_users].astype(np.float64)
    gains = 1.0 / np.log2(top_rank[hit] + 1.0)
    dcg = np.bincount(hit_user, weights=gains, minlength=n_users)[test_users].astype(np.float64)
    return hits, dcg, n_relevant[test_users].astype(np.float64)


def _ndcg(dcg: npt.NDArray[np.float64], n_relevant: npt.NDArray[np.float64], k: int) -> float:
    ideal = np.cumsum(1.0 / np.log2(np.arange(2, k + 2, dtype=np.float64)))
    idcg = ideal[np.minimum(n_relevant, k).astype(np.int64) - 1]
    return float(np.mean(dcg / idcg))


def precision_at_k(
    recommendations: pd.DataFrame,
    test: pd.DataFrame,
    k: int = 10,
    *,
    user_col: str = "user",
    item_col: str = "item",
    rank_col: str = "rank",
) -> float:
    """Mean over test users of (relevant items in the top k) / k.

    The divisor is always ``k``: a list shorter than ``k`` cannot reach precision 1.

    How the inputs are read (the same for every metric here): ``recommendations`` has one row
    per recommended (user, item), and ``rank_col`` (1 = best) orders each user's list; without
    that column the row order does. Only the order matters: ranks are renumbered 1, 2, ... per
    user, equal ranks keep row order, and a repeated item counts once, at its best place.
    ``test`` holds the held-out (user, item) rows; a pair listed twice counts once.

    The mean runs over the users in ``test``. A test user with no recommendations counts as
    zero hits; recommendations for users not in ``test`` are ignored.

    Raises ``KeyError`` when a column is missing, ``ValueError`` when ``k < 1``, ``test`` has
    no rows or a rank is missing.
    """
    hits, _, _ = _per_test_user(recommendations, test, k, user_col, item_col, rank_col)
    return float(np.mean(hits)) / k


def recall_at_k(
    recommendations: pd.DataFrame,
    test: pd.DataFrame,
    k: int = 10,
    *,
    user_col: str = "user",
    item_col: str = "item",
    rank_col: str = "rank",
) -> float:
    """Mean over test users of (relevant items in the top k) / (the user's relevant items).

    The divisor is the user's number of distinct test items, even when it exceeds ``k``.

    Inputs, averaging and errors are as for :func:`precision_at_k`.
    """
    hits, _, n_relevant = _per_test_user(recommendations, test, k, user_col, item_col, rank_col)
    return float(np.mean(hits / n_relevant))


def ndcg_at_k(
    recommendations: pd.DataFrame,
    test: pd.DataFrame,
    k: int = 10,
    *,
    user_col: str = "user",
    item_col: str = "item",
    rank_col: str = "rank",
) -> float:
    """Mean over test users of normalised discounted cumulative gain, binary relevance.

    DCG sums ``1 / log2(rank + 1)`` over the relevant items in the top k; it is divided by the
    DCG of an ideal list, which puts ``min(k, relevant items)`` relevant items first.

    Inputs, averaging and errors are as for :func:`precision_at_k`.
    """
    _, dcg, n_relevant = _per_test_user(recommendations, test, k, user_col, item_col, rank_col)
    return _ndcg(dcg, n_relevant, _check_k(k))


def coverage(
    recommendations: pd.DataFrame,
    catalogue: int | Iterable[Hashable],
    k: int = 10,
    *,
    user_col: str = "user",
    item_col: str = "item",
    rank_col: str = "rank",
) -> float:
    """Fraction of the catalogue that appears in at least one user's top k.

    ``catalogue`` is either the number of items, or the item ids themselves (a list, set,
    array, ``pandas.Index`` or ``Series``; repeats count once). With ids, recommended items
    outside the catalogue are ignored. With a number, every distinct recommended item counts,
    and a number smaller than that count is an error. Every user's recommendations count,
    ranked as for :func:`precision_at_k`.

    Raises ``KeyError`` when a column is missing, ``ValueError`` when ``k < 1``, the catalogue
    is empty or smaller than the recommended items, ``TypeError`` for a string or bool
    catalogue.
    """
    k = _check_k(k)
    _check_frame(recommendations, "recommendations", [user_col, item_col])
    if isinstance(catalogue, str | bytes | bool):
        raise TypeError(
            "catalogue must be an item count or a collection of item ids, "
            f"not {type(catalogue).__name__}"
        )
    n_rec = len(recommendations)
    users, _ = _codes(recommendations[user_col])
    if isinstance(catalogue, int | np.integer):
        n_catalogue = int(catalogue)
        if n_catalogue < 1:
            raise ValueError(f"catalogue size must be at least 1, got {n_catalogue}")
        items, n_items = _codes(recommendations[item_col])
        _, pair, _ = _top_k(recommendations, users, items, max(n_items, 1), k, rank_col)
        n_covered = len(_sorted_unique(pair % max(n_items, 1)))
        if n_covered > n_catalogue:
            raise ValueError(
                f"catalogue size {n_catalogue} is smaller than the {n_covered} distinct items "
                "recommended"
            )
        return n_covered / n_catalogue
    ids = (
        pd.Series(catalogue)
        if isinstance(catalogue, pd.Series | pd.Index | np.ndarray)
        else pd.Series(list(catalogue))
    )
    if ids.empty:
        raise ValueError("catalogue is empty")
    items, n_items = _codes(recommendations[item_col], ids)
    _, pair, _ = _top_k(recommendations, users, items[:n_rec], n_items, k, rank_col)
    in_catalogue = _sorted_unique(items[n_rec:])
    return float(np.isin(in_catalogue, pair % n_items).sum()) / len(in_catalogue)


def evaluate(
    recommendations: pd.DataFrame,
    test: pd.DataFrame,
    k: int = 10,
    *,
    catalogue: int | Iterable[Hashable] | None = None,
    user_col: str = "user",
    item_col: str = "item",
    rank_col: str = "rank",
) -> dict[str, float]:
    """Precision, recall and NDCG at ``k`` in one pass, plus coverage when a catalogue is given.

    Returns ``{"precision": ..., "recall": ..., "ndcg": ...}`` and ``"coverage"`` with a
    catalogue; each value equals what the function of that name returns.
    """
    hits, dcg, n_relevant = _per_test_user(recommendations, test, k, user_col, item_col, rank_col)
    k = _check_k(k)
    result = {
        "precision": float(np.mean(hits)) / k,
        "recall": float(np.mean(hits / n_relevant)),
        "ndcg": _ndcg(dcg, n_relevant, k),
    }
    if catalogue is not None:
        result["coverage"] = coverage(
            recommendations, catalogue, k, user_col=user_col, item_col=item_col, rank_col=rank_col
        )
    return result
