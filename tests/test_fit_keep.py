"""A local fit with keep=k answers as the full fit for lists read up to k, range by range; a
full fit estimates its state and refuses, before computing, one that cannot fit."""

from __future__ import annotations

import os
import pickle
import re

import numpy as np
import pandas as pd
import pytest
import scipy.sparse as sp
from conftest import random_interactions
from quibrel import _memory, _ranges
from quibrel._data import Interactions
from quibrel.recommenders import (
    ItemCFRecommender,
    StateTooLargeError,
    SwingRecommender,
    UserCFRecommender,
    load,
)

CLASSES = [ItemCFRecommender, UserCFRecommender, SwingRecommender]


@pytest.fixture(scope="module")
def frame():
    """Skewed popularity and activity, so lists are long and of very different lengths."""
    rng = np.random.default_rng(11)
    n = 6000
    users = (rng.pareto(1.2, n) * 20).astype(np.int64) % 300
    items = (rng.zipf(1.4, n) * 7) % 250
    df = pd.DataFrame(
        {"user": [f"u{x}" for x in users], "item": items, "value": rng.random(n) + 0.5}
    )
    return df.drop_duplicates(["user", "item"], keep="last").reset_index(drop=True)


def settings(cls, k, **extra):
    return {("top_k" if cls is SwingRecommender else "k_sim"): k, **extra}


def neighbours(rec, n):
    if isinstance(rec, UserCFRecommender):
        return rec.similar_users(rec.user_ids, n=n)
    return rec.similar_items(rec.item_ids, n=n)


@pytest.mark.parametrize("range_bytes", [None, 2000])
@pytest.mark.parametrize("cls", CLASSES)
def test_a_kept_fit_answers_as_the_full_one(cls, frame, range_bytes, monkeypatch):
    if range_bytes is not None:
        # Many small ranges: the lists of each are installed before the next is computed.
        monkeypatch.setattr(_ranges, "_RANGE_BYTES", range_bytes)
    keep = 6
    extra = {"min_common": 2} if cls is ItemCFRecommender else {}
    users = frame.user.unique()
    for k in (keep, 3):
        full = cls(**settings(cls, k, **extra)).fit(frame, value_col="value")
        kept = cls(**settings(cls, k, **extra)).fit(frame, value_col="value", keep=keep)
        assert kept.truncated == keep and full.truncated is None
        pd.testing.assert_frame_equal(kept.recommend(users, n=9), full.recommend(users, n=9))
        np.testing.assert_array_equal(
            kept.predict(frame.user, frame.item), full.predict(frame.user, frame.item)
        )
    got, want = neighbours(kept, 1000), neighbours(full, keep)
    pd.testing.assert_frame_equal(got, want)
    assert got.iloc[:, 0].value_counts().max() == keep
    # Some list was cut, or the comparison above proves nothing about cutting.
    assert neighbours(full, 1000).iloc[:, 0].value_counts().max() > keep


@pytest.mark.parametrize("cls", CLASSES)
def test_the_cut_is_recorded_and_kept(cls, frame, tmp_path):
    rec = cls(**settings(cls, 4)).fit(frame, value_col="value", keep=4)
    rec.save(tmp_path / "m")
    for copy in (rec, load(tmp_path / "m"), pickle.loads(pickle.dumps(rec))):
        assert copy.truncated == 4
        with pytest.raises(ValueError, match="first 4 entries"):
            copy.partial_fit(frame.iloc[:3], value_col="value")
    rec.partial_fit(frame.iloc[:3], value_col="value", exact=False)
    assert rec.truncated == 4
    assert rec.fit(frame, value_col="value").truncated is None
    for bad, error in ((0, ValueError), (-2, ValueError), (1.5, TypeError)):
        with pytest.raises(error, match="keep"):
            cls().fit(frame, keep=bad)


def test_the_ranges_bound_the_lists_they_hold(monkeypatch):
    # 7 entities over 3 other rows; the first, a middle and the last have no interactions.
    indptr = np.array([0, 0, 2, 3, 3, 5, 6, 6], dtype=np.int64)
    indices = np.array([0, 1, 1, 0, 2, 2], dtype=np.int32)
    other_indptr = np.array([0, 2, 5, 7], dtype=np.int64)
    # Summed in slices of interactions: slices that end inside a row, on a row's end and
    # past the last row must all give the same sums.
    for interactions_per_slice in (1, 2, 3, 5, 1 << 20):
        monkeypatch.setattr(_ranges, "_REACH_SLICE", interactions_per_slice)
        lengths, updates = _ranges.entity_reach(indptr, indices, other_indptr)
        np.testing.assert_array_equal(lengths, [0, 2, 1, 0, 2, 1, 0])
        np.testing.assert_array_equal(updates, [0, 5, 3, 0, 4, 2, 0])
    assert _ranges.local_ranges(indptr, indices, other_indptr, True, 10).tolist() == [0, 7]
    for bound, small in (("_RANGE_BYTES", 40), ("_RANGE_UPDATES", 6)):
        with monkeypatch.context() as patch:
            patch.setattr(_ranges, bound, small)
            bounds = _ranges.local_ranges(indptr, indices, other_indptr, True, 10)
        assert bounds[0] == 0 and bounds[-1] == 7 and len(bounds) > 2
        assert (np.diff(bounds) > 0).all()


# ---- the memory check ---------------------------------------------------------------------


def exact_cosine_bytes(forward: sp.csr_matrix, min_common: int = 1) -> int:
    b = sp.csr_matrix(forward, dtype=np.float64)
    b.data[:] = 1
    common = (b @ b.T).tocsr()
    common.setdiag(0)
    common.eliminate_zeros()
    kept = sp.csr_matrix(common >= min_common)
    listed, lists = int(kept.nnz), int(np.count_nonzero(np.diff(kept.indptr)))
    return (
        _memory.PAIR_BYTES * common.nnz // 2
        + _memory.ENTRY_BYTES * listed
        + _memory.ROOM_BYTES * lists
    )


@pytest.mark.parametrize("min_common", [1, 3])
@pytest.mark.parametrize("cls", [ItemCFRecommender, UserCFRecommender])
def test_the_estimate_is_close_and_the_bound_above(cls, min_common):
    m = sp.csr_matrix(random_interactions(900, 700, 0.02, seed=5))
    m.eliminate_zeros()
    rec = cls(min_common=min_common)
    by_user, by_item = Interactions(m), Interactions(sp.csr_matrix(m.T))
    model = rec._new_engine_model(*m.shape, by_user, by_item)
    forward, other = rec._list_sides(by_user, by_item)
    exact = exact_cosine_bytes(m if cls is UserCFRecommender else m.T, min_common)
    sampled = _memory.estimate_state(lambda: model, forward, other, True, 1, 0)
    assert 0 < sampled.sampled < m.shape[cls is ItemCFRecommender]
    assert sampled.bound >= exact
    assert sampled.bytes == pytest.approx(exact, rel=0.15)

    # Room for the bound: nothing is computed, and no model needs building.
    def no_model():
        raise AssertionError("the model was asked for")

    roomy = _memory.estimate_state(no_model, forward, other, True, 1, sampled.bound)
    assert roomy.sampled == 0 and roomy.bytes == roomy.bound == sampled.bound


@pytest.mark.parametrize("cls", CLASSES)
def test_a_fit_that_cannot_fit_is_refused_before_it_starts(cls, frame, monkeypatch):
    rec = cls().fit(frame, value_col="value")
    before = rec.recommend(frame.user.unique()[:20])
    monkeypatch.setattr(_memory, "available_bytes", lambda: 1000)
    with pytest.raises(StateTooLargeError) as caught:
        rec.fit(frame.iloc[::-1], value_col="value")
    assert isinstance(caught.value, MemoryError)
    message = str(caught.value)
    assert re.search(r"needs about [\d.]+ [KM]iB .* only 1000 bytes of memory", message)
    for advice in ("keep=k", "quibrel.dask", "check_memory=False"):
        assert advice in message
    # The refused fit left the recommender as it was.
    pd.testing.assert_frame_equal(rec.recommend(frame.user.unique()[:20]), before)
    assert cls().fit(frame, value_col="value", check_memory=False).is_fitted
    assert cls().fit(frame, value_col="value", keep=5).truncated == 5
    with pytest.raises(StateTooLargeError):
        cls().partial_fit(frame, value_col="value")
    # Where the available memory cannot be read, nothing is refused.
    monkeypatch.setattr(_memory, "available_bytes", lambda: None)
    assert cls().fit(frame, value_col="value").is_fitted


def test_a_state_a_little_beyond_the_room_is_allowed_and_more_is_refused(frame, monkeypatch):
    m = sp.csr_matrix(
        (frame.value, (frame.user.astype("category").cat.codes, frame.item)),
    )
    need = exact_cosine_bytes(m.T)
    monkeypatch.setattr(_memory, "available_bytes", lambda: int(need * 0.95))
    assert ItemCFRecommender().fit(frame, value_col="value").is_fitted
    monkeypatch.setattr(_memory, "available_bytes", lambda: int(need * 0.85))
    with pytest.raises(StateTooLargeError):
        ItemCFRecommender().fit(frame, value_col="value")


@pytest.mark.skipif(not os.path.exists("/proc/meminfo"), reason="Linux only")
def test_the_available_memory_is_read():
    room = _memory.available_bytes()
    with open("/proc/meminfo") as f:
        total = next(int(line.split()[1]) * 1024 for line in f if line.startswith("MemTotal:"))
    assert room is not None and 0 < room <= total


def test_a_control_group_limit_is_read_for_both_versions(tmp_path):
    def group(membership, files):
        (tmp_path / "cgroup").write_text(membership)
        for name, text in files.items():
            (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
            (tmp_path / name).write_text(text)
        return _memory._cgroup_room(str(tmp_path / "cgroup"), str(tmp_path))

    assert group("0::/job\n", {"job/memory.max": "1000\n", "job/memory.current": "300"}) == 700
    assert group("0::/job\n", {"job/memory.max": "max\n"}) is None
    v1 = "4:cpu,cpuacct:/a\n3:memory:/b\n"
    files = {"memory/b/memory.limit_in_bytes": "5000", "memory/b/memory.usage_in_bytes": "6000"}
    assert group(v1, files) == 0  # over its limit: no room
    files["memory/b/memory.limit_in_bytes"] = str(2**63 - 4096)  # version 1's "no limit"
    assert group(v1, files) is None
    assert _memory._cgroup_room(str(tmp_path / "absent"), str(tmp_path)) is None
