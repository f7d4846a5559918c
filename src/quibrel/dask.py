"""Recommenders fitted and answering on a Dask cluster.

`fit` builds a recommender from a dask DataFrame of interactions: the id maps and the dense
interactions are made on the workers, partition by partition; the client builds the two
interaction matrices and ships them to every worker once; the entities (items for ItemCF and
Swing, users for UserCF) are split into ranges whose state the workers compute; and the client
gathers it into the recommender. For a full ItemCF or UserCF fit that state is the ranges' pair
records alone (x, y > x: 12 bytes a pair), from which the client builds every list as a local
fit builds them from its own; otherwise it is the ranges' lists. The result equals a local `fit` on
`ddf.compute()`, list for list and bit for bit. A worker keeps the matrices and the state of
the ranges it is computing, so its memory for state goes with its share of the work.

A worker lost during a fit costs time, not exactness: Dask runs its ranges again on the
other workers (a range computes the same lists wherever it runs), and the client installs
each range once, after checking it holds exactly the entities asked for. When every worker
copy of the matrices is lost, the client sends them again (a few times at most) and the ranges
that needed them run again. When a range cannot be completed (its task failed, Dask gave up on
it after workers died running it, or the matrices could not be sent again) `fit` raises
PartitionError naming the range and the recommender is left as it was.

`recommend` answers a dask Series of users partition by partition on the workers, with the
recommender shipped once to each worker.

Importing this module imports dask and distributed; `import quibrel` does not.
"""

# dask and distributed are not fully typed.
# mypy: disable-error-code="no-untyped-call"

from __future__ import annotations

import contextlib
import queue
import threading
import time
from collections.abc import Sequence
from concurrent.futures import CancelledError
from itertools import pairwise
from typing import Any, Literal, TypeVar

import dask.dataframe as dd
import numpy as np
import numpy.typing as npt
import pandas as pd
from dask.delayed import delayed
from distributed import Client, Future, as_completed, get_client, get_worker

from . import _native, _ranges
from ._data import DenseBatch, both_orientations, positive_int, read_interactions
from ._ids import IdMap, _factorizable
from .recommenders import Recommender, UserCFRecommender

__all__ = ["PartitionError", "fit", "recommend"]

R = TypeVar("R", bound=Recommender)


class PartitionError(RuntimeError):
    """A partition's task failed on a worker; the message names the partition and the
    original error, which is also the exception's cause where it could be carried over."""


# Entity ranges per worker thread: more ranges balance the work better and keep less state
# on a worker at a time (a range's lists wait there until the client fetches them).
_RANGES_PER_THREAD = 4

# How many times a fit sends the matrices again after every worker copy of them was lost,
# and how long each time it waits for a worker to send them to.
_RESENDS = 3
_WAIT_FOR_WORKERS = 60.0


def fit(
    recommender: R,
    ddf: dd.DataFrame,
    user_col: str = "user",
    item_col: str = "item",
    value_col: str | None = None,
    keep: int | None = None,
    client: Client | None = None,
    partitions: int | None = None,
    check_memory: bool = True,
) -> R:
    """Fits `recommender` (an ItemCF, UserCF or Swing recommender, whose settings are used)
    on the interactions of `ddf` on the cluster; returns it.

    The columns are read as `Recommender.fit` reads a DataFrame's, and the fitted recommender
    equals one fitted locally on `ddf.compute()`: the same dense ids (in order of first
    appearance, partitions in order), a repeated (user, item) pair keeping its last value,
    and the same lists, bit for bit. With `keep=k` only the first k entries of each list
    are gathered, and the result is that of `Recommender.fit` with `keep=k` (`truncated` is
    then k; see there what such a model answers). `client` defaults to the
    current distributed client; `partitions` is the number of entity ranges (by default four
    per worker thread). A failing task raises PartitionError naming its partition. Without
    `keep`, the client checks as `Recommender.fit` does that the whole state fits in its
    memory before any list is computed (StateTooLargeError), unless `check_memory` is False.
    """
    if not isinstance(recommender, Recommender):
        raise TypeError(
            "recommender must be an ItemCFRecommender, UserCFRecommender or SwingRecommender, "
            f"got {type(recommender).__name__}"
        )
    recommender._check_settings()
    if keep is not None:
        keep = positive_int(keep, "keep")
    if partitions is not None:
        partitions = positive_int(partitions, "partitions")
    if not isinstance(ddf, dd.DataFrame):
        raise TypeError(f"ddf must be a dask DataFrame, got {type(ddf).__name__}")
    for role, col in (("user_col", user_col), ("item_col", item_col), ("value_col", value_col)):
        if col is not None and col not in ddf.columns:
            raise KeyError(f"data has no column {col!r} (the {role})")
    client = _client(client)
    # Pair records alone: 12 of the 28 bytes a pair costs with lists, and half the work.
    pairs = keep is None and recommender._engine_class != "Swing"
    stage = _prepare(
        client,
        recommender,
        ddf,
        user_col,
        item_col,
        value_col,
        keep is None and check_memory,
        pairs,
    )
    try:
        _gather_lists(client, stage, keep, partitions, recommender.num_threads)
    finally:
        stage.matrices.release()
    if pairs:
        _native.complete_from_pairs(stage.model, recommender.num_threads or 0)
    else:
        _native.complete_state(stage.model)
    with recommender._lock.writing():
        recommender._install(stage.model, stage.users, stage.items, stage.popularity, keep)
    return recommender


def recommend(
    recommender: Recommender,
    users: dd.Series,
    n: int = 10,
    filter_consumed: bool = True,
    unknown: Literal["error", "skip", "popular"] = "error",
    client: Client | None = None,
) -> dd.DataFrame:
    """Top-n items for each user of the dask Series `users`, as a dask DataFrame with the
    columns of `Recommender.recommend` (`user`, `item`, `score`, `rank`), one partition per
    partition of `users`, computed on the workers. The recommender is shipped to each worker
    once. A failing partition raises PartitionError naming it when the result is computed.
    With a `client` other than the default one, compute the result through it
    (`client.compute(result)`): the model was sent to that client's workers.
    """
    recommender._fitted()
    n = positive_int(n, "n")
    if unknown not in ("error", "skip", "popular"):
        raise ValueError(f"unknown must be 'error', 'skip' or 'popular', got {unknown!r}")
    if isinstance(users, dd.DataFrame) and len(users.columns) == 1:
        users = users[users.columns[0]]
    if not isinstance(users, dd.Series):
        raise TypeError(f"users must be a dask Series, got {type(users).__name__}")
    client = _client(client)
    # The answer's columns and dtypes: those of the library's answer for no users, with
    # string columns as dask converts them.
    meta = recommender.recommend(users._meta, n=n, filter_consumed=filter_consumed)
    meta = dd.from_pandas(meta, npartitions=1)._meta
    [shipped] = client.scatter([recommender], broadcast=True, hash=False)
    parts = [
        delayed(_recommend_part, pure=True)(
            p, part, shipped, n, bool(filter_consumed), unknown, meta
        )
        for p, part in enumerate(users.to_delayed())
    ]
    out: dd.DataFrame = dd.from_delayed(parts, meta=meta, verify_meta=False)
    return out


# ---- the client's side ----------------------------------------------------------------


class _Stage:
    """A fit after its first stage: id maps, the client's model (matrices, no lists yet) and
    the matrices on every worker."""

    def __init__(self, **fields: Any) -> None:
        self.users: IdMap = fields["users"]
        self.items: IdMap = fields["items"]
        self._build: Any = fields["model"]
        self.model: Any = None
        self.popularity: npt.NDArray[np.int64] = fields["popularity"]
        self.cost: npt.NDArray[np.float64] = fields["cost"]
        self.cosine: bool = fields["cosine"]
        self.what: str = fields["what"]
        # The workers compute only pair records, and the client builds the lists.
        self.pairs: bool = fields["pairs"]
        # Kept on the client: the workers' copies may all be lost, and are then sent again.
        self.shared: _Matrices
        self.matrices: Future[Any]  # set once the matrices are sent
        self.resends = _RESENDS

    def send_matrices(self, client: Client) -> None:
        """Sends the matrices to every worker, waiting a while for one to be there."""
        deadline = time.monotonic() + _WAIT_FOR_WORKERS
        while True:
            left = deadline - time.monotonic()
            try:
                [self.matrices] = client.scatter(
                    [self.shared], broadcast=True, hash=False, timeout=max(left, 1.0)
                )
                return
            except OSError:
                # A worker that has died, before the scheduler knows it, drops the connection;
                # it is not asked again once it is known to be gone.
                if left <= 0:
                    raise
                time.sleep(0.2)

    def built(self) -> Any:
        """The client's model, built on first use."""
        if self.model is None:
            self.model = self._build()
        return self.model


def _prepare(
    client: Client,
    recommender: Recommender,
    ddf: dd.DataFrame,
    user_col: str,
    item_col: str,
    value_col: str | None,
    check_memory: bool = False,
    pairs: bool = False,
) -> _Stage:
    users, items, dense = _dense_interactions(client, ddf, user_col, item_col, value_col)
    n_users, n_items = len(users), len(items)
    by_user, by_item = both_orientations(dense, n_users, n_items)
    del dense
    popularity = np.diff(by_item.sparse_indptr).astype(np.int64)
    # Swing may sample each item's users; the workers compute on what the engine model holds.
    by_user, by_item = recommender._engine_inputs(users, items, by_user, by_item)
    cosine = recommender._engine_class != "Swing"
    user_side = isinstance(recommender, UserCFRecommender)
    forward, other = recommender._list_sides(by_user, by_item)
    stage = _Stage(
        users=users,
        items=items,
        # Built while the workers compute.
        model=lambda: recommender._new_engine_model(n_users, n_items, by_user, by_item),
        popularity=popularity,
        cost=(
            _ranges.pair_costs(
                forward.sparse_indptr,
                forward.sparse_indices,
                other.sparse_indptr,
                other.sparse_indices,
            )
            if pairs
            else _ranges.entity_costs(
                forward.sparse_indptr, forward.sparse_indices, other.sparse_indptr, cosine
            )
        ),
        cosine=cosine,
        what="users" if user_side else "items",
        pairs=pairs,
    )
    if check_memory:
        # The client gathers the whole state: refused before anything is sent.
        recommender._check_memory(stage.built, forward, other, cosine, suggest_dask=False)
    shared = _Matrices(
        type(recommender),
        recommender.get_params(),
        n_users,
        n_items,
        _Csr.of(by_user),
        _Csr.of(by_item),
    )
    stage.shared = shared
    stage.send_matrices(client)
    return stage


def _gather_lists(
    client: Client,
    stage: _Stage,
    keep: int | None,
    partitions: int | None,
    num_threads: int | None,
) -> None:
    """Computes the entity ranges on the workers and installs their lists in the model.

    At most two ranges per worker thread are out at a time (computing, done, or on their way
    to the client): a worker cannot run ahead of the client and pile up finished lists.

    A worker lost mid-fit costs only time: Dask runs its ranges again elsewhere, and a range
    computes the same lists wherever it runs; if the matrices were lost with it, they are
    sent again and the ranges that needed them submitted again. Each range is installed once,
    after checking that it holds exactly the entities asked for, and the model is complete
    only when every range is in; anything else (a range failing, or the matrices lost more
    often than they are sent again) raises PartitionError and the caller discards the model."""
    threads = max(sum(client.nthreads().values()), 1)
    ranges = _ranges.ranges(stage.cost, partitions or _RANGES_PER_THREAD * threads)
    waiting = iter(enumerate(pairwise(ranges)))
    # Each future's range and the matrices it was given.
    futures: dict[Future[Any], tuple[int, int, int, Future[Any]]] = {}
    submitting = threading.Lock()
    installed: set[int] = set()
    # On `client`'s loop: it need not be the default client.
    arriving = as_completed(loop=client.loop)
    # (future, its lists or the exception fetching them raised); None once nothing is left.
    fetched: queue.Queue[tuple[Future[Any], Any] | None] = queue.Queue(maxsize=1)
    stop = threading.Event()

    def submit(p: int, begin: int, end: int) -> None:
        task: Any = _range_lists
        settings: tuple[Any, ...] = (keep or 0, stage.cosine and keep is None)
        if stage.pairs:
            task, settings = _range_pairs, ()
        future = client.submit(
            task, p, stage.what, stage.matrices, begin, end, *settings, num_threads, pure=False
        )
        futures[future] = (p, begin, end, stage.matrices)
        arriving.add(future)

    def submit_next() -> None:
        with submitting:
            if stop.is_set():
                return
            for p, (begin, end) in waiting:
                submit(p, int(begin), int(end))
                return

    def submit_again(future: Future[Any]) -> bool:
        """Submits again a range whose matrices were lost, with the matrices sent anew (once
        for all the ranges that lost them); False when that cannot be done. A range that
        failed on its own (it raised, or Dask gave up on it after workers died running it)
        is not; one cancelled, or lost with a worker after it finished, cannot be completed
        without the matrices."""
        with submitting:
            p, begin, end, matrices = futures[future]
            if stop.is_set() or future.status == "error" or not _lost(client, matrices):
                return False
            if matrices is stage.matrices:
                if stage.resends == 0:
                    return False
                stage.resends -= 1
                try:
                    stage.send_matrices(client)
                except Exception:
                    return False
                matrices.release()
            del futures[future]
            future.release()
            submit(p, begin, end)
            return True

    def fetch() -> None:
        """Fetches the finished ranges while the client installs earlier ones, straight from
        the workers: through the scheduler, the lists would cross a socket twice."""
        try:
            for future in arriving:
                if stop.is_set():
                    break
                try:
                    result = client.gather(future, direct=True)
                except Exception as e:
                    # Submitted again before the next is taken, so `arriving` is not seen empty.
                    if submit_again(future):
                        continue
                    result = e
                # Submitted before this range is handed on, so that `arriving` is not seen
                # empty while ranges are waiting.
                submit_next()
                fetched.put((future, result))
        except BaseException as e:  # the installing thread raises it
            fetched.put((None, e))  # type: ignore[arg-type]
        finally:
            fetched.put(None)

    for _ in range(2 * threads):
        submit_next()
    fetcher = threading.Thread(target=fetch, name="quibrel-dask-fetch", daemon=True)
    fetcher.start()
    try:
        stage.built()
        while (item := fetched.get()) is not None:
            future, result = item
            if future is None:
                raise result
            p, begin, end, matrices = futures.pop(future)
            # Judged by what arrived: a finished range whose worker has died since is being
            # computed again (its status no longer "finished"), but its lists are here.
            if not isinstance(result, list):
                _raise_for(future, p, stage.what, matrices)
            if p not in installed:
                _install(stage.model, p, stage.what, begin, end, result, stage.pairs)
                installed.add(p)
            del result, item
            future.release()
    finally:
        # On an error, nothing more is computed for a model that is discarded.
        stop.set()
        with submitting:
            outstanding = list(futures)
        if outstanding:
            client.cancel(outstanding)
        arriving.clear()
        while fetcher.is_alive():
            with contextlib.suppress(queue.Empty):
                fetched.get(timeout=0.05)
    missing = len(ranges) - 1 - len(installed)
    if missing:
        raise PartitionError(f"{missing} partitions of the {stage.what} never arrived")


def _install(
    model: Any, p: int, what: str, begin: int, end: int, result: list[Any], pairs: bool = False
) -> None:
    """Installs range p's lists (or with `pairs`, its pair records), which must be those of
    exactly the entities begin .. end - 1 (pieces in order, each starting where the one
    before ended)."""
    firsts, arrays = result[0], result[1:]
    width = 4 if pairs else 7
    at = begin
    for k, first in enumerate(firsts):
        offsets = arrays[width * k] if width * k < len(arrays) else ()
        if int(first) != at or len(offsets) < 1:
            break
        at += len(offsets) - 1
    if at != end or len(arrays) != width * len(firsts):
        raise PartitionError(
            f"partition {p} of the {what} failed: its result does not hold the "
            f"{'pair records' if pairs else 'lists'} of {what} {begin} .. {end - 1}"
        )
    install = _native.install_pairs if pairs else _native.install_lists
    for k, first in enumerate(firsts):
        install(model, int(first), *arrays[width * k : width * k + width])


def _client(client: Client | None) -> Client:
    if client is not None:
        return client
    try:
        return get_client()
    except ValueError:
        raise ValueError(
            "quibrel.dask needs a dask.distributed Client: create one or pass client="
        ) from None


def _lost(client: Client, data: Future[Any]) -> bool:
    """Whether no worker holds `data` any more. Dask keeps one copy of data it was given once
    no waiting task needs more, so one worker lost can lose what was sent to all."""
    if data.status != "finished":
        return True
    try:
        return not client.who_has([data]).get(data.key)
    except CancelledError:
        return True
    except Exception:
        return False


def _raise_for(future: Future[Any], p: int, what: str, needs: Future[Any] | None = None) -> None:
    if future.cancelled():
        # The task's input was lost (data shipped to the workers cannot be recomputed), or
        # the client lost the scheduler.
        lost = needs is not None and needs.status != "finished"
        reason = "unknown"
        try:
            future.result()
        except CancelledError as e:
            reason = getattr(e, "reason", reason)
        raise PartitionError(
            f"partition {p} of the {what} failed: its task was cancelled ("
            + ("the matrices were lost with the workers that held them" if lost else reason)
            + ")"
        )
    error = future.exception()
    if isinstance(error, PartitionError):
        raise error
    raise PartitionError(
        f"partition {p} of the {what} failed: {type(error).__name__}: {error}"
    ) from (error)


def _dense_interactions(
    client: Client, ddf: dd.DataFrame, user_col: str, item_col: str, value_col: str | None
) -> tuple[IdMap, IdMap, DenseBatch]:
    """The id maps (first appearance, partitions in order) and the interactions in dense ids,
    in row order, from the workers."""
    columns = [user_col, item_col] + ([value_col] if value_col is not None else [])
    columns = list(dict.fromkeys(columns))
    frames = client.compute(ddf[columns].to_delayed())
    batches = [
        client.submit(_read_part, p, frame, user_col, item_col, value_col, pure=False)
        for p, frame in enumerate(frames)
    ]
    del frames
    # Each partition is factorized once; its codes wait on its worker for the id maps.
    coded = [client.submit(_CodedPart, b, pure=False) for b in batches]
    del batches
    uniques = _gather(client, [client.submit(_uniques, c, pure=False) for c in coded])
    users, items = IdMap("user"), IdMap("item")
    user_parts = [u for u, _, count in uniques if count]
    item_parts = [i for _, i, count in uniques if count]
    if not user_parts:
        raise ValueError("data is empty: there are no interactions")
    users.add(_concatenate(user_parts))
    items.add(_concatenate(item_parts))
    [index_future] = client.scatter([(users.index, items.index)], broadcast=True, hash=False)
    try:
        parts = _gather(
            client,
            [
                client.submit(_dense_part, p, c, index_future, pure=False)
                for p, c in enumerate(coded)
            ],
        )
    finally:
        index_future.release()
    del coded
    u = np.concatenate([part[0] for part in parts]).astype(np.int64)
    i = np.concatenate([part[1] for part in parts]).astype(np.int64)
    v = np.concatenate([part[2] for part in parts])
    return users, items, DenseBatch(u, i, v)


def _gather(client: Client, futures: list[Future[Any]]) -> list[Any]:
    try:
        # A result lost with its worker since is computed again while gather waits.
        result: list[Any] = client.gather(futures)
    except Exception:
        for p, future in enumerate(futures):
            if future.status in ("error", "cancelled"):
                _raise_for(future, p, "data")
        raise
    return result


def _concatenate(parts: Sequence[npt.NDArray[Any]]) -> npt.NDArray[Any]:
    if all(p.dtype == parts[0].dtype for p in parts):
        return np.concatenate(parts)
    return np.concatenate([p.astype(object) for p in parts])


# ---- the workers' side ----------------------------------------------------------------


class _Csr:
    """An interaction matrix as plain arrays, in the form the engine reads."""

    def __init__(
        self,
        indices: npt.NDArray[np.int32],
        indptr: npt.NDArray[np.int64],
        data: npt.NDArray[np.float32],
    ) -> None:
        self.sparse_indices = indices
        self.sparse_indptr = indptr
        self.sparse_data = data

    @classmethod
    def of(cls, m: Any) -> _Csr:
        return cls(m.sparse_indices, m.sparse_indptr, m.sparse_data)


class _Matrices:
    """What every worker needs for its ranges, shipped once to each: the two interaction
    matrices and the recommender's settings. The engine model is built from them on first
    use and kept as long as the worker keeps this object."""

    def __init__(
        self,
        cls: type[Recommender],
        params: dict[str, Any],
        n_users: int,
        n_items: int,
        by_user: _Csr,
        by_item: _Csr,
    ) -> None:
        self.cls = cls
        self.params = params
        self.n_users = n_users
        self.n_items = n_items
        self.by_user = by_user
        self.by_item = by_item
        self._model: Any = None
        self._lock = threading.Lock()

    def __getstate__(self) -> dict[str, Any]:
        return {k: v for k, v in self.__dict__.items() if k not in ("_model", "_lock")}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state)
        self._model = None
        self._lock = threading.Lock()

    def model(self) -> Any:
        with self._lock:
            if self._model is None:
                rec = self.cls(**self.params)
                # _Csr has the attributes the engine reads, as Interactions does.
                by_user: Any = self.by_user
                by_item: Any = self.by_item
                self._model = rec._new_engine_model(
                    self.n_users, self.n_items, by_user, by_item, consumed=False
                )
            return self._model


def _worker_threads(num_threads: int | None) -> int:
    try:
        threads = int(get_worker().state.nthreads)
    except (ValueError, AttributeError):
        threads = 0
    if num_threads is not None:
        threads = min(threads, num_threads) if threads else num_threads
    return threads


def _range_lists(
    p: int,
    what: str,
    shared: _Matrices,
    begin: int,
    end: int,
    keep: int,
    pairs: bool,
    num_threads: int | None,
) -> list[npt.NDArray[Any]]:
    """The lists (and pair records) of the entities begin .. end - 1, as
    `_ranges.range_lists` gives them."""
    try:
        model = shared.model()
        threads = _worker_threads(num_threads)
        return _ranges.range_lists(model, begin, end, keep, pairs, threads)
    except Exception as e:
        raise PartitionError(f"partition {p} of the {what} failed: {type(e).__name__}: {e}") from e


def _range_pairs(
    p: int, what: str, shared: _Matrices, begin: int, end: int, num_threads: int | None
) -> list[npt.NDArray[Any]]:
    """The pair records of the entities begin .. end - 1, as `_ranges.range_pairs` gives
    them."""
    try:
        model = shared.model()
        return _ranges.range_pairs(model, begin, end, _worker_threads(num_threads))
    except Exception as e:
        raise PartitionError(f"partition {p} of the {what} failed: {type(e).__name__}: {e}") from e


class _Part:
    """One partition's interactions with raw ids, as read by the library."""

    def __init__(self, users: Any, items: Any, values: npt.NDArray[np.float32]) -> None:
        self.users = users
        self.items = items
        self.values = values


def _read_part(
    p: int, frame: pd.DataFrame, user_col: str, item_col: str, value_col: str | None
) -> _Part:
    try:
        if len(frame) == 0:
            empty = np.zeros(0, dtype=object)
            return _Part(empty, empty, np.zeros(0, dtype=np.float32))
        batch = read_interactions(frame, user_col, item_col, value_col)
        return _Part(batch.users, batch.items, batch.values)
    except Exception as e:
        raise PartitionError(f"partition {p} of the data failed: {type(e).__name__}: {e}") from e


class _CodedPart:
    """A partition's users and items factorized (codes into their distinct ids, in order of
    first appearance, as `IdMap.add` factorizes) and its values."""

    def __init__(self, part: _Part) -> None:
        self.users = pd.factorize(_factorizable(part.users))
        self.items = pd.factorize(_factorizable(part.items))
        self.values = part.values


def _uniques(part: _CodedPart) -> tuple[npt.NDArray[Any], npt.NDArray[Any], int]:
    return np.asarray(part.users[1]), np.asarray(part.items[1]), len(part.values)


def _dense_part(
    p: int, part: _CodedPart, indexes: tuple[pd.Index, pd.Index]
) -> tuple[npt.NDArray[np.int32], npt.NDArray[np.int32], npt.NDArray[np.float32]]:
    """The partition's dense ids: its distinct ids looked up once, then spread by its codes,
    which is what `IdMap.add` does with them."""
    try:
        dense = []
        for what, (codes, uniques), index in (
            ("user", part.users, indexes[0]),
            ("item", part.items, indexes[1]),
        ):
            ids = IdMap(what)
            ids.restore(index)
            known = ids.lookup(np.asarray(uniques))
            if (known < 0).any():
                raise RuntimeError(f"a {what} id of this partition is missing from the id map")
            dense.append(known.astype(np.int32)[codes])
        return dense[0], dense[1], part.values
    except Exception as e:
        raise PartitionError(f"partition {p} of the data failed: {type(e).__name__}: {e}") from e


def _recommend_part(
    p: int,
    users: pd.Series,
    rec: Recommender,
    n: int,
    filter_consumed: bool,
    unknown: Literal["error", "skip", "popular"],
    meta: pd.DataFrame,
) -> pd.DataFrame:
    try:
        frame = rec.recommend(users, n=n, filter_consumed=filter_consumed, unknown=unknown)
        return frame.astype(meta.dtypes.to_dict())
    except Exception as e:
        raise PartitionError(f"partition {p} of the users failed: {type(e).__name__}: {e}") from e
