"""A model's state computed by entity ranges and installed in another model
(quibrel._native.partition_lists, install_lists, complete_state), as the distributed fit
does: installing every range in any order gives the model a full computation gives, bit for
bit (their saved records hold every field), and nothing a caller passes can crash it."""

from __future__ import annotations

import gzip
import itertools

import numpy as np
import pytest
import quibrel
from conftest import both_orientations, from_rows, random_interactions
from quibrel import _native

DTYPES = (np.uint64, np.int32, np.float32, np.uint64, np.int32, np.float32, np.uint32)
SAVE = {"item": quibrel.save_item_cf, "user": quibrel.save_user_cf, "swing": quibrel.save_swing}


def make(kind, m, min_common=1):
    u, i = both_orientations(m)
    n_users, n_items = m.shape
    if kind == "swing":
        return quibrel.Swing(10, 0.5, 1000, n_users, n_items, u, i, {}, 0.0)
    cls = quibrel.ItemCF if kind == "item" else quibrel.UserCF
    return cls("ranking", 10, n_users, n_items, min_common, u, i, {}, 0.0)


def record(kind, model, tmp_path, name):
    _native.call(SAVE[kind], (model, str(tmp_path), name), 0, True, None)
    return gzip.decompress((tmp_path / f"{name}.gz").read_bytes())


def pieces(model, begin, end, keep=0, pairs=True, workers=0):
    """(first, seven arrays) per piece of the range."""
    out = _native.partition_lists(model, begin, end, keep, pairs, workers)
    return [(p[0], [np.frombuffer(x, t) for x, t in zip(p[1:], DTYPES, strict=True)]) for p in out]


def gathered(kind, m, bounds, min_common=1, workers=0, keep=0):
    worker, client = make(kind, m, min_common), make(kind, m, min_common)
    for begin, end in list(itertools.pairwise(bounds))[::-1]:  # any order
        for first, arrays in pieces(
            worker, begin, end, keep, kind != "swing" and not keep, workers
        ):
            _native.install_lists(client, first, *arrays)
    _native.complete_state(client)
    return client


@pytest.mark.parametrize("kind", ["item", "user", "swing"])
@pytest.mark.parametrize("min_common", [0, 1, 2])
@pytest.mark.parametrize("workers", [0, 1])
def test_ranges_installed_in_any_order_equal_a_full_computation(
    kind, min_common, workers, tmp_path
):
    m = random_interactions(60, 45, 0.15, seed=3)
    ref = make(kind, m, min_common)
    if kind == "swing":
        ref.compute_swing(2)
    else:
        ref.compute_similarities(False, 2)
    n = 60 if kind == "user" else 45
    model = gathered(kind, m, [0, 7, 20, 21, 21, 33, n], min_common, workers)
    assert record(kind, model, tmp_path, "a") == record(kind, ref, tmp_path, "b")
    # The gathered state is complete: an exact update builds on it as on a computed one.
    if kind != "swing":
        batch = random_interactions(60, 45, 0.05, seed=4)
        for target in (model, ref):
            u, i = both_orientations(batch)
            _native.exact_update(target, u, i, "incremental")
        assert record(kind, model, tmp_path, "a") == record(kind, ref, tmp_path, "b")


@pytest.mark.parametrize("kind", ["item", "swing"])
def test_kept_heads_are_the_first_entries_of_the_full_lists(kind):
    m = random_interactions(60, 45, 0.3, seed=5)
    full = gathered(kind, m, [0, 45])
    cut = gathered(kind, m, [0, 20, 45], keep=3)
    items = list(range(45))
    want = _native.neighbours(full, items, 3)
    assert _native.neighbours(cut, items, 1 << 40) == want
    assert max(np.diff(np.frombuffer(want[0], np.uint64))) == 3


def test_ranges_and_lists_are_checked_before_the_model_changes(tmp_path):
    m = random_interactions(30, 20, 0.2, seed=6)
    worker, client = make("item", m), make("item", m)
    [(first, good)] = pieces(worker, 5, 9, workers=1)
    with pytest.raises(BaseException, match="index out of bounds"):
        _native.partition_lists(worker, 5, 21, 0, True, 1)
    with pytest.raises(BaseException, match="index out of bounds"):
        _native.partition_lists(worker, 9, 5, 0, True, 1)
    with pytest.raises(ValueError, match="no pair records"):
        _native.partition_lists(make("swing", m), 0, 5, 0, True, 1)

    def altered(index, change):
        arrays = [a.copy() for a in good]
        change(arrays[index])
        return arrays

    def bump(offsets):
        offsets[1] = offsets[2] + 1  # no longer ascending

    def far(ids):
        ids[0] = 20

    def negative(ids):
        ids[-1] = -1

    def descend(pair_ids):
        pair_ids[[-2, -1]] = pair_ids[[-1, -2]]  # the last entity's last two partners

    def zero(counts):
        counts[0] = 0

    before = record("item", client, tmp_path, "before")
    cases = [
        (first, altered(0, bump), "offsets do not describe"),
        (first, altered(1, far), "outside the model's entities"),
        (first, altered(1, negative), "outside the model's entities"),
        (first, altered(3, bump), "pair offsets do not describe"),
        (first, altered(4, descend), "must ascend above their entity"),
        (first, altered(6, zero), "pair count is outside"),
        (17, good, "entity id is outside"),  # four entities from 17 pass the count of 20
        (first, good[:2] + [good[2][:-1]] + good[3:], "differ in length"),
    ]
    for start, arrays, message in cases:
        with pytest.raises(ValueError, match=message):
            _native.install_lists(client, start, *arrays)
    assert record("item", client, tmp_path, "after") == before
    with pytest.raises(ValueError, match="no pair records"):
        _native.install_lists(make("swing", m), first, *good)
    with pytest.raises(TypeError, match="expected an ItemCF"):
        _native.install_lists(object(), first, *good)
    # Arrays of other dtypes (and lists) are converted, with the same result.
    _native.install_lists(
        client,
        first,
        *[
            a.astype(np.int64).tolist() if a.dtype.kind in "iu" else a.astype(np.float64)
            for a in good
        ],
    )
    other = make("item", m)
    _native.install_lists(other, first, *good)
    assert record("item", client, tmp_path, "x") == record("item", other, tmp_path, "y")


def test_a_row_naming_an_entity_beyond_the_count_is_refused():
    # Matrices that disagree with the entity count (the engine takes them as given).
    m = random_interactions(30, 20, 0.2, seed=7)
    u, i = both_orientations(m)
    model = quibrel.ItemCF("ranking", 10, 30, 19, 1, u, i, {}, 0.0)
    with pytest.raises(BaseException, match="index out of bounds"):
        _native.partition_lists(model, 0, 19, 0, True, 0)


@pytest.mark.parametrize("kind", ["item", "user", "swing"])
def test_a_range_installed_twice_leaves_the_model_as_once(kind, tmp_path):
    # A range computed again after its worker died may arrive after the first result.
    m = random_interactions(60, 45, 0.15, seed=8)
    n = 60 if kind == "user" else 45
    once = gathered(kind, m, [0, 12, 30, n])
    worker, twice = make(kind, m), make(kind, m)
    for begin, end in [(12, 30), (0, 12), (12, 30), (30, n), (0, 12)]:
        for first, arrays in pieces(worker, begin, end, 0, kind != "swing"):
            _native.install_lists(twice, first, *arrays)
    _native.complete_state(twice)
    assert record(kind, twice, tmp_path, "a") == record(kind, once, tmp_path, "b")


# ---- pair records alone: the full fit's route, whose client builds the lists ----------

PAIR_DTYPES = DTYPES[3:]


def pair_pieces(model, begin, end, workers=0):
    """(first, four arrays) per piece of the range's pair records."""
    out = _native.partition_pairs(model, begin, end, workers)
    return [
        (p[0], [np.frombuffer(x, t) for x, t in zip(p[1:], PAIR_DTYPES, strict=True)]) for p in out
    ]


def joined(pieces_of_range, skip):
    """A range's pair records as one piece (offsets made absolute): the four pair arrays of
    its pieces, which start at a piece's array number `skip`."""
    offsets = [np.zeros(1, np.uint64)]
    rest = [[np.zeros(0, t)] for t in PAIR_DTYPES[1:]]
    for _, arrays in pieces_of_range:
        offsets.append(arrays[skip][1:] + offsets[-1][-1])
        for held, a in zip(rest, arrays[skip + 1 :], strict=True):
            held.append(a)
    return [np.concatenate(offsets)] + [np.concatenate(r) for r in rest]


def gathered_pairs(kind, m, bounds, min_common=1, workers=0):
    worker, client = make(kind, m, min_common), make(kind, m, min_common)
    for begin, end in list(itertools.pairwise(bounds))[::-1]:  # any order
        for first, arrays in pair_pieces(worker, begin, end, workers):
            _native.install_pairs(client, first, *arrays)
    _native.complete_from_pairs(client, workers)
    return client


@pytest.mark.parametrize("kind", ["item", "user"])
@pytest.mark.parametrize("min_common", [0, 1, 2])
@pytest.mark.parametrize("workers", [0, 1])
def test_lists_built_from_gathered_pairs_equal_a_full_computation(
    kind, min_common, workers, tmp_path
):
    m = random_interactions(60, 45, 0.15, seed=3)
    ref = make(kind, m, min_common)
    ref.compute_similarities(False, 2)
    n = 60 if kind == "user" else 45
    model = gathered_pairs(kind, m, [0, 7, 20, 21, 21, 33, n], min_common, workers)
    assert record(kind, model, tmp_path, "a") == record(kind, ref, tmp_path, "b")
    # Complete: an exact update builds on it as on a computed one.
    batch = random_interactions(60, 45, 0.05, seed=4)
    for target in (model, ref):
        u, i = both_orientations(batch)
        _native.exact_update(target, u, i, "incremental")
    assert record(kind, model, tmp_path, "a") == record(kind, ref, tmp_path, "b")


@pytest.mark.parametrize("shape", [(60, 45, 0.15), (400, 3000, 0.004), (3000, 300, 0.02)], ids=str)
def test_pair_records_are_those_of_the_lists_route(shape):
    # Dense and sparse rows, so that partners are found by every means (all cells read, a
    # bitmap walked, a few ids sorted); the rows above x differ from range to range.
    m = random_interactions(*shape, seed=11)
    model = make("item", m)
    n = shape[1]
    for begin, end in [(0, n // 3), (n // 3, n - 1), (n - 1, n), (5, 5)]:
        want = joined(pieces(model, begin, end), 3)
        for workers in (0, 1):
            got = joined(pair_pieces(model, begin, end, workers), 0)
            for a, b in zip(got, want, strict=True):
                np.testing.assert_array_equal(a, b)


def test_matrices_whose_rows_do_not_ascend_give_the_same_pair_records():
    m = random_interactions(50, 40, 0.2, seed=12)
    u, i = both_orientations(m)
    # Every user row (the side the items' partners are found in) in descending item order.
    rows = [
        dict(
            reversed(
                list(zip(u.sparse_indices[a:b].tolist(), u.sparse_data[a:b].tolist(), strict=True))
            )
        )
        for a, b in itertools.pairwise(u.sparse_indptr)
    ]
    model = quibrel.ItemCF("ranking", 10, 50, 40, 1, from_rows(rows), i, {}, 0.0)
    got = joined(pair_pieces(model, 3, 31), 0)
    want = joined(pieces(model, 3, 31), 3)
    assert len(want[1]) > 0
    for a, b in zip(got, want, strict=True):
        np.testing.assert_array_equal(a, b)


def test_pair_ranges_and_records_are_checked_before_the_model_changes(tmp_path):
    m = random_interactions(30, 20, 0.2, seed=6)
    worker, client = make("item", m), make("item", m)
    [(first, good)] = pair_pieces(worker, 5, 9, workers=1)
    assert first == 5 and len(good[1]) >= 4
    with pytest.raises(BaseException, match="index out of bounds"):
        _native.partition_pairs(worker, 5, 21, 1)
    with pytest.raises(BaseException, match="index out of bounds"):
        _native.partition_pairs(worker, 9, 5, 1)
    with pytest.raises(ValueError, match="max_workers must not be negative"):
        _native.partition_pairs(worker, 0, 5, -1)
    for call in (
        lambda s: _native.partition_pairs(s, 0, 5, 1),
        lambda s: _native.install_pairs(s, first, *good),
        lambda s: _native.complete_from_pairs(s, 0),
    ):
        with pytest.raises(ValueError, match="no pair records"):
            call(make("swing", m))
        with pytest.raises(TypeError, match="expected an ItemCF"):
            call(object())

    def altered(index, change):
        arrays = [a.copy() for a in good]
        change(arrays[index])
        return arrays

    def bump(offsets):
        offsets[1] = offsets[2] + 1  # no longer ascending

    def overrun(offsets):
        offsets[-1] += 1  # beyond the records

    def far(ids):
        ids[0] = 20

    def negative(ids):
        ids[-1] = -1

    def itself(ids):
        ids[0] = first  # entity 5's first partner: not above it

    def descend(ids):
        ids[[-2, -1]] = ids[[-1, -2]]  # the last entity's last two partners

    def zero(counts):
        counts[0] = 0

    def wide(counts):
        counts[-1] = 2**32 - 1

    before = record("item", client, tmp_path, "before")
    cases = [
        (first, altered(0, bump), "pair offsets do not describe"),
        (first, altered(0, overrun), "pair offsets do not describe"),
        (first, [np.zeros(0, np.uint64), *good[1:]], "pair offsets do not describe"),
        (first, altered(1, far), "ascend above their entity and below the entity count"),
        (first, altered(1, negative), "ascend above their entity"),
        (first, altered(1, itself), "ascend above their entity"),
        (first, altered(1, descend), "ascend above their entity"),
        (first, altered(3, zero), "pair count is outside"),
        (first, altered(3, wide), "pair count is outside"),
        (17, good, "entity id is outside"),  # four entities from 17 pass the count of 20
        (2**40, good, "entity id is outside"),
        (first, [good[0], good[1], good[2][:-1], good[3]], "differ in length"),
        (first, [good[0], good[1], good[2], good[3][:-1]], "differ in length"),
    ]
    for start, arrays, message in cases:
        with pytest.raises(ValueError, match=message):
            _native.install_pairs(client, start, *arrays)
    with pytest.raises(ValueError, match="does not fit 32 bits"):
        _native.install_pairs(client, first, good[0], good[1], good[2], [2**32] * len(good[3]))
    assert record("item", client, tmp_path, "after") == before
    # Sequences of other types are converted, with the same result.
    _native.install_pairs(
        client, first, *[a.tolist() if a.dtype.kind in "iu" else a.astype(np.float64) for a in good]
    )
    other = make("item", m)
    _native.install_pairs(other, first, *good)
    assert record("item", client, tmp_path, "x") == record("item", other, tmp_path, "y")


@pytest.mark.parametrize("kind", ["item", "user"])
def test_pair_ranges_installed_twice_leave_the_model_as_once(kind, tmp_path):
    m = random_interactions(60, 45, 0.15, seed=8)
    n = 60 if kind == "user" else 45
    once = gathered_pairs(kind, m, [0, 12, 30, n])
    worker, twice = make(kind, m), make(kind, m)
    for begin, end in [(12, 30), (0, 12), (12, 30), (30, n), (0, 12)]:
        for first, arrays in pair_pieces(worker, begin, end):
            _native.install_pairs(twice, first, *arrays)
    _native.complete_from_pairs(twice, 1)
    assert record(kind, twice, tmp_path, "a") == record(kind, once, tmp_path, "b")


def test_pair_costs_weigh_the_partners_above_each_entity():
    from quibrel import _ranges

    m = random_interactions(70, 50, 0.12, seed=13)
    items, users = both_orientations(m)[::-1]
    costs = _ranges.pair_costs(
        items.sparse_indptr, items.sparse_indices, users.sparse_indptr, users.sparse_indices
    )
    # Brute force: each item's updates are, over its users, the items above it they hold.
    dense = m.toarray() != 0
    updates = np.array(
        [sum(dense[u, x + 1 :].sum() for u in np.nonzero(dense[:, x])[0]) for x in range(50)],
        dtype=np.float64,
    )
    records = np.minimum(updates, 49 - np.arange(50))
    work = updates + dense.sum(axis=0) + 1
    want = work / work.sum() + (records + 1) / (records + 1).sum()
    np.testing.assert_allclose(costs, want, rtol=1e-12)
    # Low ids meet more partners above them: the first half weighs more.
    assert costs[:25].sum() > costs[25:].sum()
