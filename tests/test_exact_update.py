"""Exact incremental updates (quibrel._native.exact_update): after every batch the model is
the model a full computation on all interactions gives. Models are compared through their
saved records, which hold every field (norms, pair statistics, neighbour lists in order,
matrices), so equality of the records is equality bit for bit."""

from __future__ import annotations

import gzip
import os
import pathlib
import tempfile
import textwrap

import numpy as np
import pytest
import quibrel
import scipy.sparse as sp
from conftest import both_orientations, random_interactions, run_python
from hypothesis import given, settings
from hypothesis import strategies as st
from quibrel import _native

SAVE = {"item": quibrel.save_item_cf, "user": quibrel.save_user_cf, "swing": quibrel.save_swing}


def make(kind, m, min_common=1, max_cache_num=100_000):
    u, i = both_orientations(m)
    n_users, n_items = m.shape
    if kind == "swing":
        return quibrel.Swing(10, 0.5, max_cache_num, n_users, n_items, u, i, {}, 0.0)
    cls = quibrel.ItemCF if kind == "item" else quibrel.UserCF
    return cls("ranking", 10, n_users, n_items, min_common, u, i, {}, 0.0)


def computed(kind, m, invert=False, **kw):
    model = make(kind, m, **kw)
    if kind == "swing":
        model.compute_swing(2)
    else:
        model.compute_similarities(invert, 2)
    return model


def record(kind, model, tmp_path, name="m"):
    SAVE[kind](model, str(tmp_path), name)
    return gzip.decompress((tmp_path / f"{name}.gz").read_bytes())


def grown(m, shape):
    m = sp.csr_matrix(m, dtype=np.float32, copy=True)
    m.resize(shape)
    return m


def union(old, batch):
    """The stored interactions after a batch: a batch value replaces a stored one."""
    old = grown(old, batch.shape).toarray()
    new = batch.toarray()
    old[new != 0] = new[new != 0]
    return sp.csr_matrix(old)


def apply(model, batch, route="incremental"):
    model.n_users, model.n_items = batch.shape
    u, i = both_orientations(batch)
    return _native.exact_update(model, u, i, route=route)


def new_cells(full, stored, seed, share=0.3):
    """Cells of `full` that `stored` lacks, in a random share of the stored users and items
    (all new users and items take part), plus three stored cells with new values."""
    rng = np.random.default_rng(seed)
    f = full.toarray()
    s = grown(stored, full.shape).toarray()
    rows = rng.random(f.shape[0]) < share
    cols = rng.random(f.shape[1]) < share
    rows[stored.shape[0] :] = True
    cols[stored.shape[1] :] = True
    b = np.where((f != 0) & (s == 0) & rows[:, None] & cols[None, :], f, 0)
    r, c = np.nonzero(s)
    pick = rng.choice(len(r), size=3, replace=False)
    b[r[pick], c[pick]] = s[r[pick], c[pick]] + 10
    return sp.csr_matrix(b.astype(np.float32))


def replacing(stored, users, seed):
    """The stored cells of the given users, with new values."""
    rng = np.random.default_rng(seed)
    b = np.zeros(stored.shape, dtype=np.float32)
    s = stored.toarray()
    b[users] = np.where(s[users] != 0, rng.integers(1, 11, size=s[users].shape) / 2 + 7, 0)
    return sp.csr_matrix(b)


KINDS = ["item", "user", "swing"]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("min_common", [1, 2])
def test_batches_in_a_row_equal_a_full_computation(kind, min_common, tmp_path):
    # Three batches, each bringing new users and new items, new cells for part of the stored
    # users and items, and new values for stored cells.
    full = random_interactions(90, 70, 0.12, seed=4)
    stored = sp.csr_matrix(full[:60, :50])
    model = computed(kind, stored, min_common=min_common)
    for step, shape in enumerate([(70, 55), (80, 62), (90, 70)]):
        batch = new_cells(sp.csr_matrix(full[: shape[0], : shape[1]]), stored, seed=step)
        assert apply(model, batch) == "incremental"
        stored = union(stored, batch)
        ref = computed(kind, stored, min_common=min_common)
        assert record(kind, model, tmp_path, "a") == record(kind, ref, tmp_path, "b")
        if kind != "swing":
            # Either full path gives the same record.
            ref = computed(kind, stored, invert=True, min_common=min_common)
            assert record(kind, model, tmp_path, "a") == record(kind, ref, tmp_path, "b")
    users = list(range(90))
    assert model.recommend(users, 8, True, False) == ref.recommend(users, 8, True, False)
    pu = np.repeat(np.arange(90), 70).tolist()
    pi = np.tile(np.arange(70), 90).tolist()
    assert model.predict(pu, pi) == ref.predict(pu, pi)
    counter = "num_swing_elements" if kind == "swing" else "num_sim_elements"
    assert getattr(model, counter)() == getattr(ref, counter)() > 0


@pytest.mark.parametrize("kind", KINDS)
def test_updates_print_nothing_and_an_empty_batch_changes_only_the_counts(kind, tmp_path, capfd):
    stored = random_interactions(40, 30, 0.15, seed=1)
    model = computed(kind, stored)
    capfd.readouterr()
    assert apply(model, sp.csr_matrix((45, 33), dtype=np.float32)) == "incremental"
    assert capfd.readouterr().out == ""
    ref = computed(kind, grown(stored, (45, 33)))
    assert record(kind, model, tmp_path, "a") == record(kind, ref, tmp_path, "b")


@pytest.mark.parametrize("kind", KINDS)
def test_a_batch_on_one_very_popular_item(kind, tmp_path):
    stored = random_interactions(120, 40, 0.08, seed=2)
    model = computed(kind, stored)
    b = np.zeros(stored.shape, dtype=np.float32)
    b[:, 7] = 1.5  # every user, the stored ones included, on item 7
    batch = sp.csr_matrix(b)
    assert apply(model, batch) == "incremental"
    ref = computed(kind, union(stored, batch))
    assert record(kind, model, tmp_path, "a") == record(kind, ref, tmp_path, "b")


@pytest.mark.parametrize("kind", ["item", "user"])
def test_small_batches_on_long_lists(kind, tmp_path):
    # Long lists and few entries of changed entities in them: entries are moved one by one.
    stored = random_interactions(150, 120, 0.2, seed=13)
    model = computed(kind, stored)
    for step in range(3):
        b = np.zeros(stored.shape, dtype=np.float32)
        s = stored.toarray()
        b[step, np.nonzero(s[step])[0][0]] = 9.5  # a new value for a stored cell
        b[step + 50, np.nonzero(s[step + 50] == 0)[0][0]] = 3.0  # a new cell
        batch = sp.csr_matrix(b)
        assert apply(model, batch) == "incremental"
        stored = union(stored, batch)
        ref = computed(kind, stored)
        assert record(kind, model, tmp_path, "a") == record(kind, ref, tmp_path, "b")


@pytest.mark.parametrize("kind", ["item", "user"])
def test_several_entries_of_one_long_list_move_far_and_near(kind, tmp_path):
    # Each long list gets several entries of changed entities, one by one: values far from
    # the stored ones move their entries a long way through the list, small changes a few
    # places, and the later moves start where the earlier ones left the list.
    stored = random_interactions(600, 600, 0.3, seed=21)
    s = stored.toarray() if kind == "item" else stored.toarray().T
    model = computed(kind, stored)
    for step, value in enumerate([40.0, 0.01, 1.02]):
        b = np.zeros(s.shape, dtype=np.float32)
        for k, x in enumerate(range(4 * step, 4 * step + 4)):
            rows = np.nonzero(s[:, x])[0]
            b[rows[k::7], x] = value * (1 + k / 10)
        batch = sp.csr_matrix(b if kind == "item" else b.T)
        assert apply(model, batch) == "incremental"
        stored = union(stored, batch)
        s = stored.toarray() if kind == "item" else stored.toarray().T
        ref = computed(kind, stored)
        assert record(kind, model, tmp_path, "a") == record(kind, ref, tmp_path, "b")


def fold_and_compare(kind, model, stored, batches, tmp_path):
    """Folds in each batch (users by entities for ItemCF, transposed for UserCF) and checks
    the model against a full computation after each."""
    for b in batches:
        batch = sp.csr_matrix(b if kind == "item" else b.T)
        assert apply(model, batch) == "incremental"
        stored = union(stored, batch)
        assert record(kind, model, tmp_path, "a") == record(
            kind, computed(kind, stored), tmp_path, "b"
        )


def gathered_from_pairs(kind, m):
    """A model whose pair records were computed in two ranges and installed, as the
    distributed fit builds one."""
    from quibrel._ranges import PAIR_DTYPES

    worker, model = make(kind, m), make(kind, m)
    n = m.shape[0] if kind == "user" else m.shape[1]
    for begin, end in ((n // 2, n), (0, n // 2)):
        for piece in _native.partition_pairs(worker, begin, end, 0):
            arrays = [np.frombuffer(x, t) for x, t in zip(piece[1:], PAIR_DTYPES, strict=True)]
            _native.install_pairs(model, piece[0], *arrays)
    _native.complete_from_pairs(model, 0)
    return model


@pytest.mark.parametrize("kind", ["item", "user"])
@pytest.mark.parametrize("source", ["forward", "invert", "gathered"])
def test_pair_rows_grow_in_their_room_until_it_runs_out(kind, source, tmp_path):
    # Three users who share entities 0..19 meet the late entities 44..53: one, then six,
    # then ten at a time. The pair rows of 0..19 gain one record, then five at once, then
    # four more than the room left after each row holds: grown where they lie, merged
    # there, and at last moved. After each batch the state is that of a full computation.
    s = random_interactions(40, 54, 0.2, seed=23).toarray()
    s[:6, :] = 0
    s[:, 44:] = 0
    s[:3, :20] = 1.0
    s[3:6, 40:] = 1.0  # the late entities have partners of their own
    stored = sp.csr_matrix(s if kind == "item" else s.T)
    if source == "gathered":
        model = gathered_from_pairs(kind, stored)
    else:
        model = computed(kind, stored, invert=source == "invert")
    batches = []
    for user, late in enumerate([range(50, 51), range(48, 54), range(44, 54)]):
        b = np.zeros(s.shape, dtype=np.float32)
        b[user, list(late)] = 2.0
        batches.append(b)
    fold_and_compare(kind, model, stored, batches, tmp_path)


@pytest.mark.parametrize("kind", ["item", "user"])
def test_rows_repacked_after_most_are_replaced_keep_their_room(kind, tmp_path):
    # Five new users with 60 entities each replace most pair rows whole, which leaves most of
    # the fit's block space dead: the live rows are repacked. Two later users then give the
    # repacked rows a few new partners each, inside the room the repacking left them.
    rng = np.random.default_rng(24)
    s = random_interactions(400, 300, 0.05, seed=24).toarray()
    stored = sp.csr_matrix(s if kind == "item" else s.T)
    model = computed(kind, stored)
    wide = np.zeros((405, 300), dtype=np.float32)
    for u in range(400, 405):
        wide[u, rng.choice(300, size=60, replace=False)] = 3.0
    few = np.zeros((407, 300), dtype=np.float32)
    few[405, [3, 150, 299]] = 2.0
    few[406, [7, 151, 298]] = 2.0
    fold_and_compare(kind, model, stored, [wide, few], tmp_path)


@pytest.mark.parametrize("kind", ["item", "user"])
def test_lists_out_of_order_in_a_model_file_keep_their_entries(kind, tmp_path):
    # Only a model file can hold lists that are not sorted; the searches of an update then
    # miss, and every entry must still stay inside its list: afterwards each list holds the
    # partners a full computation lists (in whatever order).
    from cf_state import state, with_state

    stored = random_interactions(100, 450, 0.3, seed=22)
    rng = np.random.default_rng(5)
    shuffled = {}
    for key, (ids, sims) in state(computed(kind, stored), tmp_path)["sim_mapping"].items():
        order = rng.permutation(len(ids))
        shuffled[key] = (ids[order].tolist(), sims[order].tolist())
    model = with_state(computed(kind, stored), tmp_path, sim_mapping=shuffled)
    s = stored.toarray() if kind == "item" else stored.toarray().T
    b = np.zeros(s.shape, dtype=np.float32)
    for x in range(4):
        b[np.nonzero(s[:, x])[0][x::7], x] = 40.0
    batch = sp.csr_matrix(b if kind == "item" else b.T)
    assert apply(model, batch) == "incremental"
    got = state(model, tmp_path, "got")["sim_mapping"]
    want = state(computed(kind, union(stored, batch)), tmp_path, "want")["sim_mapping"]
    assert {k: sorted(v[0].tolist()) for k, v in got.items()} == {
        k: sorted(v[0].tolist()) for k, v in want.items()
    }


@pytest.mark.parametrize("kind", ["item", "user"])
def test_min_common_zero_lists_every_entity(kind, tmp_path):
    stored = random_interactions(30, 25, 0.15, seed=5)
    model = computed(kind, stored, min_common=0)
    batch = replacing(stored, [3, 4], seed=1)
    assert apply(model, batch) == "incremental"
    ref = computed(kind, union(stored, batch), min_common=0)
    assert record(kind, model, tmp_path, "a") == record(kind, ref, tmp_path, "b")
    # New entities join every list: only a full run does that.
    assert apply(model, grown(batch, (32, 27))) == "full"
    ref = computed(kind, grown(union(stored, batch), (32, 27)), min_common=0)
    assert record(kind, model, tmp_path, "a") == record(kind, ref, tmp_path, "b")


@pytest.mark.parametrize("kind", KINDS)
def test_auto_route_falls_back_to_a_full_run_for_large_batches(kind, tmp_path):
    full = random_interactions(80, 60, 0.1, seed=6)
    stored = sp.csr_matrix(full[:40])
    model = computed(kind, grown(stored, (40, 60)))
    batch = grown(sp.csr_matrix(np.vstack([np.zeros((40, 60)), full[40:].toarray()])), (80, 60))
    assert apply(model, batch, route="auto") == "full"
    ref = computed(kind, full)
    assert record(kind, model, tmp_path, "a") == record(kind, ref, tmp_path, "b")
    # A small batch on a large model stays incremental.
    small = sp.csr_matrix(([2.0], ([5], [9])), shape=(80, 60), dtype=np.float32)
    big = computed(kind, random_interactions(80, 60, 0.02, seed=7))
    assert apply(big, small, route="auto") == "incremental"


@pytest.mark.parametrize("kind", ["item", "user", "swing"])
def test_a_model_never_computed_gets_a_full_run(kind, tmp_path):
    stored = random_interactions(30, 20, 0.2, seed=8)
    model = make(kind, stored)
    batch = replacing(stored, [1], seed=2)
    assert apply(model, batch) == "full"
    ref = computed(kind, union(stored, batch))
    assert record(kind, model, tmp_path, "a") == record(kind, ref, tmp_path, "b")


def test_swing_without_the_pair_cache(tmp_path):
    stored = random_interactions(50, 40, 0.15, seed=9)
    model = computed("swing", stored, max_cache_num=0)
    batch = new_cells(grown(random_interactions(55, 40, 0.15, seed=3), (55, 40)), stored, seed=3)
    assert apply(model, batch) == "incremental"
    ref = computed("swing", union(stored, batch), max_cache_num=0)
    assert record("swing", model, tmp_path, "a") == record("swing", ref, tmp_path, "b")


@pytest.mark.parametrize("kind", KINDS)
def test_entity_lists_equal_the_stored_lists(kind):
    m = random_interactions(50, 40, 0.15, seed=10)
    fresh = make(kind, m)
    model = computed(kind, m)
    n = 40 if kind != "user" else 50
    chosen = [n - 1, 0, 5, 5, 17]
    expected = _native.neighbours(model, chosen, 1 << 40)
    # Computed from the matrices alone: the same on a model that was never computed.
    assert _native.entity_lists(model, chosen) == expected
    assert _native.entity_lists(fresh, chosen) == expected
    with pytest.raises(BaseException, match="index out of bounds"):
        _native.entity_lists(model, [n])


@pytest.mark.parametrize("kind", KINDS)
def test_bad_batches_leave_the_model_unchanged(kind, tmp_path):
    stored = random_interactions(30, 20, 0.2, seed=11)
    model = computed(kind, stored)
    before = record(kind, model, tmp_path)
    gu, gi = both_orientations(replacing(stored, [2], seed=4))
    _, oi = both_orientations(replacing(stored, [3], seed=5))
    beyond = both_orientations(sp.csr_matrix(([1.0], ([30], [0])), shape=(31, 20)))
    wide = both_orientations(sp.csr_matrix(([1.0], ([0], [20])), shape=(30, 21)))
    cases = [
        ((gu, oi), ValueError, "different interactions"),  # the two matrices disagree
        (beyond, BaseException, "index out of bounds"),  # a user beyond n_users
        (wide, BaseException, "index out of bounds"),  # an item beyond n_items
        ((gu, gi, "sideways"), ValueError, "route"),
    ]
    for args, error, text in cases:
        with pytest.raises(error, match=text):
            _native.exact_update(model, *args)
        assert record(kind, model, tmp_path) == before
    with pytest.raises(TypeError):
        _native.exact_update(object(), gu, gi)


@pytest.mark.parametrize("kind", ["item", "user"])
def test_a_nan_similarity_fails_before_the_model_changes(kind, tmp_path):
    stored = random_interactions(30, 20, 0.25, seed=12)
    model = computed(kind, stored)
    before = record(kind, model, tmp_path)
    b = np.zeros(stored.shape, dtype=np.float32)
    b[4, np.nonzero(stored.toarray()[4])[0][0]] = np.inf  # a stored cell of user 4 turns infinite
    with pytest.raises(BaseException, match="unwrap"):
        apply(model, sp.csr_matrix(b))
    assert record(kind, model, tmp_path) == before


@pytest.mark.parametrize("kind", ["item", "user"])
def test_a_lone_nan_entry_kept_beside_a_new_one_fails_as_a_full_run(kind, tmp_path):
    # Entity 0's list holds one NaN entry (its partner 1 has a NaN value); the batch gives
    # entity 0 a second, finite neighbour without touching entity 0 or 1, so only the
    # patch of entity 0's list meets the NaN, and a full run refuses the two-entry list.
    cells = np.array([[1, np.nan, 0], [1, 0, 0], [0, 0, 1]], dtype=np.float32)
    batch = np.zeros((3, 3), dtype=np.float32)
    batch[1, 2] = 1
    if kind == "user":
        cells, batch = cells.T.copy(), batch.T.copy()
    model = computed(kind, sp.csr_matrix(cells))
    before = record(kind, model, tmp_path)
    with pytest.raises(BaseException, match="unwrap"):
        apply(model, sp.csr_matrix(batch))
    assert record(kind, model, tmp_path) == before
    with pytest.raises(BaseException, match="unwrap"):
        computed(kind, union(sp.csr_matrix(cells), sp.csr_matrix(batch)))


INTERRUPTED = """
import gzip, os, sys
import numpy as np, scipy.sparse as sp, quibrel
from quibrel import _native
from conftest import both_orientations, random_interactions

kind, tmp = {kind!r}, {tmp!r}
n_users, n_items = {shape}
stored = random_interactions(n_users, n_items, 0.05, seed=1)
u, i = both_orientations(stored)
if kind == "swing":
    base = quibrel.Swing(10, 0.5, 100000, n_users, n_items, u, i, {{}}, 0.0)
    base.compute_swing(2)
else:
    cls = quibrel.ItemCF if kind == "item" else quibrel.UserCF
    base = cls("ranking", 10, n_users, n_items, 1, u, i, {{}}, 0.0)
    base.compute_similarities(False, 2)
save, load = {{"item": (quibrel.save_item_cf, quibrel.load_item_cf),
              "user": (quibrel.save_user_cf, quibrel.load_user_cf),
              "swing": (quibrel.save_swing, quibrel.load_swing)}}[kind]
def body(m):
    save(m, tmp, "x")
    return gzip.decompress(open(os.path.join(tmp, "x.gz"), "rb").read())
before = body(base)
save(base, tmp, "base")
def make():
    return load(tmp, "base")
b = np.zeros((n_users, n_items), dtype=np.float32)
b[:n_users // 8, :] = stored.toarray()[:n_users // 8, :] + 1
bu, bi = both_orientations(sp.csr_matrix(b))
done = make()
_native.exact_update(done, bu, bi, route="incremental")
after = body(done)
del base, done
"""


@pytest.mark.parametrize("kind", KINDS)
def test_an_interrupt_between_the_loops_leaves_the_model_as_it_was(kind, tmp_path):
    # The progress hook stops the k-th parallel loop as an interrupt does; every loop of the
    # update is stopped in turn until the update gets through.
    code = INTERRUPTED.format(kind=kind, tmp=str(tmp_path), shape=(300, 200)) + textwrap.dedent(
        """
        outcomes = []
        for k in range(1, 40):
            m = make()
            calls = []
            def progress(done, total):
                if done == total:
                    calls.append(1)
                    if len(calls) == k:
                        raise KeyboardInterrupt
            try:
                _native.call(_native.exact_update, (m, bu, bi, "incremental"), 0, True, progress)
            except KeyboardInterrupt:
                assert body(m) == before, k
                outcomes.append("stopped")
                continue
            assert body(m) == after, k
            outcomes.append("done")
            break
        print("OUTCOMES", outcomes)
        """
    )
    out = run_python(code, timeout=300)
    assert out.returncode == 0, out.stderr[-3000:]
    outcomes = out.stdout.split("OUTCOMES")[1]
    assert "stopped" in outcomes and "done" in outcomes


# Large enough that the update's allocations are fresh mappings, not reused heap space.
SIZES = {"item": (3000, 1500), "user": (1500, 3000), "swing": (1000, 500)}


@pytest.mark.slow
@pytest.mark.skipif(
    bool(os.environ.get("QUIBREL_SANITIZED")),
    reason="address-space limits do not work under the sanitizer",
)
@pytest.mark.parametrize("kind", KINDS)
def test_allocation_failures_leave_the_model_as_it_was(kind, tmp_path):
    code = INTERRUPTED.format(kind=kind, tmp=str(tmp_path), shape=SIZES[kind]) + textwrap.dedent(
        """
        import resource
        def vm_size():
            for line in open("/proc/self/status"):
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024
        _native.pool_size()
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        outcomes = []
        # Failures are cheap and come at different points of the update; a completed update
        # costs seconds, and one far above the need says all the larger margins would.
        for margin in [-8, -1, 0, 1, 2, 4, 8, 16, 2048]:
            m = make()
            resource.setrlimit(resource.RLIMIT_AS, (vm_size() + int(margin * (1 << 20)), hard))
            try:
                _native.exact_update(m, bu, bi, "incremental")
                outcome = "done"
            except MemoryError:
                outcome = "failed"
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
            assert body(m) == (after if outcome == "done" else before), margin
            outcomes.append(outcome)
        print("OUTCOMES", outcomes)
        """
    )
    # One malloc arena: the room reserved for the file threads' arenas would otherwise serve
    # the update without any new mapping, and no limit would bite.
    out = run_python(code, env={"MALLOC_ARENA_MAX": "1"}, timeout=300)
    assert out.returncode == 0, out.stderr[-3000:]
    outcomes = out.stdout.split("OUTCOMES")[1]
    assert "failed" in outcomes and "done" in outcomes


@st.composite
def histories(draw):
    """A stored matrix and batches that replace values and bring new users and items."""
    n_users = draw(st.integers(1, 12))
    n_items = draw(st.integers(1, 12))
    cells = st.sampled_from([0.0, 0.0, 0.0, 0.5, 1.0, 2.5, 4.0])

    def matrix(rows, cols):
        values = draw(st.lists(cells, min_size=rows * cols, max_size=rows * cols))
        return np.array(values, dtype=np.float32).reshape(rows, cols)

    stored = matrix(n_users, n_items)
    batches = []
    for _ in range(draw(st.integers(1, 3))):
        n_users += draw(st.integers(0, 2))
        n_items += draw(st.integers(0, 2))
        batches.append(matrix(n_users, n_items))
    return stored, batches


@settings(max_examples=40, deadline=None)
@given(
    histories(), st.sampled_from(KINDS), st.integers(0, 2), st.sampled_from(["auto", "incremental"])
)
def test_property_any_history_equals_a_full_computation(history, kind, min_common, route):
    stored, batches = history
    tmp = pathlib.Path(tempfile.mkdtemp())
    current = sp.csr_matrix(stored)
    model = computed(kind, current, min_common=min_common)
    for b in batches:
        batch = sp.csr_matrix(b)
        apply(model, batch, route=route)
        current = union(current, batch)
    ref = computed(kind, current, min_common=min_common)
    assert record(kind, model, tmp, "a") == record(kind, ref, tmp, "b")


# Slow, and pointless under the sanitizer, whose builds give every list storage of its own.
@pytest.mark.slow
@pytest.mark.parametrize("kind", KINDS)
def test_lists_moved_out_of_dead_blocks_stay_exact(kind, tmp_path):
    # Each batch brings 100 new users, so every stored list grows and is replaced: their
    # blocks end up mostly dead, and the update then moves the lists left in them to storage
    # of their own. The trigger weighs the whole process's list space, hence a fresh process;
    # the moved lists must still equal a full run's.
    users, items, density = (3000, 1000, 0.01) if kind == "user" else (700, 2000, 0.05)
    code = textwrap.dedent(
        f"""
        import pathlib, scipy.sparse as sp
        from conftest import random_interactions
        import test_exact_update as t
        tmp = pathlib.Path({str(tmp_path)!r})
        full = random_interactions({users}, {items}, {density}, seed=21)
        stored = sp.csr_matrix(full[: {users - 300}])
        model = t.computed({kind!r}, stored)
        for first in range({users - 300}, {users}, 100):
            batch = sp.lil_matrix(full[: first + 100])
            batch[:first] = 0
            batch = sp.csr_matrix(batch)
            batch.eliminate_zeros()
            assert t.apply(model, batch) == "incremental"
            stored = t.union(stored, batch)
            ref = t.computed({kind!r}, stored)
            assert t.record({kind!r}, model, tmp, "a") == t.record({kind!r}, ref, tmp, "b")
        print("EQUAL")
        """
    )
    out = run_python(code, timeout=300)
    assert out.returncode == 0, out.stderr[-3000:]
    assert "EQUAL" in out.stdout
