"""Incremental cosine update: pair statistics, touched similarities, merged lists, failures."""

from __future__ import annotations

import re

import numpy as np
import pytest
import quibrel
import scipy.sparse as sp
from cf_state import (
    OUT_OF_RANGE,
    canonical,
    lists_of,
    make_model,
    pairs_dict,
    raised_panic,
    reference_update,
    same_lists,
    same_pairs,
    state,
    with_state,
)
from conftest import Interactions, both_orientations, from_rows
from test_cosine import signed_interactions

F32 = np.float32
TIME = r"\d+\.\d{4}(s|ms|µs|ns)"


def example_model():
    ui = from_rows([{0: 1.0}, {0: 2.0, 1: 1.0}, {}])
    ii = from_rows([{0: 1.0, 1: 2.0}, {1: 1.0}, {}])
    return quibrel.ItemCF("ranking", 10, 3, 3, 1, ui, ii, {}, 0.0)


NEW_USERS = [{}, {}, {1: 1.0, 2: 1.0}]
NEW_ITEMS = [{}, {2: 1.0}, {2: 1.0}]


def test_worked_example(tmp_path, capfd):
    m = example_model()
    m.compute_similarities(False, 1)
    s = state(m, tmp_path, "before")
    assert pairs_dict(s["pair_stats"]) == {(0, 1): (2.0, 1)}
    capfd.readouterr()
    m.update_similarities(from_rows(NEW_USERS), from_rows(NEW_ITEMS))
    out = capfd.readouterr().out
    assert re.fullmatch(
        rf"incremental cosine sim: 1 elapsed: {TIME}\nincremental sort elapsed: {TIME}\n", out
    )
    s = state(m, tmp_path)
    assert s["sum_squares"].tolist() == [5.0, 2.0, 1.0]
    assert pairs_dict(s["pair_stats"]) == {(0, 1): (2.0, 1), (1, 2): (1.0, 1)}
    assert s["pair_stats"]["key"].tolist() == [1, 5]
    assert canonical(s["sim_mapping"]) == canonical(
        {
            0: (np.array([1]), np.array([0.8944272], dtype=F32)),
            1: (np.array([0, 2]), np.array([0.8944272, 0.70710677], dtype=F32)),
            2: (np.array([1]), np.array([0.70710677], dtype=F32)),
        }
    )
    assert s["user_interactions"][0][s["user_interactions"][1][2] :].tolist() == [1, 2]
    assert s["item_interactions"][0][2:4].tolist() == [1, 2]
    assert m.num_sim_elements() == 4


def decoded(s):
    return s["sum_squares"], pairs_dict(s["pair_stats"]), lists_of(s["sim_mapping"])


def split(data: sp.csr_matrix, seed: int, share=0.3):
    """(old, new) parts of a users x items matrix, every interaction in one part."""
    coo = data.tocoo()
    fresh = np.random.default_rng(seed).random(coo.nnz) < share
    parts = []
    for keep in (~fresh, fresh):
        parts.append(
            sp.csr_matrix(
                (coo.data[keep], (coo.row[keep], coo.col[keep])), shape=data.shape, dtype=F32
            )
        )
    return parts


def layout_data(layout, seed):
    if layout == "dense":
        return signed_interactions(40, 30, 0.4, seed=seed)
    # A small block of a large catalogue: the update touches few entities, and
    # each touched pair still gathers several products.
    block = signed_interactions(10, 10, 0.7, seed=seed).tocoo()
    return sp.csr_matrix((block.data, (block.row, block.col)), shape=(2000, 2000))


@pytest.mark.parametrize("kind", ["item", "user"])
@pytest.mark.parametrize(
    "layout, min_common", [("dense", 0), ("dense", 1), ("dense", 2), ("sparse", 1), ("sparse", 3)]
)
@pytest.mark.parametrize("computed", [True, False])
def test_matches_reference_update(kind, layout, min_common, computed, tmp_path):
    old, new = split(layout_data(layout, seed=min_common), seed=3, share=0.6)
    m = make_model(kind, old, min_common=min_common)
    if computed:
        m.compute_similarities(False, 1)
    before = decoded(state(m, tmp_path, "before"))
    n = old.shape[1] if kind == "item" else old.shape[0]
    other, entity = (new, new.T) if kind == "item" else (new.T, new)
    ss, pairs, lists = reference_update(*before, other, entity, n, min_common)
    new_users, new_items = both_orientations(new)
    m.update_similarities(new_users, new_items)
    s = state(m, tmp_path)
    assert s["sum_squares"].tobytes() == ss.tobytes()
    assert same_pairs(s["pair_stats"], pairs)
    assert same_lists(lists_of(s["sim_mapping"]), lists)
    merged = sp.csr_matrix((old + new).toarray())
    for name, matrix in (("user_interactions", merged), ("item_interactions", merged.T)):
        indices, indptr, data = s[name]
        got = sp.csr_matrix((data, indices, indptr.astype(np.int64)), shape=matrix.shape)
        assert np.array_equal(got.toarray(), matrix.toarray())


@pytest.mark.parametrize("kind", ["item", "user"])
def test_update_of_an_empty_model_equals_compute(kind, movielens, tmp_path):
    # Items: millions of list entries, so the computed lists are built in
    # several tiles; the update builds them by its own path.
    data = movielens[:, :1500] if kind == "item" else movielens[:200, :800]
    full = make_model(kind, data)
    full.compute_similarities(False, 2)
    empty = sp.csr_matrix(data.shape, dtype=F32)
    m = make_model(kind, empty)
    m.update_similarities(*both_orientations(data))
    a, b = state(full, tmp_path, "full"), state(m, tmp_path, "inc")
    fields = ["x", "y", "dot", "count"]
    assert np.array_equal(a["pair_stats"][fields], b["pair_stats"][fields])
    assert canonical(a["sim_mapping"]) == canonical(b["sim_mapping"])
    assert a["sum_squares"].tobytes() == b["sum_squares"].tobytes()


def test_repeated_interaction_counts_twice(tmp_path):
    m = example_model()
    m.compute_similarities(False, 1)
    again_users = [{}, {0: 3.0, 1: 1.0}, {}]
    again_items = [{1: 3.0}, {1: 1.0}, {}]
    m.update_similarities(from_rows(again_users), from_rows(again_items))
    s = state(m, tmp_path)
    assert s["sum_squares"].tolist() == [14.0, 2.0, 0.0]
    assert pairs_dict(s["pair_stats"]) == {(0, 1): (5.0, 2)}
    assert s["item_interactions"][2][:2].tolist() == [1.0, 3.0]


def test_update_without_new_pairs_still_merges(tmp_path, capfd):
    m = example_model()
    m.compute_similarities(False, 1)
    before = state(m, tmp_path, "before")
    capfd.readouterr()
    m.update_similarities(Interactions([], [0, 0, 0], []), from_rows([{}, {}, {2: 4.0}]))
    assert "incremental cosine sim: 0 elapsed: " in capfd.readouterr().out
    s = state(m, tmp_path)
    assert s["sum_squares"].tolist() == [5.0, 1.0, 16.0]
    assert canonical(s["sim_mapping"]) == canonical(before["sim_mapping"])
    assert s["item_interactions"][0].tolist() == [0, 1, 1, 2]


def test_count_reaching_min_common_makes_a_neighbour():
    ui = from_rows([{0: 1.0, 1: 1.0}, {}])
    ii = from_rows([{0: 1.0}, {0: 1.0}])
    m = quibrel.ItemCF("ranking", 10, 2, 2, 2, ui, ii, {}, 0.0)
    m.compute_similarities(False, 1)
    with pytest.raises(ValueError):
        m.num_sim_elements()
    m.update_similarities(from_rows([{}, {0: 1.0, 1: 1.0}]), from_rows([{1: 1.0}, {1: 1.0}]))
    assert m.num_sim_elements() == 2


def test_pairs_keep_their_identity_when_the_catalogue_grows(tmp_path):
    # Pair (1, 2) is stored with n = 3; after growing n the update must find it
    # again instead of creating a second record for the same pair.
    ui = from_rows([{1: 1.0, 2: 2.0}])
    ii = from_rows([{}, {0: 1.0}, {0: 2.0}])
    m = quibrel.ItemCF("ranking", 10, 2, 3, 1, ui, ii, {}, 0.0)
    m.compute_similarities(False, 1)
    m.n_items = 46_400
    m.update_similarities(
        from_rows([{}, {1: 1.0, 2: 1.0, 46_399: 1.0}]),
        Interactions([1, 1, 1], [0, 0, 1, 2] + [2] * 46_396 + [3], [1.0] * 3),
    )
    s = state(m, tmp_path)
    assert pairs_dict(s["pair_stats"]) == {
        (1, 2): (3.0, 2),
        (1, 46_399): (1.0, 1),
        (2, 46_399): (1.0, 1),
    }
    sims = lists_of(s["sim_mapping"])
    assert sims[1][2] == pytest.approx(3.0 / (np.sqrt(2.0) * np.sqrt(5.0)), rel=1e-6)
    assert sorted(sims[46_399]) == [1, 2]


def state_is_unchanged_except_sums(before, after, pair_changes=()):
    expected_pairs = pairs_dict(before["pair_stats"])
    expected_pairs.update(pair_changes)
    assert pairs_dict(after["pair_stats"]) == expected_pairs
    assert canonical(after["sim_mapping"]) == canonical(before["sim_mapping"])
    for name in ("user_interactions", "item_interactions"):
        for a, b in zip(before[name], after[name], strict=True):
            assert np.array_equal(a, b)


@pytest.mark.parametrize(
    "new_users, error",
    [
        # A negative column fails before any pair is stored.
        (Interactions([1, 2, -1], [0, 3, 3, 3], [1.0, 1.0, 1.0]), OUT_OF_RANGE),
        # A column >= n paired with entity 0 fails before any pair is stored.
        (Interactions([1, 2, 0, 3], [0, 2, 4, 4], [1.0] * 4), "the len is 3 but the index is 3"),
        # An indptr without its leading 0.
        (Interactions([], [], []), "the len is 0 but the index is 0"),
        # Offsets past the entries.
        (Interactions([1], [0, 2, 2, 2], [1.0]), "the len is 1 but the index is 1"),
    ],
)
def test_failures_before_any_pair(new_users, error, tmp_path):
    m = example_model()
    m.compute_similarities(False, 1)
    before = state(m, tmp_path, "before")
    with pytest.raises(BaseException) as info:
        m.update_similarities(new_users, from_rows([{}, {2: 1.0}, {2: 1.0}]))
    if error == OUT_OF_RANGE:
        assert info.type is ValueError and str(info.value) == error
    else:
        assert raised_panic(info, "index out of bounds: " + error)
    after = state(m, tmp_path)
    assert after["sum_squares"].tolist() == [5.0, 2.0, 1.0]
    state_is_unchanged_except_sums(before, after)


def test_late_column_failure_keeps_earlier_pairs(tmp_path):
    # Row 2 pairs entity 1 with column 9 >= n: entity 0's new pair is stored
    # first, then the update fails at entity 1.
    m = example_model()
    m.compute_similarities(False, 1)
    before = state(m, tmp_path, "before")
    new_users = from_rows([{0: 1.0, 2: 1.0}, {}, {1: 1.0, 9: 1.0}])
    with pytest.raises(BaseException) as info:
        m.update_similarities(new_users, from_rows([]))
    assert raised_panic(info, "index out of bounds: the len is 3 but the index is 9")
    state_is_unchanged_except_sums(before, state(m, tmp_path), {(0, 2): (1.0, 1)})


def test_merge_failure_after_lists_are_updated(tmp_path):
    m = example_model()
    m.compute_similarities(False, 1)
    new_items = from_rows([{}, {2: 1.0}, {2: 1.0}, {0: 1.0}])  # item 3 == n_items
    with pytest.raises(BaseException) as info:
        m.update_similarities(from_rows(NEW_USERS), new_items)
    assert raised_panic(info, "index out of bounds: the len is 3 but the index is 3")
    s = state(m, tmp_path)
    assert sorted(lists_of(s["sim_mapping"])[1]) == [0, 2]
    assert s["user_interactions"][1].tolist() == [0, 1, 3, 5]  # merged already
    assert s["item_interactions"][1].tolist() == [0, 2, 3, 3]  # unchanged


def test_nan_in_a_merged_list_fails_after_earlier_entities(tmp_path):
    m = example_model()
    m.compute_similarities(False, 1)
    before = lists_of(state(m, tmp_path, "before")["sim_mapping"])
    # New pairs (0, 2) with a finite and (1, 2) with a NaN similarity: entity 0
    # is stored, entity 1's merged list holds the NaN and fails.
    new_users = from_rows([{0: 1.0, 2: 1.0}, {}, {1: float("nan"), 2: 1.0}])
    new_items = from_rows([{0: 1.0}, {2: float("nan")}, {0: 1.0, 2: 1.0}])
    with pytest.raises(BaseException) as info:
        m.update_similarities(new_users, new_items)
    assert raised_panic(info, re.escape("called `Option::unwrap()` on a `None` value"))
    after = lists_of(state(m, tmp_path)["sim_mapping"])
    assert sorted(after[0]) == [1, 2] and after[1] == before[1] and 2 not in after


@pytest.mark.parametrize(
    "old_list, expected_order",
    [
        # A repeated id keeps its later similarity; extra ids beyond the shorter
        # vector are ignored.
        (([2, 0, 2, 7], [0.1, 0.9, 0.3]), [0, 2]),
        # A stored list that is not in descending order is sorted as a whole.
        (([0, 5], [0.2, 0.8]), [5, 2, 0]),
    ],
)
def test_lists_read_from_files_merge_by_id(old_list, expected_order, tmp_path):
    m = example_model()
    m.compute_similarities(False, 1)
    ids, sims = old_list
    m = with_state(m, tmp_path, sim_mapping={1: (ids, sims)})
    m.update_similarities(from_rows(NEW_USERS), from_rows(NEW_ITEMS))
    lists = state(m, tmp_path)["sim_mapping"]
    assert lists[1][0].tolist() == expected_order
    assert lists_of(lists)[1][2] == F32(0.70710677)
    assert sorted(lists) == [1, 2]


def test_records_with_unusual_ids_survive_updates_and_recomputes(tmp_path):
    unusual = [(-3, 1, 1.5, 2), (2, 1, 7.0, 1), (100_000, 5, 2.0, 1), (1, 1, 4.0, 9)]
    m = example_model()
    m.compute_similarities(False, 1)
    m = with_state(m, tmp_path, pair_stats=[*unusual, (1, 2, 1.0, 4), (0, 1, 2.0, 1)])
    m.update_similarities(from_rows(NEW_USERS), from_rows(NEW_ITEMS))
    expected = {(x, y): (d, c) for x, y, d, c in unusual}
    expected |= {(1, 2): (2.0, 5), (0, 1): (2.0, 1)}
    assert pairs_dict(state(m, tmp_path, "updated")["pair_stats"]) == expected
    m.compute_similarities(True, 1)
    expected[(1, 2)] = (1.0, 1)
    assert pairs_dict(state(m, tmp_path)["pair_stats"]) == expected


def test_rows_from_a_computation_and_from_a_file_evolve_alike(movielens, tmp_path):
    # A computed model keeps its pair rows in the blocks the computation wrote;
    # a loaded copy keeps them row by row. Updates and recomputes (which move,
    # merge and compact rows) must leave both with the same state.
    old, new = split(movielens, seed=1, share=0.2)
    computed = make_model("user", old)
    computed.compute_similarities(False, 2)
    quibrel.save_user_cf(computed, str(tmp_path), "copy")
    loaded = quibrel.load_user_cf(str(tmp_path), "copy")
    for step in range(2):
        for model in (computed, loaded):
            if step == 0:
                model.update_similarities(*both_orientations(new))
            else:
                model.compute_similarities(True, 1)
        a, b = state(computed, tmp_path, "a"), state(loaded, tmp_path, "b")
        assert len(a["pair_stats"]) > 100_000
        assert np.array_equal(a["pair_stats"], b["pair_stats"])
        assert canonical(a["sim_mapping"]) == canonical(b["sim_mapping"])
