"""The library layer (quibrel.recommenders) on hostile input: DataFrames whose id and value
columns hold missing, non-finite, huge, mixed-type and unhashable entries in every pandas dtype;
scipy matrices and arrays in every format (unsorted, repeated, explicit zeros, empty dimensions,
impossible shapes, indices scipy never checked); answers asked for unknown ids and huge counts;
damaged and hand-made recommender files.

Every call must end in a result or an ordinary exception (ValueError, TypeError, KeyError,
OSError), never an internal failure or a dead interpreter. A recommender that fits must answer
consistently (known items only, ranks 1..k, scores in order, one prediction per pair), answer
alike after save + load and pickling, and be left as it was by a partial_fit that fails."""

from __future__ import annotations

import contextlib
import datetime
import io
import itertools
import json
import math
import os
import pickle
import tempfile
import zipfile

import numpy as np
import pandas as pd
import pytest
import scipy.sparse as sp
import support
from hypothesis import given
from hypothesis import strategies as st
from quibrel import _native
from quibrel.recommenders import (
    ItemCFRecommender,
    SwingRecommender,
    UserCFRecommender,
    load,
)

SCRATCH = tempfile.mkdtemp(prefix="quibrel-fuzz-library-")
ORDINARY = (ValueError, TypeError, KeyError, OSError)
EXACT = hasattr(_native, "exact_update")  # partial_fit(exact=True) needs it

support.ALLOWED.update(
    dict.fromkeys(
        (
            "lib.fit",
            "lib.partial_fit",
            "lib.recommend",
            "lib.predict",
            "lib.similar",
            "lib.save",
            "lib.load",
        ),
        ORDINARY,
    )
)


def call(target, key, fn, *args, **kwargs):
    return support.call(target, key, lambda: fn(*args, **kwargs))


# ---- hostile ids ---------------------------------------------------------------------------

HUGE_INTS = [2**63 - 1, -(2**63), 2**64 - 1, 2**31 - 1, 2**31, -(2**31), 10**30]
ODD_FLOATS = [math.nan, math.inf, -math.inf, -0.0, 0.5, 1e300, -1e300, 5e-324]

ID_KINDS = {
    "int": st.integers(-3, 9),
    "huge int": st.sampled_from(HUGE_INTS),
    "float": st.one_of(st.sampled_from(ODD_FLOATS), st.floats(-10, 10)),
    "str": st.text(max_size=3),
    "bytes": st.binary(max_size=3),
    "bool": st.booleans(),
    "datetime": st.datetimes(datetime.datetime(1700, 1, 1), datetime.datetime(2200, 1, 1)),
    "tuple": st.tuples(st.integers(0, 3), st.text(max_size=2)),
    "missing": st.sampled_from([None, math.nan, pd.NA, pd.NaT]),
    "list": st.lists(st.integers(0, 3), max_size=2),  # unhashable
}
MIXED = st.one_of(*ID_KINDS.values())


@st.composite
def id_pool(draw):
    """A few distinct-looking ids of one kind (sometimes of every kind): rows draw from it, so
    that users and items repeat and the models have pairs to score."""
    kinds = draw(st.lists(st.sampled_from(sorted(ID_KINDS)), min_size=1, max_size=3))
    if draw(st.booleans()):
        kinds = [draw(st.sampled_from(["int", "str", "huge int"]))]  # plenty of well-formed ones
    elements = st.one_of(*(ID_KINDS[k] for k in kinds))
    return draw(st.lists(elements, min_size=1, max_size=6))


def id_column(draw, pool, n):
    values = [pool[draw(st.integers(0, len(pool) - 1))] for _ in range(n)]
    dtype = draw(st.sampled_from(["infer", "object", "category", "Int64", "string", "datetime"]))
    try:
        if dtype == "infer":
            return pd.Series(values, dtype=None if values else object)
        if dtype == "object":
            return pd.Series(values, dtype=object)
        if dtype == "category":
            return pd.Series(pd.Categorical(values))
        if dtype == "datetime":
            return pd.Series(pd.to_datetime(values))
        return pd.Series(pd.array(values, dtype=dtype))
    except (TypeError, ValueError, OverflowError, pd.errors.OutOfBoundsDatetime):
        return pd.Series(values, dtype=object)  # pandas refuses: keep the objects


# ---- hostile values ------------------------------------------------------------------------

GOOD_VALUES = [1.0, 2.0, 0.5, 4.0, 3.0, 1.0, 2.0]
BAD_VALUES = [
    math.nan,
    math.inf,
    -math.inf,
    3.4028235e38,  # the largest float32
    3.5e38,  # just beyond it
    1e30,
    -1e30,
    1e20,
    1e15,
    2.0**48,
    -(2.0**48),
    1e-45,
    5e-324,
    0.0,
    -0.0,
    -3.0,
]


def value_column(draw, n):
    values = [
        draw(st.sampled_from(BAD_VALUES if draw(st.integers(0, 4)) == 0 else GOOD_VALUES))
        for _ in range(n)
    ]
    dtype = draw(
        st.sampled_from(
            [
                "float64",
                "float64",
                "float32",
                "int64",
                "bool",
                "Int64",
                "Float64",
                "object",
                "string",
                "category",
                "datetime",
                "complex",
            ]
        )
    )
    try:
        if dtype == "float32":
            with np.errstate(over="ignore"):
                return pd.Series(np.asarray(values, dtype=np.float32))
        if dtype in ("int64", "bool"):
            return pd.Series(np.nan_to_num(values, posinf=7, neginf=-7).astype(dtype))
        if dtype in ("Int64", "Float64"):
            arr = [None if math.isnan(v) else v for v in values]
            if dtype == "Int64":
                arr = [None if v is None or not math.isfinite(v) else int(v) for v in arr]
            return pd.Series(pd.array(arr, dtype=dtype))
        if dtype == "object":
            return pd.Series(values + [draw(MIXED)] * draw(st.integers(0, 1)), dtype=object)[:n]
        if dtype == "string":
            return pd.Series(pd.array([str(v) for v in values], dtype="string"))
        if dtype == "category":
            return pd.Series(pd.Categorical(values))
        if dtype == "datetime":
            return pd.Series(pd.to_datetime(np.arange(n), unit="s"))
        if dtype == "complex":
            return pd.Series(np.asarray(values, dtype=complex) * (1 + 1j))
        return pd.Series(values, dtype=np.float64)
    except (TypeError, ValueError, OverflowError):
        return pd.Series(values, dtype=np.float64)


@st.composite
def frames(draw, user_pool=None, item_pool=None):
    """(frame, user_col, item_col, value_col): one row per interaction, hostile anywhere."""
    n = draw(st.integers(0, 12))
    users = user_pool if user_pool is not None else draw(id_pool())
    items = item_pool if item_pool is not None else draw(id_pool())
    frame = pd.DataFrame(
        {"user": id_column(draw, users, n), "item": id_column(draw, items, n)}, index=range(n)
    )
    value_col = None
    if draw(st.booleans()):
        frame["value"] = value_column(draw, n).to_numpy()[:n] if n else []
        value_col = "value"
    if n and draw(st.integers(0, 4)) == 0:
        # Every pair twice, reversed the second time (unless pandas cannot join the categories).
        with contextlib.suppress(TypeError, ValueError):
            frame = pd.concat([frame, frame.iloc[::-1]])
    index = draw(st.sampled_from(["range", "repeated", "labels", "unsorted"]))
    if index == "repeated":
        frame.index = [0] * len(frame)
    elif index == "labels":
        frame.index = [f"r{k}" for k in range(len(frame))]
    elif index == "unsorted":
        frame.index = list(range(len(frame)))[::-1]
    user_col, item_col = "user", "item"
    misuse = draw(st.integers(0, 12))
    if misuse == 0:
        item_col = "nope"  # a missing column
    elif misuse == 1:
        value_col = "user"  # ids as values
    elif misuse == 2:
        user_col = item_col = "user"  # one column for both roles
    elif misuse == 3:
        frame = frame.rename(columns={"value": "user"}) if value_col else frame  # duplicate name
    return frame, user_col, item_col, value_col


# ---- hostile sparse input ------------------------------------------------------------------

FORMATS = ["coo", "csr", "csc", "dok", "lil", "bsr", "dia", "csr-raw"]
DTYPES = [
    np.float32,
    np.float64,
    np.int8,
    np.int64,
    np.uint64,
    np.bool_,
    np.complex64,
    np.longdouble,
]


@st.composite
def sparse_inputs(draw):
    """A scipy sparse matrix or array, possibly non-canonical or with impossible contents."""
    shape = (draw(st.integers(0, 7)), draw(st.integers(0, 7)))
    if draw(st.integers(0, 15)) == 0:
        # More rows or columns than dense ids exist: refused before anything is allocated.
        big = draw(st.sampled_from([2**31 - 1, 2**31, 2**40]))
        shape = (big, shape[1]) if draw(st.booleans()) else (shape[0], big)
    n = draw(st.integers(0, 10)) if min(shape) > 0 else 0
    rows = [draw(st.integers(0, min(shape[0], 9) - 1)) for _ in range(n)]
    cols = [draw(st.integers(0, min(shape[1], 9) - 1)) for _ in range(n)]
    bad = draw(st.integers(0, 5)) == 0
    values = [draw(st.sampled_from(BAD_VALUES if bad else GOOD_VALUES)) for _ in range(n)]
    dtype = draw(st.sampled_from(DTYPES))
    with np.errstate(all="ignore"):
        data = np.asarray(values, dtype=np.float64)
        if np.dtype(dtype).kind in "iub":
            data = np.nan_to_num(data, posinf=9, neginf=-9).clip(-100, 100)
        data = data.astype(dtype)
    fmt = draw(st.sampled_from(FORMATS))
    array = draw(st.booleans())
    coo_cls = sp.coo_array if array else sp.coo_matrix
    m = coo_cls(
        (data, (np.asarray(rows, dtype=np.int64), np.asarray(cols, dtype=np.int64))), shape=shape
    )
    if fmt == "csr-raw" and max(shape) < 2**20:
        # Built from parts: unsorted and repeated columns within a row, as given.
        order = sorted(range(n), key=lambda k: rows[k])
        indptr = np.searchsorted(np.asarray(sorted(rows), dtype=np.int64), np.arange(shape[0] + 1))
        csr_cls = sp.csr_array if array else sp.csr_matrix
        m = csr_cls(
            (data[order], np.asarray(cols, dtype=np.int32)[order], indptr.astype(np.int32)),
            shape=shape,
        )
    elif fmt not in ("coo", "csr-raw") and max(shape) < 2**20:
        m = m.asformat(fmt)
    if n and draw(st.integers(0, 10)) == 0 and m.format == "coo":
        # Indices scipy checked at construction, damaged afterwards.
        which = draw(st.sampled_from(["row", "col"]))
        getattr(m, which)[draw(st.integers(0, n - 1))] = draw(st.sampled_from([-1, 2**30, 7]))
    return m


# ---- properties of the answers -------------------------------------------------------------


def consumed_pairs(rec, data, user_col="user", item_col="item"):
    """Dense (user, item) pairs of a fitted input, through the recommender's own id maps."""
    if sp.issparse(data):
        coo = data.tocoo()
        u, i = rec._users.lookup(coo.row), rec._items.lookup(coo.col)
    else:
        u = rec._users.lookup(pd.Index(data[user_col].to_numpy(), tupleize_cols=False))
        i = rec._items.lookup(pd.Index(data[item_col].to_numpy(), tupleize_cols=False))
    assert (u >= 0).all() and (i >= 0).all(), "an input id was not registered"
    return set(zip(u.tolist(), i.tolist(), strict=True))


def runs(frame, n):
    """Splits an answer frame into its per-request runs, checking the ranks on the way."""
    rank = frame["rank"].to_numpy()
    assert frame["rank"].dtype == np.int64 and frame["score"].dtype == np.float32
    starts = np.flatnonzero(rank == 1)
    assert len(rank) == 0 or starts[0] == 0, "ranks must start at 1"
    bounds = np.append(starts, len(rank))
    for a, b in itertools.pairwise(bounds):
        assert (rank[a:b] == np.arange(1, b - a + 1)).all(), f"ranks {rank[a:b]}"
        assert b - a <= n
        yield a, b


def check_recommendations(rec, frame, requested, n, random, filter_consumed, consumed):
    assert list(frame.columns) == ["user", "item", "score", "rank"]
    items = rec._items.lookup(pd.Index(frame["item"].to_numpy(), tupleize_cols=False))
    assert (items >= 0).all(), "an unknown item was recommended"
    users = rec._users.lookup(pd.Index(frame["user"].to_numpy(), tupleize_cols=False))
    scores = frame["score"].to_numpy()
    assert np.isfinite(scores).all(), f"scores {scores}"
    n_runs = 0
    for a, b in runs(frame, n):
        n_runs += 1
        assert len(set(items[a:b].tolist())) == b - a, "an item twice in one list"
        assert len(set(users[a:b].tolist())) == 1, "a list mixes users"
        if not random:
            assert (np.diff(scores[a:b]) <= 0).all(), f"scores out of order {scores[a:b]}"
        if filter_consumed and users[a] >= 0:
            assert not {(users[a], i) for i in items[a:b].tolist()} & consumed
    assert n_runs <= len(requested)


def check_neighbours(frame, ids, n, col):
    assert list(frame.columns) == [col, "neighbour", "score", "rank"]
    keys = ids.lookup(pd.Index(frame[col].to_numpy(), tupleize_cols=False))
    neigh = ids.lookup(pd.Index(frame["neighbour"].to_numpy(), tupleize_cols=False))
    assert (keys >= 0).all() and (neigh >= 0).all()
    scores = frame["score"].to_numpy()
    assert not np.isnan(scores).any()
    for a, b in runs(frame, n):
        assert (np.diff(scores[a:b]) <= 0).all()
        assert (neigh[a:b] != keys[a]).all(), "an entity is its own neighbour"


def answers(rec):
    """Everything a recommender answers for its own ids, for comparisons across copies."""
    users, items = list(rec.user_ids), list(rec.item_ids)
    out = {
        "recommend": rec.recommend(users, n=4),
        "predict": rec.predict(users, (items * len(users))[: len(users)]),
        "params": rec.get_params(),
        "sizes": (rec.n_users, rec.n_items),
    }
    if isinstance(rec, UserCFRecommender):
        out["similar"] = rec.similar_users(users, n=3)
    else:
        out["similar"] = rec.similar_items(items, n=3)
    return out


def assert_same_answers(a, b):
    assert a["params"] == b["params"] and a["sizes"] == b["sizes"]
    np.testing.assert_array_equal(a["predict"], b["predict"])
    for name in ("recommend", "similar"):
        x, y = a[name], b[name]
        assert len(x) == len(y), name
        np.testing.assert_array_equal(x["score"].to_numpy(), y["score"].to_numpy())
        np.testing.assert_array_equal(x["rank"].to_numpy(), y["rank"].to_numpy())
        for col in x.columns[:2]:
            # Ids compare as values: a file may give back 1 where the frame held np.int64(1).
            assert x[col].tolist() == y[col].tolist(), name


# ---- the harnesses -------------------------------------------------------------------------

CLASSES = st.sampled_from([ItemCFRecommender, UserCFRecommender, SwingRecommender])


COUNTS = [0, -1, 2**31, 2**63, 2**64, 10**30, True, 1.5, "3", np.int64(2), np.uint64(2**64 - 1)]
FLOATS = [
    0.0,
    -1.0,
    -2.0,
    -0.5,
    1e-38,
    1e-45,
    3.4e38,
    3.5e38,
    1e300,
    -1e300,
    math.nan,
    math.inf,
    True,
    "1",
    np.float32(2.5),
    7,
]


def setting(draw, good, bad):
    return draw(st.sampled_from(bad)) if draw(st.integers(0, 24)) == 0 else draw(good)


@st.composite
def recommenders(draw):
    """A recommender with sensible settings, now and then one hostile setting."""
    cls = draw(CLASSES)
    kwargs = {"default_pred": setting(draw, st.sampled_from([0.0, 1.0, -2.0]), FLOATS)}
    if cls is SwingRecommender:
        kwargs["top_k"] = setting(draw, st.integers(1, 5), COUNTS)
        kwargs["alpha"] = setting(draw, st.sampled_from([1.0, 0.0, 0.5]), FLOATS)
        kwargs["max_cache_num"] = setting(draw, st.sampled_from([0, 9]), COUNTS)
    else:
        kwargs["k_sim"] = setting(draw, st.integers(1, 5), COUNTS)
        kwargs["min_common"] = setting(draw, st.integers(1, 2), COUNTS)
        kwargs["task"] = setting(draw, st.sampled_from(["ranking", "rating"]), ["other", 1, None])
    threads = setting(draw, st.sampled_from([None, 1, 2]), COUNTS)
    return cls(num_threads=threads, **kwargs)


def probe_ids(draw, known):
    """Ids to ask about: known ones, unknown ones and junk."""
    pool = list(known)[:6] + [draw(MIXED) for _ in range(draw(st.integers(0, 2)))]
    return [pool[draw(st.integers(0, len(pool) - 1))] for _ in range(draw(st.integers(0, 6)))]


def exercise(rec, data, consumed, draw, key):
    """Every answer on a fitted recommender, checked."""
    users = probe_ids(draw, rec.user_ids)
    items = probe_ids(draw, rec.item_ids)
    n = draw(st.sampled_from([1, 3, 2**31, 2**63, 2**64 - 1, 2**64, 2**64 + 1, 0, -1]))
    random = draw(st.booleans())
    filt = draw(st.booleans())
    unknown = draw(st.sampled_from(["error", "skip", "popular", "bogus"]))
    got = call(
        "lib.recommend",
        key,
        rec.recommend,
        users,
        n=n,
        filter_consumed=filt,
        random=random,
        unknown=unknown,
    )
    if isinstance(got, pd.DataFrame):
        check_recommendations(rec, got, users, n, random, filt, consumed)
        if n >= rec.n_items and not random and unknown != "popular":
            # A count beyond the catalogue gives every candidate, as any large count does.
            again = rec.recommend(users, n=rec.n_items + 1, filter_consumed=filt, unknown=unknown)
            assert len(again) == len(got), "a huge n lost recommendations"
    # Every known user, every way: the full answer must hold together.
    full = rec.recommend(list(rec.user_ids), n=5, random=random)
    check_recommendations(rec, full, list(rec.user_ids), 5, random, True, consumed)

    pairs_items = (items * (len(users) // max(len(items), 1) + 1))[: len(users)]
    if draw(st.integers(0, 5)) == 0:
        pairs_items = pairs_items[:-1] if pairs_items else [0]  # lengths disagree
    for mode in ("error", "default"):
        got = call("lib.predict", key, rec.predict, users, pairs_items, unknown=mode)
        if isinstance(got, np.ndarray):
            assert got.shape == (len(users),) and got.dtype == np.float32
            # A "rating" score is a similarity-weighted mean: 0/0 when the similarities of the
            # qualifying neighbours are all 0 (the engine's rule). Nothing else may be NaN.
            finite = np.isfinite(got) | (np.isnan(got) & (getattr(rec, "task", "") == "rating"))
            assert finite.all(), f"predictions {got}"

    ids, what = (
        (rec._users, "users") if isinstance(rec, UserCFRecommender) else (rec._items, "items")
    )
    method = rec.similar_users if isinstance(rec, UserCFRecommender) else rec.similar_items
    asked = users if what == "users" else items
    got = call("lib.similar", key, method, asked, n=n)
    if isinstance(got, pd.DataFrame):
        check_neighbours(got, ids, n, what[:-1])


def fit(rec, data, cols, key):
    user_col, item_col, value_col = cols
    return call(
        "lib.fit", key, rec.fit, data, user_col=user_col, item_col=item_col, value_col=value_col
    )


@support.fuzz_settings(150)
@given(recommenders(), st.one_of(frames(), sparse_inputs()), st.data())
def test_fuzz_library_fit_and_answers(capfd, rec, source, data):
    if sp.issparse(source):
        batch, cols = source, ("user", "item", None)
        key = f"{type(rec).__name__}:sparse:{source.format}:{source.shape}:{source.nnz}"
    else:
        batch, cols = source[0], source[1:]
        key = f"{type(rec).__name__}:frame:{batch.to_dict('list')!r}:{cols}"
    fitted = fit(rec, batch, cols, key)
    if isinstance(fitted, BaseException):
        assert not rec.is_fitted
        return
    assert fitted is rec and rec.is_fitted
    assert len(rec.user_ids) == rec.n_users and len(rec.item_ids) == rec.n_items
    assert pd.Index(rec.user_ids).is_unique and pd.Index(rec.item_ids).is_unique
    if sp.issparse(batch):
        assert (rec.n_users, rec.n_items) == batch.shape
    consumed = consumed_pairs(rec, batch, cols[0], cols[1])
    exercise(rec, batch, consumed, data.draw, key)

    # A second batch, hostile too, folded in; ids overlap the first batch's.
    before = answers(rec)
    n_users0, users0 = rec.n_users, rec.user_ids.copy()
    if data.draw(st.booleans()):
        second = data.draw(sparse_inputs())
        cols2 = ("user", "item", None)
    else:
        pools = (list(rec.user_ids)[:4] or [0], list(rec.item_ids)[:4] or [0])
        if data.draw(st.booleans()):
            pools = (pools[0] + data.draw(id_pool()), pools[1] + data.draw(id_pool()))
        second, *cols2 = data.draw(frames(*pools))
    exact = EXACT and data.draw(st.booleans())
    result = call(
        "lib.partial_fit",
        key,
        rec.partial_fit,
        second,
        user_col=cols2[0],
        item_col=cols2[1],
        value_col=cols2[2],
        exact=exact,
    )
    if isinstance(result, BaseException):
        assert_same_answers(before, answers(rec))  # a refused batch changes nothing
    else:
        assert rec.n_users >= n_users0
        assert list(rec.user_ids[:n_users0]) == list(users0), "dense ids moved"
        consumed |= consumed_pairs(rec, second, cols2[0], cols2[1])
        exercise(rec, second, consumed, data.draw, key)

    # Copies answer alike: pickling always works, files hold ids of the four plain types.
    assert_same_answers(answers(rec), answers(pickle.loads(pickle.dumps(rec))))
    path = os.path.join(SCRATCH, "fit.qb")
    if not isinstance(call("lib.save", key, rec.save, path), BaseException):
        assert_same_answers(answers(rec), answers(load(path)))
    capfd.readouterr()


# ---- files ---------------------------------------------------------------------------------


def saved_files():
    """One valid file per class, with ids of each storable layout."""
    frame = pd.DataFrame(
        {
            "user": ["a", "b", "a", "c", "c", "b", "d"],
            "item": [1, 2, 2, 1, 3, 3, 4],
            "value": [1.0, 2.0, 3.0, 1.0, 5.0, 2.0, 1.0],
        }
    )
    mixed = frame.assign(item=[1, "x", "x", 1, 2.5, 2.5, True])
    out = {}
    for cls in (ItemCFRecommender, UserCFRecommender, SwingRecommender):
        for name, f in (("plain", frame), ("mixed", mixed)):
            path = os.path.join(SCRATCH, f"{cls.__name__}-{name}.qb")
            cls(num_threads=1).fit(f, value_col="value").save(path)
            with open(path, "rb") as fh:
                out[f"{cls.__name__}-{name}"] = fh.read()
    return out


SAVED = saved_files()


def members(blob):
    with zipfile.ZipFile(io.BytesIO(blob)) as z:
        return {info.filename: z.read(info) for info in z.infolist()}


def rezip(parts):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", compression=zipfile.ZIP_STORED) as z:
        for name, blob in parts.items():
            z.writestr(name, blob)
    return out.getvalue()


def npy(array):
    out = io.BytesIO()
    np.save(out, array, allow_pickle=True)
    return out.getvalue()


HEADER_EDITS = [
    ("class", ["ItemCFRecommender"]),
    ("class", "Recommender"),
    ("class", None),
    ("version", 2),
    ("version", "1"),
    ("format", "other"),
    ("params", None),
    ("params", ["k_sim"]),
    ("params", {"k_sim": -1}),
    ("params", {"k_sim": "x", "bogus": 1}),
    ("params", {}),
    ("user_ids", "pkl"),
    ("user_ids", "../x"),
    ("item_ids", "json"),
    ("item_ids", "npy"),
    ("user_ids", 3),
]
MEMBER_CONTENT = [
    b"",
    b"[]",
    b"{}",
    b'[["int", "x"]]',
    b'[["float", 1e999]]',
    b'[["str", 1], ["str", 1]]',
    b'[["bool", 1], ["int", 1]]',
    b'[["nope", 1]]',
    b'[["int"]]',
    b"null",
    npy(np.arange(3)),
    npy(np.arange(40)),
    npy(np.zeros((2, 2))),
    npy(np.array(5)),
    npy(np.array([1.5, math.nan, -1.0])),
    npy(np.array(["a", "b", "a"])),
    npy(np.array([-(2**40), 7, 3, 1], dtype=np.int64)),
    npy(np.array([object(), 1], dtype=object)),
    b"\x93NUMPY\x01\x00\xff\xff{'descr': '<i8'",
]


@st.composite
def damaged_files(draw):
    names = sorted(SAVED)
    base = SAVED[draw(st.sampled_from(names))]
    how = draw(st.sampled_from(["bytes", "members", "swap"]))
    if how == "bytes":
        raw = bytearray(base)
        for _ in range(draw(st.integers(1, 3))):
            op = draw(st.sampled_from(["flip", "cut", "byte", "append", "insert"]))
            at = draw(st.integers(0, max(len(raw) - 1, 0)))
            if op == "flip" and raw:
                raw[at] ^= 1 << draw(st.integers(0, 7))
            elif op == "cut":
                del raw[at:]
            elif op == "byte" and raw:
                raw[at] = draw(st.integers(0, 255))
            elif op == "append":
                raw += draw(st.binary(max_size=16))
            else:
                raw[at:at] = draw(st.binary(min_size=1, max_size=8))
        return bytes(raw)
    parts = members(base)
    if how == "swap":
        # Members of another valid file: counts and ids that disagree with the engine's.
        other = members(SAVED[draw(st.sampled_from(names))])
        for name in draw(st.lists(st.sampled_from(sorted(other)), min_size=1, max_size=3)):
            parts[name] = other[name]
        return rezip(parts)
    for _ in range(draw(st.integers(1, 3))):
        op = draw(st.sampled_from(["header", "content", "drop", "engine"]))
        if op == "header":
            try:
                header = json.loads(parts["recommender.json"])
                field, value = draw(st.sampled_from(HEADER_EDITS))
                header[field] = value
            except (KeyError, ValueError, TypeError):
                continue  # already replaced or dropped
            parts["recommender.json"] = json.dumps(header).encode()
        elif op == "content":
            name = draw(st.sampled_from(sorted(parts)))
            parts[name] = draw(st.sampled_from(MEMBER_CONTENT))
        elif op == "drop":
            parts.pop(draw(st.sampled_from(sorted(parts))), None)
        else:
            raw = bytearray(parts.get("engine.gz", b""))
            if raw:
                at = draw(st.integers(0, len(raw) - 1))
                raw[at] ^= 1 << draw(st.integers(0, 7))
            parts["engine.gz"] = bytes(raw)
    return rezip(parts)


@support.fuzz_settings(150)
@given(damaged_files(), st.data())
def test_fuzz_library_damaged_files(capfd, blob, data):
    path = os.path.join(SCRATCH, "damaged.qb")
    with open(path, "wb") as f:
        f.write(blob)
    key = f"file:{blob.hex()}"
    rec = call("lib.load", key, load, path)
    if not isinstance(rec, BaseException):
        # Whatever loaded must answer or refuse in the ordinary way, and survive a round trip.
        assert len(rec.user_ids) == rec.n_users and len(rec.item_ids) == rec.n_items
        users = probe_ids(data.draw, rec.user_ids)
        items = probe_ids(data.draw, rec.item_ids)
        call("lib.recommend", key, rec.recommend, users, n=3, unknown="popular")
        call("lib.recommend", key, rec.recommend, list(rec.user_ids), n=3, random=True)
        call("lib.predict", key, rec.predict, users, (items * 7)[: len(users)], unknown="default")
        method = rec.similar_users if isinstance(rec, UserCFRecommender) else rec.similar_items
        call("lib.similar", key, method, users if isinstance(rec, UserCFRecommender) else items)
        more = pd.DataFrame({"user": ["a", "new"], "item": [1, "new"]})
        call("lib.partial_fit", key, rec.partial_fit, more, exact=False)
        call("lib.recommend", key, rec.recommend, list(rec.user_ids), n=3)
        call("lib.save", key, rec.save, os.path.join(SCRATCH, "again.qb"))
    capfd.readouterr()


@pytest.mark.parametrize("where", ["directory", "missing directory", "file as directory"])
def test_library_save_and_load_at_impossible_paths(where, tmp_path):
    rec = SwingRecommender().fit(pd.DataFrame({"user": [1, 1, 2], "item": [1, 2, 1]}))
    if where == "directory":
        path = tmp_path
    elif where == "missing directory":
        path = tmp_path / "not here" / "m.qb"
    else:
        (tmp_path / "f").write_bytes(b"x")
        path = tmp_path / "f" / "m.qb"
    before = sorted(os.listdir(tmp_path))
    with pytest.raises(OSError):
        rec.save(path)
    with pytest.raises(OSError):
        load(path)
    assert sorted(os.listdir(tmp_path)) == before  # no temporaries left behind
