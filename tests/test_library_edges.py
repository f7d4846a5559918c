"""The library layer at the edges its fuzz harness (fuzz/test_fuzz_library.py) found: ids of
awkward dtypes, counts and values at the limits of the engine's integer and float types, and
files whose members disagree."""

from __future__ import annotations

import pathlib
import sys
import zipfile

import numpy as np
import pandas as pd
import pytest
import scipy.sparse as sp
from quibrel.recommenders import (
    ItemCFRecommender,
    SwingRecommender,
    UserCFRecommender,
    load,
)

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "fuzz"))
import support

CLASSES = [ItemCFRecommender, UserCFRecommender, SwingRecommender]
PAIRS = pd.DataFrame({"user": [0, 0, 1, 1, 2], "item": [0, 1, 0, 1, 1]})


def relabel(users=None, items=None) -> pd.DataFrame:
    """PAIRS with users and items renamed through the given lists (index = old id)."""
    frame = PAIRS.copy()
    if users is not None:
        frame["user"] = pd.Series([users[u] for u in PAIRS.user], dtype=object)
    if items is not None:
        frame["item"] = pd.Series([items[i] for i in PAIRS.item], dtype=object)
    return frame


@pytest.mark.parametrize(
    "column",
    [
        pd.Series(["a", "a", "b", "b", "c"]),  # pandas 3 gives text its own str dtype
        pd.Series(["a", "a", "b", "b", "c"], dtype="string"),
        pd.Series(pd.Categorical(["a", "a", "b", "b", "c"])),
    ],
    ids=["str", "string", "category"],
)
def test_text_ids_of_every_pandas_dtype_go_through_a_file(column, tmp_path):
    rec = ItemCFRecommender().fit(PAIRS.assign(user=column))
    rec.save(tmp_path / "m")
    again = load(tmp_path / "m")
    assert again.user_ids.tolist() == ["a", "b", "c"]
    pd.testing.assert_frame_equal(again.recommend(["a", "c"]), rec.recommend(["a", "c"]))


@pytest.mark.parametrize("cls", CLASSES)
def test_a_sparse_batch_reaches_the_ids_its_indices_name(cls):
    # A row or column index is the raw id of that number, wherever the model put it: ids
    # first seen out of order (2 before 0) must not be taken as positions, and a model fitted
    # on a matrix alone keeps them as positions, new rows and columns included.
    frame = relabel(users=[2, 0, 1], items=[1, 0])
    batch = sp.csr_matrix(([1.0, 1.0, 1.0], ([0, 3, 3], [0, 1, 2])), shape=(4, 3))
    rows, cols = batch.nonzero()
    union = pd.concat([frame, pd.DataFrame({"user": rows, "item": cols})], ignore_index=True)
    from_frame = cls().fit(frame).partial_fit(batch)
    expected = cls().fit(union)
    users = [0, 1, 2, 3]
    pd.testing.assert_frame_equal(from_frame.recommend(users), expected.recommend(users))
    positional = sp.csr_matrix(([1.0] * 5, (PAIRS.user, PAIRS.item)), shape=(3, 2))
    from_matrix = cls().fit(positional).partial_fit(batch)
    assert from_matrix.user_ids.tolist() == users
    assert from_matrix.item_ids.tolist() == [0, 1, 2]
    both = pd.concat([PAIRS, union.iloc[len(PAIRS) :]], ignore_index=True)
    pd.testing.assert_frame_equal(
        from_matrix.recommend(users), cls().fit(both).recommend(users)
    )


def test_ids_that_compare_equal_are_one_id_whatever_the_dtypes():
    # A bool map met by integers, in a later batch and in the answers.
    rec = ItemCFRecommender().fit(relabel(items=[False, True]))
    rec.partial_fit(sp.csr_matrix(np.ones((1, 2))), exact=False)
    rec.partial_fit(pd.DataFrame({"user": [7], "item": [1.0]}), exact=False)
    assert rec.n_items == 2 and rec.item_ids.tolist() == [False, True]
    np.testing.assert_array_equal(rec.predict([0, 0], [0, 1]), rec.predict([0, 0], [False, True]))
    # Integers beyond 2**53 next to floats, and beyond int64: pandas would join them as floats.
    big = [2**63 - 1, 2**63 - 2, 0.5]
    rec = ItemCFRecommender().fit(relabel(users=big))
    rec.partial_fit(
        pd.DataFrame({"user": pd.Series([np.uint64(2**64 - 1), 2.5], dtype=object), "item": 0}),
        exact=False,
    )
    assert rec.user_ids.tolist() == [*big, 2**64 - 1, 2.5]
    assert len(rec.recommend([*big, 2**64 - 1, 2.5], unknown="error")) > 0
    with pytest.raises(KeyError, match=r"unknown user id 9\.223372036854776e\+18 at"):
        rec.recommend([float(2**63)])  # equal to no integer in the map


def test_datetime_ids_stay_datetimes():
    stamps = pd.to_datetime([0, 10**9, 1])  # nanosecond precision
    rec = ItemCFRecommender().fit(relabel(users=list(stamps)).astype({"user": "datetime64[ns]"}))
    assert rec.user_ids.dtype.kind == "M"
    assert set(rec.recommend(stamps[:2], n=3)["user"]) <= set(stamps)
    # Not integers: 0 is another user, and numpy's own scalars in a mixed column are the same
    # users (numpy hashes a nanosecond datetime64 unlike the equal Timestamp).
    mixed = pd.Series([np.datetime64(1, "ns"), 0], dtype=object)
    rec.partial_fit(pd.DataFrame({"user": mixed, "item": [0, 1]}), exact=False)
    assert rec.n_users == 4 and rec.user_ids[3] == 0
    with pytest.raises(KeyError, match=r"id np\.datetime64\('1970-01-01T00:00:00\.000000005"):
        rec.recommend([pd.Timestamp(5)])


@pytest.mark.parametrize("cls", CLASSES)
def test_counts_past_the_engines_integers_mean_everything(cls):
    rec = cls().fit(PAIRS)
    everything = rec.recommend([0, 1, 2], n=rec.n_items, filter_consumed=False)
    for n in (2**63, 2**64, 2**64 + 1, 10**30):
        got = rec.recommend([0, 1, 2], n=n, filter_consumed=False)
        pd.testing.assert_frame_equal(got, everything)
        assert len(rec.similar_items([0, 1], n=n) if cls is not UserCFRecommender
                   else rec.similar_users([0, 1], n=n)) > 0  # fmt: skip
    settings = {"top_k": 2**64} if cls is SwingRecommender else {"k_sim": 2**64, "min_common": 1}
    huge = cls(**settings).fit(PAIRS)
    plain = cls().fit(PAIRS)
    pd.testing.assert_frame_equal(huge.recommend([0, 1, 2]), plain.recommend([0, 1, 2]))


@pytest.mark.parametrize("cls", CLASSES)
def test_values_and_settings_must_fit_the_engines_floats(cls):
    for value in (1e20, 3e38, -(2.0**48) - 2**30):
        with pytest.raises(ValueError, match=r"at row 2: values must be finite, with magnitude"):
            cls().fit(PAIRS.assign(v=[1.0, 1.0, value, 1.0, 1.0]), value_col="v")
        with pytest.raises(ValueError, match=r"row 1, column 0: values must be finite"):
            cls().fit(sp.csr_matrix(np.array([[1.0, 1.0], [value, 1.0]])))
    # The largest value allowed, on every entry: no similarity overflows into a NaN.
    rec = cls().fit(PAIRS.assign(v=2.0**48), value_col="v")
    assert np.isfinite(rec.recommend([0, 1, 2], filter_consumed=False)["score"]).all()
    with pytest.raises(TypeError, match="must be numeric, got dtype complex128"):
        cls().fit(PAIRS.assign(v=1 + 1j), value_col="v")
    with pytest.raises(ValueError, match="more than one column named 'user'"):
        cls().fit(pd.concat([PAIRS, PAIRS[["user"]]], axis=1))
    with pytest.raises(ValueError, match="default_pred must be a finite 32-bit float"):
        cls(default_pred=3.5e38).fit(PAIRS)


def test_swing_refuses_a_negative_smoothing_term():
    # Users 0 and 1 share items 0 and 1: alpha = -2 divides by zero, and with a negative value
    # the infinite scores met as a NaN when recommending.
    frame = PAIRS.assign(v=[1.0, -1.0, 1.0, 1.0, 2.0])
    for alpha in (-2.0, -1.0, -1e-30):
        with pytest.raises(ValueError, match="alpha must be at least 0"):
            SwingRecommender(alpha=alpha).fit(frame, value_col="v")
    rec = SwingRecommender(alpha=0.0).fit(frame, value_col="v")
    assert np.isfinite(rec.recommend([0, 1, 2], filter_consumed=False)["score"]).all()


def test_a_sparse_shape_beyond_the_dense_ids_is_refused_before_allocating():
    m = sp.coo_matrix(([1.0], ([0], [0])), shape=(1, 2**40))
    with pytest.raises(ValueError, match="1099511627776 columns: at most 2147483646"):
        ItemCFRecommender().fit(m)
    rec = ItemCFRecommender().fit(PAIRS)
    with pytest.raises(ValueError, match="2147483647 rows"):
        rec.partial_fit(sp.coo_array(([1.0], ([0], [0])), shape=(2**31 - 1, 1)), exact=False)
    assert rec.n_users == 3


def members(path) -> dict[str, bytes]:
    with zipfile.ZipFile(path) as z:
        return {name: z.read(name) for name in z.namelist()}


def write(path, parts: dict[str, bytes]) -> None:
    with zipfile.ZipFile(path, "w") as z:
        for name, blob in parts.items():
            z.writestr(name, blob)


def test_files_whose_members_disagree_are_refused(tmp_path):
    small, large = tmp_path / "small", tmp_path / "large"
    ItemCFRecommender().fit(PAIRS).save(small)
    ItemCFRecommender().fit(PAIRS.assign(item=[0, 1, 0, 1, 2])).save(large)
    parts = members(small)
    # The engine of another file: it knows 3 items, the id map 2.
    write(tmp_path / "f", {**parts, "engine.gz": members(large)["engine.gz"]})
    with pytest.raises(ValueError, match="damaged quibrel recommender file: sizes disagree"):
        load(tmp_path / "f")
    for name, blob in (
        ("popularity.npy", b""),  # numpy: EOFError
        ("popularity.npy", members(large)["popularity.npy"][:-8] + np.zeros(2).tobytes()),
        ("recommender.json", b'{"format": "quibrel-recommender", "version": 1, "class": []}'),
    ):
        write(tmp_path / "f", {**parts, name: blob})
        with pytest.raises(ValueError, match=r"quibrel recommender file|recommender class"):
            load(tmp_path / "f")


def test_an_engine_record_naming_items_beyond_the_id_map_is_refused_when_answering(tmp_path):
    # A hand-made record with the right counts whose neighbour lists name items -1 and 5 of 2:
    # the ids must not wrap around to another item.
    csr = ([0, 1, 0], [0, 2, 3], [1.0, 1.0, 1.0])
    record = {
        "task": b"ranking",
        "k_sim": 5,
        "n_users": 2,
        "n_items": 2,
        "min_common": 1,
        "sum_squares": [1.0, 1.0],
        "pair_stats": [],
        "sim_mapping": [(0, [1, -1], [0.9, 0.5]), (1, [5], [0.7])],
        "user_interactions": csr,
        "item_interactions": ([0, 1, 0], [0, 2, 3], [1.0, 1.0, 1.0]),
        "user_consumed": [],
        "default_pred": 0.0,
    }
    good = tmp_path / "good"
    ItemCFRecommender().fit(PAIRS[PAIRS.user < 2]).save(good)
    write(tmp_path / "f", {**members(good), "engine.gz": support.gzip_member(
        support.encode_cf(record))})  # fmt: skip
    rec = load(tmp_path / "f")
    for ask in (lambda: rec.similar_items([0]), lambda: rec.recommend([0], filter_consumed=False)):
        with pytest.raises(ValueError, match="ids outside its id map"):
            ask()
    assert rec.predict([0], [1]).shape == (1,)


def test_a_truncated_or_unreadable_archive_is_a_value_error(tmp_path):
    path = tmp_path / "m"
    SwingRecommender().fit(PAIRS).save(path)
    blob = path.read_bytes()
    local, central = blob.index(b"PK\x03\x04"), blob.index(b"PK\x01\x02")
    encrypted = bytearray(blob)  # the first member flagged as encrypted
    encrypted[local + 6] |= 1
    encrypted[central + 8] |= 1
    unknown_method = bytearray(blob)  # ... or compressed by a method zipfile lacks
    unknown_method[local + 8] = unknown_method[central + 10] = 99
    new_version = bytearray(blob)  # ... or needing zip version 21.2 to be read
    new_version[central + 6] = 212
    damaged = (encrypted, unknown_method, new_version)
    for bad in (blob[: len(blob) // 2], blob[:30], *map(bytes, damaged)):
        path.write_bytes(bad)
        with pytest.raises(ValueError, match="quibrel recommender file"):
            load(path)
