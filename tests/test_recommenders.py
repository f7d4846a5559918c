"""The library layer: quibrel.recommenders against the engine and against numpy oracles."""

from __future__ import annotations

import os
import pickle

import numpy as np
import pandas as pd
import pytest
import quibrel
import scipy.sparse as sp
from conftest import both_orientations, random_interactions, run_python
from quibrel import _native
from quibrel.recommenders import (
    ItemCFRecommender,
    SwingRecommender,
    UserCFRecommender,
    load,
)

CLASSES = [ItemCFRecommender, UserCFRecommender, SwingRecommender]


def frame_of(m: sp.spmatrix, users=None, items=None) -> pd.DataFrame:
    """A DataFrame of m's entries, with raw ids relabelled through `users` / `items`."""
    coo = sp.coo_matrix(m)
    u = coo.row if users is None else np.asarray(users, dtype=object)[coo.row]
    i = coo.col if items is None else np.asarray(items, dtype=object)[coo.col]
    return pd.DataFrame({"user": u, "item": i, "value": coo.data})


def engine_twin(rec, m: sp.csr_matrix):
    """The engine model the recommender should hold, built by hand on dense ids."""
    ui, ii = both_orientations(m)
    users, items = np.nonzero(m)
    consumed, _ = quibrel.build_consumed_unique(users.tolist(), items.tolist())
    n_users, n_items = m.shape
    if isinstance(rec, SwingRecommender):
        model = quibrel.Swing(rec.top_k, rec.alpha, 0, n_users, n_items, ui, ii, consumed, 0.0)
        _native.call(model.compute_swing, (1,), 0, True, None)
    else:
        cls = quibrel.ItemCF if isinstance(rec, ItemCFRecommender) else quibrel.UserCF
        model = cls("ranking", rec.k_sim, n_users, n_items, 1, ui, ii, consumed, 0.0)
        _native.call(model.compute_similarities, (False, 1), 0, True, None)
    return model


@pytest.fixture(scope="module")
def data():
    m = random_interactions(40, 30, 0.2, seed=3)
    m = sp.csr_matrix(m)
    m.eliminate_zeros()
    return m


@pytest.mark.parametrize("cls", CLASSES)
def test_answers_match_the_engine_on_dense_ids(cls, data):
    rec = cls(num_threads=1).fit(data)  # sparse input: raw ids are the indices themselves
    model = engine_twin(rec, data)
    users = list(range(data.shape[0]))
    lists, _ = model.recommend(users, 7, True, False)
    got = rec.recommend(users, n=7)
    for u in users:
        rows = got[got.user == u]
        assert rows["item"].tolist() == lists[u]
        assert rows["rank"].tolist() == list(range(1, len(lists[u]) + 1))
        assert (np.diff(rows["score"].to_numpy()) <= 0).all()
    pairs_u = np.repeat(users, 3)
    pairs_i = np.tile([0, 5, 29], len(users))
    want = np.asarray(model.predict(pairs_u.tolist(), pairs_i.tolist()), dtype=np.float32)
    np.testing.assert_array_equal(rec.predict(pairs_u, pairs_i), want)
    assert rec.predict(pairs_u, pairs_i).dtype == np.float32


def test_itemcf_scores_and_neighbours_match_a_numpy_oracle(data):
    k = 5
    rec = ItemCFRecommender(k_sim=k).fit(data)
    dense = data.toarray().astype(np.float64)
    norms = np.sqrt((dense**2).sum(axis=0))
    sims = (dense.T @ dense) / np.outer(norms, norms)
    np.fill_diagonal(sims, 0)
    similar = rec.similar_items(list(range(data.shape[1])), n=1000)
    for item, rows in similar.groupby("item"):
        np.testing.assert_allclose(rows["score"], sims[item, rows["neighbour"]], rtol=1e-5)
        assert set(rows["neighbour"]) == set(np.flatnonzero(sims[item] > 0))
        assert (np.diff(rows["score"].to_numpy()) <= 0).all()
    # A recommendation's score is the sum over the user's items j of value(u, j) * sim(j, c)
    # over the first k neighbours of j.
    heads = {
        i: dict(zip(r["neighbour"][:k], r["score"][:k], strict=True))
        for i, r in similar.groupby("item")
    }
    recs = rec.recommend(list(range(data.shape[0])), n=4)
    for row in recs.itertuples():
        want = sum(
            dense[row.user, j] * heads.get(j, {}).get(row.item, 0.0)
            for j in np.flatnonzero(dense[row.user])
        )
        assert row.score == pytest.approx(want, rel=1e-5)
        assert dense[row.user, row.item] == 0  # consumed items are filtered


@pytest.mark.parametrize("cls", CLASSES)
def test_raw_ids_of_any_type_give_the_same_answers(cls, data):
    base = cls().fit(frame_of(data), value_col="value")
    n_users, n_items = data.shape
    user_sets = {
        "str": [f"u{i}" for i in range(n_users)],
        "int64": np.arange(n_users, dtype=np.int64) * 1000 + 7,
        "mixed": [
            ("t", i) if i % 3 == 0 else (f"s{i}" if i % 3 == 1 else i) for i in range(n_users)
        ],
    }
    items = [f"item-{i}" if i % 2 else i * 1.5 for i in range(n_items)]
    want = base.recommend(base.user_ids, n=5)
    for name, users in user_sets.items():
        rec = cls().fit(frame_of(data, users, items), value_col="value")
        mapping = dict(zip(base.user_ids.tolist(), np.asarray(users, dtype=object), strict=True))
        got = rec.recommend([mapping[u] for u in base.user_ids.tolist()], n=5)
        assert got["item"].tolist() == [items[i] for i in want["item"]], name
        np.testing.assert_array_equal(got["score"].to_numpy(), want["score"].to_numpy())
        assert rec.n_users == n_users and rec.n_items == n_items


def test_repeated_pairs_keep_their_last_value_in_frames_and_sparse_input():
    frame = pd.DataFrame(
        {"user": ["a", "a", "b", "b", "a"], "item": [1, 2, 1, 2, 1], "v": [5.0, 1, 2, 2, 1]}
    )
    rec = ItemCFRecommender().fit(frame, value_col="v")
    once = ItemCFRecommender().fit(frame.iloc[1:], value_col="v")
    np.testing.assert_array_equal(rec.predict(["a", "b"], [1, 2]), once.predict(["a", "b"], [1, 2]))
    coo = sp.coo_matrix(([5.0, 1.0, 2.0, 2.0, 1.0], ([0, 0, 1, 1, 0], [0, 1, 0, 1, 0])))
    from_sparse = ItemCFRecommender().fit(coo)
    np.testing.assert_array_equal(
        from_sparse.predict([0, 1], [0, 1]), once.predict(["a", "b"], [1, 2])
    )


BAD_FRAMES = [
    ("not a frame", [[1, 2]], TypeError, "DataFrame or a scipy sparse"),
    ("missing column", pd.DataFrame({"user": [1], "thing": [2]}), KeyError, "'item'"),
    ("empty", pd.DataFrame({"user": [], "item": []}), ValueError, "empty"),
    (
        "missing user",
        pd.DataFrame({"user": [1, None], "item": [1, 2]}, index=[10, 11]),
        ValueError,
        "missing id at row 11",
    ),
    (
        "nan value",
        pd.DataFrame({"user": [1, 2], "item": [1, 2], "v": [1.0, np.nan]}),
        ValueError,
        "missing value at row 1",
    ),
    (
        "inf value",
        pd.DataFrame({"user": [1, 2], "item": [1, 2], "v": [np.inf, 1.0]}),
        ValueError,
        "at row 0",
    ),
    (
        "huge value",
        pd.DataFrame({"user": [1, 2], "item": [1, 2], "v": [1.0, 1e300]}),
        ValueError,
        "at row 1",
    ),
    (
        "text value",
        pd.DataFrame({"user": [1, 2], "item": [1, 2], "v": ["a", "b"]}),
        TypeError,
        "must be numeric",
    ),
    (
        "unhashable id",
        pd.DataFrame({"user": [1, [2]], "item": [1, 2]}),
        TypeError,
        "unhashable id of type list at row 1",
    ),
    ("sparse nan", sp.csr_matrix(np.array([[1.0, np.nan]])), ValueError, "column 1"),
    ("sparse empty", sp.csr_matrix((2, 2)), ValueError, "empty"),
]


@pytest.mark.parametrize("name, data, exc, message", BAD_FRAMES, ids=[b[0] for b in BAD_FRAMES])
def test_bad_input_is_refused_before_the_engine_sees_it(name, data, exc, message):
    for cls in CLASSES:
        with pytest.raises(exc) as info:
            cls().fit(
                data, value_col="v" if isinstance(data, pd.DataFrame) and "v" in data else None
            )
        assert message in str(info.value), (name, str(info.value))


def test_sparse_input_with_out_of_range_indices_is_refused():
    bad = sp.coo_matrix(([1.0, 1.0], ([0, 1], [0, 1])), shape=(2, 2))
    bad.col = np.array([0, 5], dtype=bad.col.dtype)  # bypasses scipy's own check
    with pytest.raises(ValueError, match="column index 5 at stored entry 1"):
        ItemCFRecommender().fit(bad)
    # A well-formed CSR matrix is read in place; a broken one still gets the checks.
    csr = sp.csr_matrix(([1.0, 1.0, 1.0], [0, 5, 1], [0, 1, 3]), shape=(2, 2))
    with pytest.raises(ValueError, match=r"data is not a well-formed sparse matrix: .*index 5"):
        ItemCFRecommender().fit(csr)


@pytest.mark.parametrize("cls", [ItemCFRecommender, UserCFRecommender, SwingRecommender])
def test_every_sparse_form_and_dtype_gives_the_same_model(cls):
    rng = np.random.default_rng(11)
    m = sp.random(40, 30, density=0.2, format="csr", random_state=rng)
    m.data = np.ceil(m.data * 4)  # small integers: exact in every dtype below
    users = list(range(40))
    # The reference goes through the general path: triples from COO.
    want = cls().fit(m.tocoo()).recommend(users, n=5)
    unsorted = m.copy()
    for row in range(unsorted.shape[0]):  # each row's entries reversed: not canonical
        a, b = unsorted.indptr[row], unsorted.indptr[row + 1]
        unsorted.indices[a:b] = unsorted.indices[a:b][::-1].copy()
        unsorted.data[a:b] = unsorted.data[a:b][::-1].copy()
    unsorted.has_sorted_indices = False
    forms = {
        "csr float32": m.astype(np.float32),
        "csr float64": m,
        "csr int64": m.astype(np.int64),
        "csr unsorted": unsorted,
        "csr array": sp.csr_array(m),
        "coo": m.tocoo(),
        "csc": m.tocsc(),
    }
    for name, data in forms.items():
        got = cls().fit(data).recommend(users, n=5)
        pd.testing.assert_frame_equal(got, want, obj=name)
    bools = m.astype(bool)
    pd.testing.assert_frame_equal(
        cls().fit(bools).recommend(users, n=5),
        cls().fit(bools.tocoo()).recommend(users, n=5),
    )


def test_bad_arguments_of_the_answers(data):
    rec = ItemCFRecommender().fit(data)
    with pytest.raises(KeyError, match="unknown user id 999 at position 1"):
        rec.recommend([0, 999])
    with pytest.raises(KeyError, match="unknown item id 77"):
        rec.predict([0], [77])
    with pytest.raises(ValueError, match="same length"):
        rec.predict([0, 1], [0])
    with pytest.raises(ValueError, match="missing id at position 0"):
        rec.recommend([np.nan])
    for bad_n, exc in ((0, ValueError), (2.5, TypeError), (True, TypeError)):
        with pytest.raises(exc, match="n must"):
            rec.recommend([0], n=bad_n)
    with pytest.raises(ValueError, match="k_sim must be at least 1"):
        ItemCFRecommender(k_sim=0).fit(data)
    with pytest.raises(ValueError, match="not fitted"):
        ItemCFRecommender().recommend([0])
    assert rec.predict([0, 999], [0, 0], unknown="default")[1] == 0.0


def test_unknown_users_can_be_skipped_or_given_popular_items(data):
    rec = SwingRecommender().fit(data)
    skipped = rec.recommend([999, 1, 998], n=3, unknown="skip")
    assert set(skipped["user"]) == {1}
    popular = rec.recommend([999, 1, 998], n=3, unknown="popular")
    assert popular["user"].tolist()[:3] == [999] * 3 and popular["user"].tolist()[-3:] == [998] * 3
    counts = np.asarray((data != 0).sum(axis=0)).ravel()
    assert popular[popular.user == 999]["score"].tolist() == sorted(counts, reverse=True)[:3]
    np.testing.assert_array_equal(
        popular[popular.user == 1]["item"], rec.recommend([1], n=3)["item"]
    )


@pytest.mark.parametrize("cls", CLASSES)
def test_save_load_and_pickle_round_trips(cls, data, tmp_path):
    users = [f"user {i}" if i % 2 else i for i in range(data.shape[0])]
    rec = cls(num_threads=1).fit(frame_of(data, users=users), value_col="value")
    want = rec.recommend(users, n=5)
    path = tmp_path / "model.qb"
    rec.save(path)
    rec.save(str(path))  # over an existing file
    assert os.listdir(tmp_path) == ["model.qb"]  # no temporaries left behind
    for copy in (load(path), pickle.loads(pickle.dumps(rec))):
        assert type(copy) is cls and copy.get_params() == rec.get_params()
        assert copy.user_ids.tolist() == rec.user_ids.tolist()
        pd.testing.assert_frame_equal(copy.recommend(users, n=5), want)
    assert repr(rec).startswith(f"{cls.__name__}(") and "n_users=40" in repr(rec)


def test_a_wrong_or_damaged_file_is_a_clear_error(tmp_path, data):
    (tmp_path / "text").write_text("hello")
    with pytest.raises(ValueError, match="not a quibrel recommender file"):
        load(tmp_path / "text")
    good = tmp_path / "good"
    ItemCFRecommender().fit(data).save(good)
    blob = bytearray(good.read_bytes())
    blob[len(blob) // 2 : len(blob) // 2 + 64] = b"\0" * 64
    (tmp_path / "bad").write_bytes(bytes(blob))
    with pytest.raises((ValueError, OSError)):
        load(tmp_path / "bad")
    with pytest.raises(TypeError, match="cannot be written"):
        ItemCFRecommender().fit(frame_of(data, users=[object()] * 40)).save(tmp_path / "x")


def test_the_library_is_quiet_unless_verbose():
    code = (
        "import pandas as pd\n"
        "from quibrel.recommenders import ItemCFRecommender, load\n"
        "df = pd.DataFrame({'user': [1, 1, 2, 2], 'item': [1, 2, 2, 3]})\n"
        "r = ItemCFRecommender(verbose=VERBOSE).fit(df)\n"
        "r.partial_fit(pd.DataFrame({'user': [3], 'item': [1]}), exact=False)\n"
        "r.save('m.qb'); load('m.qb'); r.recommend([1])\n"
    )
    import tempfile

    with tempfile.TemporaryDirectory() as tmp:
        quiet = run_python(f"import os; os.chdir({tmp!r})\n" + code.replace("VERBOSE", "False"))
        loud = run_python(f"import os; os.chdir({tmp!r})\n" + code.replace("VERBOSE", "True"))
    assert quiet.returncode == 0 and loud.returncode == 0, quiet.stderr + loud.stderr
    assert quiet.stdout == ""
    assert "forward cosine sim" in loud.stdout and "incremental cosine sim" in loud.stdout


def test_progress_is_reported_from_parallel_loops_and_can_stop_them():
    m = random_interactions(300, 200, 0.1, seed=1)
    ui, ii = both_orientations(m)
    model = quibrel.ItemCF("ranking", 10, 300, 200, 1, ui, ii, {}, 0.0)
    seen = []
    _native.call(model.compute_similarities, (False, 2), 1, True, lambda d, t: seen.append((d, t)))
    assert seen and all(d <= t for d, t in seen) and seen[-1][0] == seen[-1][1]

    def stop(done, total):
        raise RuntimeError("stop here")

    with pytest.raises(RuntimeError, match="stop here"):
        _native.call(model.compute_similarities, (False, 2), 0, True, stop)


@pytest.mark.parametrize("cls", CLASSES)
def test_partial_fit_grows_the_catalogue(cls, data):
    frame = frame_of(data)
    rec = cls().fit(frame.iloc[: len(frame) // 2])
    n_users, n_items = rec.n_users, rec.n_items
    batch = pd.concat(
        [
            frame.iloc[len(frame) // 2 :],
            pd.DataFrame({"user": ["new"], "item": ["brand new"], "value": [1.0]}),
        ]
    )
    rec.partial_fit(batch, exact=False)
    assert rec.n_users > n_users and rec.n_items > n_items
    assert rec.user_ids[-1] == "new" and rec.item_ids[-1] == "brand new"
    assert rec.predict(["new"], ["brand new"]).shape == (1,)
    rec.recommend(rec.user_ids, n=3)  # every user, old and new, can be served


def _answers(rec):
    similar = (
        rec.similar_users(rec.user_ids, n=10**6)
        if isinstance(rec, UserCFRecommender)
        else rec.similar_items(rec.item_ids, n=10**6)
    )
    recs = rec.recommend(rec.user_ids, n=20)
    scores = rec.predict(np.repeat(rec.user_ids, 3), np.tile(rec.item_ids[:3], rec.n_users))
    return similar, recs, scores


@pytest.mark.parametrize("cls", CLASSES)
def test_exact_partial_fit_equals_a_fit_on_everything(cls, data):
    frame = frame_of(data, users=[f"u{i}" for i in range(40)], items=list(range(100, 130)))
    first, rest = frame.iloc[::2], frame.iloc[1::2]
    batches = [
        rest.iloc[:40],
        # a repeated pair takes the batch's value; new users and items arrive
        pd.concat(
            [
                rest.iloc[40:].assign(value=lambda d: d["value"] + 1),
                pd.DataFrame(
                    {
                        "user": ["new", "new", "u3"],
                        "item": [999, 100, 999],
                        "value": [1.0, 2.0, 3.0],
                    }
                ),
            ]
        ),
        rest.iloc[:0],  # an empty frame is refused: data must hold interactions
    ]
    rec = cls(num_threads=1).fit(first, value_col="value")
    seen = [first]
    for batch in batches[:2]:
        rec.partial_fit(batch, value_col="value")
        seen.append(batch)
        full = cls(num_threads=1).fit(pd.concat(seen), value_col="value")
        assert rec.user_ids.tolist() == full.user_ids.tolist()
        assert rec.item_ids.tolist() == full.item_ids.tolist()
        for got, want in zip(_answers(rec), _answers(full), strict=True):
            if isinstance(got, pd.DataFrame):
                pd.testing.assert_frame_equal(got, want)
            else:
                np.testing.assert_array_equal(got, want)
    with pytest.raises(ValueError, match="empty"):
        rec.partial_fit(batches[2], value_col="value")


@pytest.mark.parametrize("failure", [KeyboardInterrupt, MemoryError])
def test_a_failed_update_leaves_the_recommender_as_it_was(failure, data, monkeypatch, tmp_path):
    import quibrel.recommenders as module

    rec = ItemCFRecommender().fit(frame_of(data))
    before = _answers(rec)
    rec.save(tmp_path / "before")
    sizes = (rec.n_users, rec.n_items, rec.user_ids.tolist())

    def fail(*args):
        raise failure()

    monkeypatch.setattr(module._native, "exact_update", fail)
    batch = pd.DataFrame({"user": [0, "new"], "item": [29, "new item"], "value": [9.0, 1.0]})
    with pytest.raises(failure):
        rec.partial_fit(batch, value_col="value")
    assert (rec.n_users, rec.n_items, rec.user_ids.tolist()) == sizes
    for got, want in zip(_answers(rec), before, strict=True):
        if isinstance(got, pd.DataFrame):
            pd.testing.assert_frame_equal(got, want)
        else:
            np.testing.assert_array_equal(got, want)
    rec.save(tmp_path / "after")  # the engine's record, consumed lists included, is unchanged
    assert (tmp_path / "after").read_bytes() == (tmp_path / "before").read_bytes()


def test_an_exact_update_after_an_approximate_one_is_exact_again(data, tmp_path):
    frame = frame_of(data)
    # The last part is one interaction: an update the engine would do incrementally.
    parts = [frame.iloc[2::2], frame.iloc[1::2], frame.iloc[:1]]
    rec = ItemCFRecommender().fit(parts[0], value_col="value")
    rec.partial_fit(parts[1], value_col="value", exact=False)
    rec.save(tmp_path / "m")  # the file remembers that the state is approximate
    rec = load(tmp_path / "m")
    rec.partial_fit(parts[2], value_col="value")
    full = ItemCFRecommender().fit(pd.concat(parts), value_col="value")
    for got, want in zip(_answers(rec), _answers(full), strict=True):
        if isinstance(got, pd.DataFrame):
            pd.testing.assert_frame_equal(got, want)
        else:
            np.testing.assert_array_equal(got, want)


def test_swing_user_cap_samples_each_item_consistently(data):
    from quibrel._data import Interactions, cap_rows, id_hashes

    frame = frame_of(data)
    big = int(np.diff(sp.csc_matrix(data).indptr).max())
    uncapped = _answers(SwingRecommender().fit(frame, value_col="value"))
    loose = _answers(SwingRecommender(max_users_per_item=big).fit(frame, value_col="value"))
    pd.testing.assert_frame_equal(loose[0], uncapped[0])  # a cap nobody reaches changes nothing

    capped = SwingRecommender(max_users_per_item=3, random_state=7)
    got = _answers(capped.fit(frame, value_col="value"))
    assert not got[0].equals(uncapped[0])
    # The sample depends on the interactions, not on their order or batching.
    shuffled = frame.sample(frac=1.0, random_state=1)
    again = SwingRecommender(max_users_per_item=3, random_state=7)
    again.fit(shuffled.iloc[:100], value_col="value").partial_fit(
        shuffled.iloc[100:], value_col="value"
    )
    reordered = {u: i for i, u in enumerate(again.user_ids)}
    assert sorted(reordered) == sorted(capped.user_ids.tolist())
    want = got[0].set_index(["item", "neighbour"])["score"].sort_index()
    have = _answers(again)[0].set_index(["item", "neighbour"])["score"].sort_index()
    pd.testing.assert_series_equal(have, want, rtol=1e-5)

    rows = sp.csr_matrix(np.ones((4, 50), dtype=np.float32))
    hashes = (id_hashes(np.arange(4)), id_hashes(np.arange(50)))
    kept = cap_rows(Interactions(rows), 10, 3, *hashes).matrix
    assert (np.diff(kept.indptr) == 10).all() and kept.has_sorted_indices
    assert not (kept.indices[:10] == kept.indices[10:20]).all()  # rows draw their own samples
    other_seed = cap_rows(Interactions(rows), 10, 4, *hashes).matrix
    assert not (kept.indices == other_seed.indices).all()


def test_swing_user_cap_keeps_the_lowest_hashes_of_each_row():
    from quibrel._data import Interactions, _mix, cap_rows, id_hashes

    def by_sorting(m, cap, seed, row_hashes, column_hashes):
        # Every entry ranked within its row by hash, ties by position.
        counts = np.diff(m.indptr)
        rows = np.repeat(np.arange(m.shape[0]), counts)
        seeded = _mix(row_hashes ^ _mix(np.full(1, seed, dtype=np.uint64)))
        keys = _mix(seeded[rows] ^ column_hashes[m.indices])
        order = np.lexsort((keys, rows))
        rank = np.arange(len(order)) - np.repeat(m.indptr[:-1], counts)
        return m.indices[np.sort(order[rank < cap])]

    rng = np.random.default_rng(5)
    m = sp.random(60, 400, density=0.2, format="csr", random_state=rng, dtype=np.float32)
    m.data[:] = rng.random(m.nnz, dtype=np.float32) + 0.5
    rows, cols = id_hashes(np.arange(60)), id_hashes(np.arange(400))
    # Columns sharing a hash tie at every threshold: the earlier column wins, as in a sort.
    tied = cols.copy()
    tied[1::2] = tied[::2][: len(tied[1::2])]
    for column_hashes in (cols, tied):
        for cap in (1, 7, 40, 79):
            got = cap_rows(Interactions(m), cap, 11, rows, column_hashes).matrix
            np.testing.assert_array_equal(got.indices, by_sorting(m, cap, 11, rows, column_hashes))
            np.testing.assert_array_equal(np.diff(got.indptr), np.minimum(np.diff(m.indptr), cap))
            kept = m[np.arange(60)].multiply(got.astype(bool))
            np.testing.assert_array_equal(kept.sum(axis=1), got.sum(axis=1))  # values follow


def test_ids_of_pandas_string_dtype_are_saved_as_strings(tmp_path):
    df = pd.DataFrame(
        {"user": pd.array(["a", "b", "c", "a"], dtype="string"), "item": ["x", "y", "x", "z"]}
    )
    rec = ItemCFRecommender().fit(df)
    rec.save(tmp_path / "m")
    again = load(tmp_path / "m")
    assert again.user_ids.tolist() == ["a", "b", "c"]
    assert again.item_ids.tolist() == ["x", "y", "z"]


def test_a_recommender_saves_to_the_same_bytes_at_any_time(tmp_path, monkeypatch):
    import time

    rec = ItemCFRecommender().fit(pd.DataFrame({"user": [1, 1, 2], "item": [5, 6, 5]}))
    rec.save(tmp_path / "a")
    later = time.time() + 3 * 3600
    monkeypatch.setattr(time, "time", lambda: later)
    rec.save(tmp_path / "b")
    assert (tmp_path / "a").read_bytes() == (tmp_path / "b").read_bytes()
