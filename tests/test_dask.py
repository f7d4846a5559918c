"""quibrel.dask on a LocalCluster of two worker processes: the distributed fit equals a local
fit on the same rows (ids, lists and every stored field, bit for bit), a truncated fit
answers as the full one, the distributed recommend equals the local one, a failing
partition is named in the error, and a worker killed mid-fit leaves either the exact model
or an error naming what was lost."""

from __future__ import annotations

import os
import pickle
import signal
import time

import numpy as np
import pandas as pd
import pytest
from conftest import run_python

pytest.importorskip("distributed")
dd = pytest.importorskip("dask.dataframe")
if os.environ.get("QUIBREL_SANITIZED"):
    pytest.skip(
        "worker processes under the sanitizer preload are too slow", allow_module_level=True
    )

import dask  # noqa: E402
import quibrel.dask as qd  # noqa: E402
from distributed import Client, LocalCluster  # noqa: E402
from quibrel._files import engine_bytes  # noqa: E402
from quibrel.recommenders import (  # noqa: E402
    ItemCFRecommender,
    SwingRecommender,
    UserCFRecommender,
    load,
)

CLASSES = [ItemCFRecommender, UserCFRecommender, SwingRecommender]


@pytest.fixture(scope="module")
def client():
    # A LocalCluster writes settings for its workers (MALLOC_TRIM_THRESHOLD_ among them) into
    # this process's environment, which later tests' subprocesses would inherit.
    environ = dict(os.environ)
    cluster = LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    )
    c = Client(cluster)
    yield c
    c.close()
    cluster.close()
    os.environ.clear()
    os.environ.update(environ)


@pytest.fixture(scope="module")
def frame():
    """String ids, values, and pairs repeated across partitions with other values."""
    rng = np.random.default_rng(7)
    n = 1500
    df = pd.DataFrame(
        {
            "user": [f"u{x}" for x in rng.integers(0, 120, n)],
            "item": [f"i{x}" for x in rng.integers(0, 90, n)],
            "rating": rng.integers(1, 11, n) / 2,
        }
    )
    repeats = df.iloc[:40].assign(rating=lambda d: d.rating + 7)
    return pd.concat([df, repeats], ignore_index=True)


def split(df, parts=4):
    return dd.from_pandas(df, npartitions=parts, sort=False)


def assert_same_model(a, b):
    assert engine_bytes(a._model) == engine_bytes(b._model)
    for x, y in ((a._users.index, b._users.index), (a._items.index, b._items.index)):
        assert x.dtype == y.dtype
        assert x.tolist() == y.tolist()
    np.testing.assert_array_equal(a._popularity, b._popularity)


@pytest.mark.parametrize("cls", CLASSES)
def test_distributed_fit_equals_a_local_fit(client, frame, cls):
    ddf = split(frame)
    rec = qd.fit(cls(), ddf, value_col="rating")
    local = cls().fit(ddf.compute(), value_col="rating")
    assert rec.truncated is None
    assert_same_model(rec, local)
    # Complete, pair statistics included: an exact update gives the same model on both.
    batch = frame.sample(60, random_state=1).assign(rating=3.0)
    batch.loc[batch.index[:5], "user"] = "newcomer"
    for r in (rec, local):
        r.partial_fit(batch, value_col="rating")
    assert_same_model(rec, local)


def test_ids_of_other_types_and_unit_values(client):
    rng = np.random.default_rng(3)
    df = pd.DataFrame({"u": rng.integers(0, 50, 600) * 1000, "i": rng.integers(0, 40, 600)})
    ddf = split(df, 3)
    rec = qd.fit(ItemCFRecommender(min_common=2), ddf, user_col="u", item_col="i", partitions=5)
    assert_same_model(rec, ItemCFRecommender(min_common=2).fit(df, user_col="u", item_col="i"))


def test_mixed_ids_are_mapped_as_a_local_fit_maps_them(client):
    # Equal ids of other types in other partitions (1, 1.0, True), text beside numbers, and
    # times: each partition is factorized on its own, then looked up in the joined maps.
    users = [1, "a", 2.0, 1.0, True, "a", 2, 3, np.int64(3), "b", 1, 2.0] * 10
    times = pd.to_datetime(["2026-01-01", "2026-01-02", "2026-01-03"])
    items = [times[k % 3] if k % 4 else f"t{k % 5}" for k in range(len(users))]
    df = pd.DataFrame({"user": pd.Series(users, dtype=object), "item": items})
    # Kept as objects: by default dask makes text of a column that holds any.
    with dask.config.set({"dataframe.convert-string": False}):
        ddf = split(df, 5)
    rec = qd.fit(ItemCFRecommender(), ddf)
    assert_same_model(rec, ItemCFRecommender().fit(ddf.compute()))
    assert rec.user_ids.tolist() == [1, "a", 2.0, 3, "b"]


@pytest.mark.parametrize("cls", [ItemCFRecommender, SwingRecommender])
def test_a_truncated_fit_recommends_as_the_full_one(client, frame, cls, tmp_path):
    settings = {"k_sim": 5} if cls is ItemCFRecommender else {"top_k": 5}
    ddf = split(frame)
    rec = qd.fit(cls(**settings), ddf, value_col="rating", keep=5)
    full = cls(**settings).fit(frame, value_col="rating")
    users = frame.user.unique()
    pd.testing.assert_frame_equal(rec.recommend(users, n=7), full.recommend(users, n=7))
    np.testing.assert_array_equal(
        rec.predict(frame.user, frame.item), full.predict(frame.user, frame.item)
    )
    lists = rec.similar_items(rec.item_ids, n=1000)
    assert lists.groupby("item").size().max() == 5
    # The truncation survives files and pickles, and exact updates are refused.
    rec.save(tmp_path / "m")
    for copy in (rec, load(tmp_path / "m"), pickle.loads(pickle.dumps(rec))):
        assert copy.truncated == 5
        with pytest.raises(ValueError, match="first 5 entries"):
            copy.partial_fit(frame.iloc[:3], value_col="rating")
    rec.partial_fit(frame.iloc[:3], value_col="rating", exact=False)
    assert rec.truncated == 5
    assert cls(**settings).fit(frame, value_col="rating").truncated is None


def test_distributed_recommend_equals_the_local_one(client, frame):
    rec = ItemCFRecommender(k_sim=20).fit(frame, value_col="rating")
    users = dd.from_pandas(pd.Series(frame.user.unique()[::-1], name="user"), npartitions=3)
    out = qd.recommend(rec, users, n=4)
    assert isinstance(out, dd.DataFrame) and out.npartitions == 3
    got = out.compute().reset_index(drop=True)
    want = rec.recommend(users.compute(), n=4)
    pd.testing.assert_frame_equal(got, want, check_dtype=False)
    assert list(got.columns) == ["user", "item", "score", "rank"]
    skipped = qd.recommend(rec, users + "?", unknown="skip").compute()
    assert len(skipped) == 0


@pytest.mark.parametrize("cls", [UserCFRecommender, SwingRecommender])
def test_distributed_recommend_of_the_other_models(client, frame, cls):
    rec = cls().fit(frame, value_col="rating")
    users = dd.from_pandas(pd.Series(frame.user.unique(), name="user"), npartitions=3)
    got = qd.recommend(rec, users, n=6, filter_consumed=False).compute()
    want = rec.recommend(users.compute(), n=6, filter_consumed=False)
    pd.testing.assert_frame_equal(got.reset_index(drop=True), want, check_dtype=False)
    assert len(want) > 0


def test_a_failing_partition_is_named(client, frame):
    bad = frame.copy()
    bad["user"] = bad["user"].astype(object)
    bad.iloc[len(bad) - 3, 0] = None  # in the last of four partitions
    with pytest.raises(qd.PartitionError, match=r"partition 3 of the data failed: ValueError"):
        qd.fit(ItemCFRecommender(), split(bad), value_col="rating")
    rec = ItemCFRecommender().fit(frame, value_col="rating")
    users = dd.from_pandas(pd.Series(["u1", "u2", "nobody", "u3"]), npartitions=2)
    with pytest.raises(qd.PartitionError, match=r"partition 1 of the users failed: KeyError"):
        qd.recommend(rec, users).compute()


# The engine calls that compute a range on a worker: its lists, or its pair records alone.
RANGE_CALLS = ("partition_lists", "partition_pairs")


def _wrap_ranges(wrap):
    """Replaces the range calls of the worker it runs on by wrap(original call)."""
    from quibrel import _native

    for name in RANGE_CALLS:
        original = getattr(_native, name)
        wrapped = wrap(original)
        wrapped.original = original
        setattr(_native, name, wrapped)


def _break_ranges_from(begin):
    """Makes the engine calls of the worker it runs on fail for ranges starting at `begin`."""

    def wrap(original):
        def failing(model, first, *rest):
            if first >= begin:
                raise MemoryError("no room for the lists")
            return original(model, first, *rest)

        return failing

    _wrap_ranges(wrap)


def _mend_ranges():
    from quibrel import _native

    for name in RANGE_CALLS:
        original = getattr(getattr(_native, name), "original", None)
        if original is not None:
            setattr(_native, name, original)


def test_a_failing_range_is_named(client, frame):
    rec = ItemCFRecommender()
    client.run(_break_ranges_from, 1)  # every range but the first one
    try:
        with pytest.raises(
            qd.PartitionError,
            match=r"partition [1-3] of the items failed: "
            r"MemoryError: no room for the lists",
        ):
            qd.fit(rec, split(frame), value_col="rating", partitions=4)
    finally:
        client.run(_mend_ranges)
    assert not rec.is_fitted
    qd.fit(rec, split(frame), value_col="rating", partitions=4)  # the workers are mended
    assert rec.is_fitted


def _die_in_a_range_once(marker):
    """Makes the first range computed on any worker, after this call, kill its worker's
    process (the marker file records that one has died; a restarted worker is unpatched)."""

    def wrap(original):
        def dying(model, first, *rest):
            try:
                os.close(os.open(marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY))
            except FileExistsError:
                return original(model, first, *rest)
            os._exit(1)

        return dying

    _wrap_ranges(wrap)


def _shift_ranges():
    """Makes the worker label each range's state as that of the entities one further on."""

    def wrap(original):
        def shifted(*args):
            pieces = original(*args)
            return [(first + 1, *arrays) for first, *arrays in pieces]

        return shifted

    _wrap_ranges(wrap)


@pytest.fixture(scope="module")
def fragile():
    """A cluster of its own for tests that kill worker processes (their nannies start new
    ones), so that the other tests never meet a dying worker."""
    environ = dict(os.environ)
    # The cluster gives up a worker whose name has not come back this long after its loss;
    # with workers killed a few seconds apart, a restart could count as that loss.
    # Dask drops copies of shipped data that no waiting task needs; done often, a killed
    # worker often takes the last copy of the matrices with it, as happens now and then on a
    # busy machine.
    settings = {
        "distributed.deploy.lost-worker-timeout": "1h",
        "distributed.scheduler.active-memory-manager.interval": "10ms",
    }
    with dask.config.set(settings):
        cluster = LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
        )
        # Not the default client: the other tests fit on the module's cluster.
        c = Client(cluster, set_as_default=False)
        yield c
        c.close()
        cluster.close()
    os.environ.clear()
    os.environ.update(environ)


def test_recommend_through_a_client_that_is_not_the_default(fragile, frame):
    rec = SwingRecommender().fit(frame, value_col="rating")
    users = dd.from_pandas(pd.Series(frame.user.unique(), name="user"), npartitions=2)
    out = qd.recommend(rec, users, n=5, client=fragile)
    # The model went to that client's workers, so the frame is computed there.
    got = fragile.compute(out).result().reset_index(drop=True)
    pd.testing.assert_frame_equal(got, rec.recommend(users.compute(), n=5), check_dtype=False)


@pytest.fixture
def kill(fragile):
    """The fragile cluster; after the test, its workers are mended and two are alive."""
    yield fragile
    deadline = time.monotonic() + 60
    while True:
        # A worker being replaced may drop the connection: it is asked again.
        pids = fragile.run(os.getpid, on_error="ignore")
        if len(pids) == 2 and all(_alive(pid) for pid in pids.values()):
            break
        assert time.monotonic() < deadline, "the killed workers were not replaced"
        time.sleep(0.1)
    fragile.run(_mend_ranges)


def _alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True


@pytest.mark.slow
@pytest.mark.parametrize("cls", CLASSES)
def test_a_worker_dying_in_a_range_costs_only_a_retry(kill, frame, cls, tmp_path):
    pids = set(kill.run(os.getpid).values())
    kill.run(_die_in_a_range_once, str(tmp_path / "died"))
    rec = qd.fit(cls(), split(frame), value_col="rating", partitions=6, client=kill)
    assert (tmp_path / "died").exists()
    assert not all(_alive(pid) for pid in pids)
    assert_same_model(rec, cls().fit(frame, value_col="rating"))


@pytest.mark.slow
def test_a_range_whose_workers_keep_dying_is_named(kill, frame, tmp_path):
    scheduler = kill.cluster.scheduler
    allowed, scheduler.allowed_failures = scheduler.allowed_failures, 0
    kill.run(_die_in_a_range_once, str(tmp_path / "died"))
    rec = ItemCFRecommender()
    try:
        with pytest.raises(
            qd.PartitionError, match=r"partition \d of the items failed: KilledWorker"
        ):
            qd.fit(rec, split(frame), value_col="rating", partitions=6, client=kill)
    finally:
        scheduler.allowed_failures = allowed
    assert not rec.is_fitted


@pytest.mark.slow
@pytest.mark.parametrize(("victims", "resends"), [(1, 3), (2, 3), (2, 0)])
def test_workers_killed_while_the_client_installs(kill, frame, monkeypatch, victims, resends):
    """Killed once the first range has arrived. Finished ranges lost with a dead worker are
    computed again; with no survivor the matrices are gone, and the client sends them again
    to the restarted workers: the model is exact. With no resend allowed the fit fails,
    naming the matrices."""
    from quibrel import _native

    doomed = list(kill.run(os.getpid).values())[:victims]
    # A full ItemCF fit installs pair records.
    install = _native.install_pairs

    def install_then_kill(*args):
        while doomed:
            os.kill(doomed.pop(), signal.SIGKILL)
        return install(*args)

    monkeypatch.setattr(_native, "install_pairs", install_then_kill)
    monkeypatch.setattr(qd, "_RESENDS", resends)
    sent = []
    scatter = kill.scatter
    monkeypatch.setattr(kill, "scatter", lambda *a, **k: sent.append(1) or scatter(*a, **k))
    rec = ItemCFRecommender()
    if resends:
        qd.fit(rec, split(frame), value_col="rating", partitions=8, client=kill)
        monkeypatch.undo()
        assert_same_model(rec, ItemCFRecommender().fit(frame, value_col="rating"))
        # The id maps' index, the matrices, and the matrices again only when all were lost.
        # (With one victim, it may have held the only copy left.)
        assert len(sent) == 3 if victims == 2 else len(sent) in (2, 3)
        return
    with pytest.raises(
        qd.PartitionError,
        match=r"partition \d of the items failed: its task was cancelled \(the matrices were "
        r"lost with the workers that held them\)",
    ):
        qd.fit(rec, split(frame), value_col="rating", partitions=8, client=kill)
    assert not rec.is_fitted


def test_matrices_refused_by_a_dying_worker_are_sent_again(client, frame, monkeypatch):
    from distributed.comm.core import CommClosedError

    scatter = client.scatter
    refused = []

    def refuse_the_first_matrices(data, **kwargs):
        if isinstance(data[0], qd._Matrices) and not refused:
            refused.append(1)
            raise CommClosedError("in <TCP (closed) Scheduler Broadcast>: connection reset")
        return scatter(data, **kwargs)

    monkeypatch.setattr(client, "scatter", refuse_the_first_matrices)
    rec = qd.fit(ItemCFRecommender(), split(frame), value_col="rating", client=client)
    assert refused
    assert_same_model(rec, ItemCFRecommender().fit(frame, value_col="rating"))

    # Refused for longer than the wait: the error comes through.
    monkeypatch.setattr(qd, "_WAIT_FOR_WORKERS", 0.0)
    refused.clear()
    with pytest.raises(CommClosedError):
        qd.fit(ItemCFRecommender(), split(frame), value_col="rating", client=client)


@pytest.mark.parametrize(("keep", "what"), [(None, "pair records"), (3, "lists")])
def test_a_range_answered_with_other_entities_is_refused(client, frame, keep, what):
    client.run(_shift_ranges)
    rec = ItemCFRecommender()
    try:
        with pytest.raises(
            qd.PartitionError,
            match=rf"partition \d of the items failed: its result does not hold the {what} of "
            r"items \d+ \.\. \d+$",
        ):
            qd.fit(rec, split(frame), value_col="rating", partitions=3, keep=keep)
    finally:
        client.run(_mend_ranges)
    assert not rec.is_fitted


def test_arguments_are_checked_on_the_client(client, frame):
    ddf = split(frame)
    with pytest.raises(TypeError, match="must be an ItemCFRecommender"):
        qd.fit(object(), ddf)
    with pytest.raises(TypeError, match="dask DataFrame"):
        qd.fit(ItemCFRecommender(), frame)
    with pytest.raises(KeyError, match="no column 'score'"):
        qd.fit(ItemCFRecommender(), ddf, value_col="score")
    with pytest.raises(ValueError, match="keep must be at least 1"):
        qd.fit(ItemCFRecommender(), ddf, keep=0)
    with pytest.raises(ValueError, match="is empty"):
        qd.fit(ItemCFRecommender(), split(frame.iloc[:0], 1))
    with pytest.raises(TypeError, match="dask Series"):
        qd.recommend(ItemCFRecommender().fit(frame), frame.user)


def test_only_quibrel_dask_imports_dask():
    out = run_python(
        "import sys, quibrel, quibrel.recommenders, quibrel.evaluation\n"
        "assert 'dask' not in sys.modules and 'distributed' not in sys.modules\n"
        "import quibrel.dask\n"
        "assert 'dask' in sys.modules and 'distributed' in sys.modules\n"
    )
    assert out.returncode == 0, out.stderr


def test_a_full_gather_that_cannot_fit_is_refused_before_any_task(client, frame, monkeypatch):
    from quibrel import _memory
    from quibrel.recommenders import StateTooLargeError

    rec = ItemCFRecommender().fit(frame, value_col="rating")
    monkeypatch.setattr(_memory, "available_bytes", lambda: 1000)
    submitted = []
    monkeypatch.setattr(qd, "_gather_lists", lambda *args: submitted.append(args))
    with pytest.raises(StateTooLargeError, match="only 1000 bytes") as caught:
        qd.fit(rec, split(frame), value_col="rating")
    assert "keep=k" in str(caught.value) and "quibrel.dask" not in str(caught.value)
    assert not submitted and rec.truncated is None and rec.is_fitted
    monkeypatch.undo()
    monkeypatch.setattr(_memory, "available_bytes", lambda: 1000)
    kept = qd.fit(ItemCFRecommender(k_sim=5), split(frame), value_col="rating", keep=5)
    assert kept.truncated == 5
    unchecked = qd.fit(ItemCFRecommender(), split(frame), value_col="rating", check_memory=False)
    local = ItemCFRecommender().fit(frame, value_col="rating", check_memory=False)
    assert_same_model(unchecked, local)


@pytest.mark.parametrize("cls", [ItemCFRecommender, UserCFRecommender])
@pytest.mark.parametrize("where", ["install_pairs", "complete_from_pairs"])
def test_a_gather_failing_midway_leaves_the_recommender_as_it_was(
    client, frame, monkeypatch, cls, where
):
    """The client fails while it installs the second range, or while it builds the lists
    from every range's pair records: the error comes through, nothing more is installed, and
    the fitted recommender keeps its model."""
    from quibrel import _native

    rec = cls().fit(frame.iloc[:400], value_col="rating")
    before = engine_bytes(rec._model)
    original = getattr(_native, where)
    calls = []

    def failing(*args):
        calls.append(args[1])
        if where == "complete_from_pairs" or len(calls) == 2:
            raise MemoryError("no room for the state")
        return original(*args)

    monkeypatch.setattr(_native, where, failing)
    with pytest.raises(MemoryError, match="no room for the state"):
        qd.fit(rec, split(frame), value_col="rating", partitions=4)
    monkeypatch.undo()
    assert len(calls) == (1 if where == "complete_from_pairs" else 2)
    assert engine_bytes(rec._model) == before
    assert rec.truncated is None
    # Nothing of the failed fit is left in the way of the next one.
    qd.fit(rec, split(frame), value_col="rating", partitions=4)
    assert_same_model(rec, cls().fit(frame, value_col="rating"))
