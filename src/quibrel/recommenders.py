"""Recommenders on raw ids, with pandas and scipy in and out.

`ItemCFRecommender`, `UserCFRecommender` and `SwingRecommender` wrap the engine's models: they
map raw ids (of any hashable type) to dense ids, build the interaction matrices and the consumed
lists, check every input before the engine sees it, and answer with DataFrames.
"""

from __future__ import annotations

import functools
import os
import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any, ClassVar, Literal, Self, TypeVar, cast

import numpy as np
import numpy.typing as npt
import pandas as pd

from . import _memory, _native, _ranges
from ._data import (
    DenseBatch,
    Interactions,
    as_id_array,
    both_orientations,
    cap_rows,
    id_hashes,
    positive_int,
    read_interactions,
    set_consumed_from_rows,
    to_dense,
)
from ._files import engine_bytes, engine_from_bytes, load_recommender, save_recommender
from ._ids import IdMap
from .quibrel import ItemCF, Swing, UserCF

__all__ = ["ItemCFRecommender", "SwingRecommender", "UserCFRecommender", "load"]


# Raised by fit; defined beside the estimate it reports.
StateTooLargeError = _memory.StateTooLargeError


class NotFittedError(ValueError, AttributeError):
    """The recommender has not been fitted yet."""


class _SharedLock:
    """Shared holds for the answers, an exclusive one for changing the model.

    An update waits for the answers in progress and holds off new ones until it is done, so
    an answer sees the model wholly before or wholly after it: partial_fit grows the id maps
    before the engine knows the new ids, and fit replaces the model before the id maps.
    A waiting update goes before answers that arrive after it.
    """

    def __init__(self) -> None:
        self._state = threading.Condition(threading.Lock())
        self._readers = 0
        self._writing = False
        self._writers_waiting = 0

    @contextmanager
    def reading(self) -> Iterator[None]:
        with self._state:
            while self._writing or self._writers_waiting:
                self._state.wait()
            self._readers += 1
        try:
            yield
        finally:
            with self._state:
                self._readers -= 1
                if self._readers == 0:
                    self._state.notify_all()

    @contextmanager
    def writing(self) -> Iterator[None]:
        with self._state:
            self._writers_waiting += 1
            try:
                while self._writing or self._readers:
                    self._state.wait()
            except BaseException:
                # Interrupted while waiting: the answers queued behind this update go on.
                self._writers_waiting -= 1
                self._state.notify_all()
                raise
            self._writers_waiting -= 1
            self._writing = True
        try:
            yield
        finally:
            with self._state:
                self._writing = False
                self._state.notify_all()


_Method = TypeVar("_Method", bound=Callable[..., Any])


def _reading(method: _Method) -> _Method:
    """Runs the method under the recommender's shared hold."""

    @functools.wraps(method)
    def held(self: Recommender, *args: Any, **kwargs: Any) -> Any:
        with self._lock.reading():
            return method(self, *args, **kwargs)

    return cast(_Method, held)


class Recommender:
    """What the three recommenders share; use one of the concrete classes."""

    _engine_class: ClassVar[str]
    _param_names: ClassVar[tuple[str, ...]]

    def __init__(self, *, num_threads: int | None, verbose: bool, show_progress: bool) -> None:
        self.num_threads = num_threads
        self.verbose = verbose
        self.show_progress = show_progress
        self._model: Any = None
        self._users = IdMap("user")
        self._items = IdMap("item")
        self._popularity = np.zeros(0, dtype=np.int64)
        # True after an approximate fold-in: the next exact update must recompute everything,
        # since it builds on the stored state being exact.
        self._approximate = False
        self._lock = _SharedLock()
        # k when the lists were cut to their first k entries (a fit with keep=k).
        self._truncated: int | None = None

    # ---- settings ------------------------------------------------------------------------

    def get_params(self) -> dict[str, Any]:
        """The constructor's keyword arguments, as given."""
        return {name: getattr(self, name) for name in self._param_names}

    def __repr__(self) -> str:
        params = ", ".join(f"{k}={v!r}" for k, v in self.get_params().items())
        size = (
            f"n_users={self.n_users}, n_items={self.n_items}"
            if self._model is not None
            else "not fitted"
        )
        return f"{type(self).__name__}({params}) [{size}]"

    # ---- sizes and ids -------------------------------------------------------------------

    @property
    def n_users(self) -> int:
        """Number of known users (dense ids 0 .. n_users-1)."""
        return len(self._users)

    @property
    def n_items(self) -> int:
        """Number of known items (dense ids 0 .. n_items-1)."""
        return len(self._items)

    @property
    def user_ids(self) -> npt.NDArray[Any]:
        """Raw user ids in dense-id order."""
        return self._users.ids

    @property
    def item_ids(self) -> npt.NDArray[Any]:
        """Raw item ids in dense-id order."""
        return self._items.ids

    @property
    def is_fitted(self) -> bool:
        return self._model is not None

    @property
    def truncated(self) -> int | None:
        """k when every neighbour list holds only its first k entries (a fit with `keep=k`,
        local or by `quibrel.dask.fit`), else None."""
        return self._truncated

    # ---- fitting -------------------------------------------------------------------------

    def fit(
        self,
        data: Any,
        user_col: str = "user",
        item_col: str = "item",
        value_col: str | None = None,
        keep: int | None = None,
        check_memory: bool = True,
    ) -> Self:
        """Fits the model on interactions; returns self.

        `data` is a DataFrame with one row per interaction (raw ids in `user_col` and
        `item_col`, values in `value_col`, or 1.0 when it is None) or a scipy sparse matrix
        (rows users, columns items; the raw ids are the row and column indices). A (user, item)
        pair given more than once keeps its last value.

        With `keep=k` the lists are computed a range of entities at a time and only the first
        k entries of each are kept (`truncated` is then k), so memory holds k entries per
        entity instead of every co-occurring pair: `recommend` and `predict` answer exactly
        as the full model does for `k_sim` (Swing: `top_k`) up to k; `partial_fit` then takes
        only `exact=False`. Without it, the full state's size is estimated first and a fit
        that would not fit in the memory available raises StateTooLargeError (a MemoryError)
        before allocating it, unless `check_memory` is False.
        """
        if keep is not None:
            keep = positive_int(keep, "keep")
        fitted = self._fitted_parts(data, user_col, item_col, value_col, keep, check_memory)
        # Answers go on from the old model while the new one is computed.
        with self._lock.writing():
            self._install(*fitted, truncated=keep)
        return self

    def _fitted_parts(
        self,
        data: Any,
        user_col: str,
        item_col: str,
        value_col: str | None,
        keep: int | None,
        check_memory: bool,
    ) -> tuple[Any, IdMap, IdMap, npt.NDArray[np.int64]]:
        self._check_settings()
        batch = read_interactions(data, user_col, item_col, value_col)
        users, items = IdMap("user"), IdMap("item")
        dense = to_dense(batch, users, items)
        by_user, by_item = both_orientations(dense, len(users), len(items))
        by_user, by_item = self._engine_inputs(users, items, by_user, by_item)
        model = self._new_engine_model(len(users), len(items), by_user, by_item)
        forward, other = self._list_sides(by_user, by_item)
        cosine = self._engine_class != "Swing"
        if keep is not None:
            bounds = _ranges.local_ranges(
                forward.sparse_indptr, forward.sparse_indices, other.sparse_indptr, cosine, keep
            )
            self._compute_ranges(model, bounds, keep)
        else:
            if check_memory:
                self._check_memory(lambda: model, forward, other, cosine)
            self._compute(model)
        return model, users, items, np.diff(by_item.sparse_indptr).astype(np.int64)

    def _check_memory(
        self,
        model: Callable[[], Any],
        forward: Any,
        other: Any,
        cosine: bool,
        suggest_dask: bool = True,
    ) -> None:
        """Raises StateTooLargeError when the full state of the engine model `model()` (built
        only if the estimate needs it) would not fit in the memory available."""
        room = _memory.available_bytes()
        if room is None:
            return
        # Within the room even by its upper bound, the state is not sampled.
        limit = _memory.MARGIN * room
        estimate = _memory.estimate_state(model, forward, other, cosine, self._threads(), limit)
        _memory.check_room(estimate, room, type(self).__name__, cosine, suggest_dask)

    def _compute_ranges(self, model: Any, bounds: npt.NDArray[np.int64], keep: int) -> None:
        bar = _ProgressBars(type(self).__name__) if self.show_progress else None
        try:
            _ranges.compute_truncated(
                model, bounds, keep, self._threads(), None if bar is None else bar.update
            )
        finally:
            if bar is not None:
                bar.close()

    def _list_sides(self, by_user: Interactions, by_item: Interactions) -> tuple[Any, Any]:
        """The matrix whose rows are the entities with neighbour lists, and the other one."""
        return by_item, by_user

    def _install(
        self,
        model: Any,
        users: IdMap,
        items: IdMap,
        popularity: npt.NDArray[np.int64],
        truncated: int | None = None,
    ) -> None:
        self._model = model
        self._users, self._items = users, items
        self._popularity = popularity
        self._approximate = False
        self._truncated = truncated

    def partial_fit(
        self,
        data: Any,
        user_col: str = "user",
        item_col: str = "item",
        value_col: str | None = None,
        exact: bool = True,
    ) -> Self:
        """Folds a batch of interactions into the fitted model; returns self.

        New users and items get new dense ids. A (user, item) pair already known takes the
        batch's value, as in `fit`. With `exact=True` the model afterwards equals a `fit` on
        every interaction so far; `exact=False` runs the engine's fast approximate fold-in.
        An unfitted recommender is simply fitted on the batch. A recommender whose lists are
        truncated (`truncated` is not None) takes only `exact=False`.
        """
        with self._lock.writing():
            if self._model is None:
                self._install(*self._fitted_parts(data, user_col, item_col, value_col, None, True))
                return self
            if exact and self._truncated is not None:
                raise ValueError(
                    f"this {type(self).__name__} keeps only the first {self._truncated} entries "
                    "of each neighbour list (fitted with keep), so no exact update can be made: "
                    "fit it again, or fold the batch in with exact=False"
                )
            self._partial_fit(data, user_col, item_col, value_col, exact)
        return self

    def _partial_fit(
        self, data: Any, user_col: str, item_col: str, value_col: str | None, exact: bool
    ) -> None:
        self._check_settings()
        batch = read_interactions(data, user_col, item_col, value_col)
        n_users0, n_items0 = len(self._users), len(self._items)
        users0, items0 = self._users.index, self._items.index
        popularity0 = self._popularity
        try:
            dense = to_dense(batch, self._users, self._items)
            self._fold_in(dense, n_users0, n_items0, exact)
        except BaseException:
            self._users.restore(users0)
            self._items.restore(items0)
            self._popularity = popularity0
            raise

    def _fold_in(self, dense: DenseBatch, n_users0: int, n_items0: int, exact: bool) -> None:
        model = self._model
        n_users, n_items = len(self._users), len(self._items)
        new_by_user, new_by_item = both_orientations(dense, n_users, n_items)
        changed = np.flatnonzero(np.diff(new_by_user.sparse_indptr)).astype(np.int32)
        offsets, old_bytes, _ = _native.user_rows(model, changed)
        old_offsets = np.frombuffer(offsets, dtype=np.uint64)
        old_items = np.frombuffer(old_bytes, dtype=np.int32)
        # Each changed user's consumed items: the stored row's and the batch's, sorted.
        old_users = np.repeat(changed.astype(np.int64), np.diff(old_offsets).astype(np.int64))
        batch_users = np.repeat(
            np.arange(n_users, dtype=np.int64), np.diff(new_by_user.sparse_indptr)
        )
        keys = np.unique(
            np.concatenate(
                [
                    old_users * n_items + old_items,
                    batch_users * n_items + new_by_user.sparse_indices,
                ]
            )
        )
        merged_users = keys // n_items
        items_flat = (keys % n_items).astype(np.int32)
        merged_offsets = np.append(
            np.searchsorted(merged_users, changed, side="left"), len(keys)
        ).astype(np.uint64)

        grown = n_users != n_users0 or n_items != n_items0
        model.n_users, model.n_items = n_users, n_items
        _native.set_consumed(model, changed, merged_offsets, items_flat)
        try:
            if exact:
                route = "full" if self._approximate else "auto"
                self._call(_native.exact_update, model, new_by_user, new_by_item, route)
            elif isinstance(model, Swing):
                threads = self._threads()
                self._call(model.update_swing, threads, new_by_user, new_by_item)
            else:
                self._call(model.update_similarities, new_by_user, new_by_item)
        except BaseException:
            # Input was checked above, so this is an allocation failure or an interrupt; the
            # engine left its lists as they were, and so do we with the counts and lists.
            _native.set_consumed(model, changed, old_offsets, old_items)
            if grown:
                model.n_users, model.n_items = n_users0, n_items0
            raise
        self._approximate = not exact
        popularity = np.zeros(n_items, dtype=np.int64)
        popularity[: len(self._popularity)] = self._popularity
        new_counts = np.bincount(items_flat, minlength=n_items) - np.bincount(
            old_items, minlength=n_items
        )
        self._popularity = popularity + new_counts

    # ---- answers -------------------------------------------------------------------------

    @_reading
    def recommend(
        self,
        users: Any,
        n: int = 10,
        filter_consumed: bool = True,
        random: bool = False,
        unknown: Literal["error", "skip", "popular"] = "error",
    ) -> pd.DataFrame:
        """Top-n items for each user, as a DataFrame `user`, `item`, `score`, `rank`.

        Users come in input order and each user's items in the engine's order (best first;
        with `random=True` a uniform draw among the candidates, in draw order). `score` is
        the value the order ranks by; `rank` counts from 1. Users with no candidates get no
        rows. Unknown users: `unknown="error"` raises KeyError, "skip" leaves them out,
        "popular" gives them the n most popular items, scored by their interaction counts.
        """
        model = self._fitted()
        n = _list_length(n)
        raw = as_id_array(users, "users")
        dense = self._users.lookup(raw)
        known = dense >= 0
        if not known.all():
            if unknown == "error":
                raise KeyError(_unknown_message("users", "user", raw, known))
            if unknown not in ("skip", "popular"):
                raise ValueError(f"unknown must be 'error', 'skip' or 'popular', got {unknown!r}")
        offsets, item_bytes, score_bytes = _native.recommend(
            model,
            dense[known].astype(np.int32),
            n,
            bool(filter_consumed),
            bool(random),
        )
        counts = _counts(offsets)
        items = np.frombuffer(item_bytes, dtype=np.int32)
        scores = np.frombuffer(score_bytes, dtype=np.float32)
        if unknown == "popular" and not known.all():
            counts, items, scores = self._with_popular(known, counts, items, scores, n)
            user_raw = raw
        else:
            user_raw = raw[known]
        return _ranked_frame(
            "user", np.repeat(user_raw, counts), "item", items, scores, counts, self._items.index
        )

    def _with_popular(
        self,
        known: npt.NDArray[np.bool_],
        counts: npt.NDArray[np.int64],
        items: npt.NDArray[np.int32],
        scores: npt.NDArray[np.float32],
        n: int,
    ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int32], npt.NDArray[np.float32]]:
        top = np.argsort(-self._popularity, kind="stable")[:n].astype(np.int32)
        unknown_at = np.flatnonzero(~known)
        all_counts = np.zeros(len(known), dtype=np.int64)
        all_counts[known] = counts
        all_counts[unknown_at] = len(top)
        # Rows ordered by the user's input position: known users' rows, then the popular list
        # for each unknown user, merged by a stable sort on position.
        position = np.concatenate(
            [
                np.repeat(np.flatnonzero(known), counts),
                np.repeat(unknown_at, len(top)),
            ]
        )
        order = np.argsort(position, kind="stable")
        all_items = np.concatenate([items, np.tile(top, len(unknown_at))])[order]
        all_scores = np.concatenate(
            [scores, np.tile(self._popularity[top].astype(np.float32), len(unknown_at))]
        )[order]
        return all_counts, all_items, all_scores

    @_reading
    def predict(
        self, users: Any, items: Any, unknown: Literal["error", "default"] = "error"
    ) -> npt.NDArray[np.float32]:
        """One score per (user, item) pair, as the engine's `predict` gives it.

        Unknown ids raise KeyError, or with `unknown="default"` score as an entity the model
        does not know (the engine's default prediction).
        """
        model = self._fitted()
        user_raw = as_id_array(users, "users")
        item_raw = as_id_array(items, "items")
        if len(user_raw) != len(item_raw):
            raise ValueError(
                f"users and items must have the same length, got {len(user_raw)} and "
                f"{len(item_raw)}"
            )
        u = self._users.lookup(user_raw)
        i = self._items.lookup(item_raw)
        for name, what, raw, dense, count in (
            ("users", "user", user_raw, u, self.n_users),
            ("items", "item", item_raw, i, self.n_items),
        ):
            if (dense < 0).any():
                if unknown == "error":
                    raise KeyError(_unknown_message(name, what, raw, dense >= 0))
                if unknown != "default":
                    raise ValueError(f"unknown must be 'error' or 'default', got {unknown!r}")
                dense[dense < 0] = count
        return np.asarray(model.predict(u.tolist(), i.tolist()), dtype=np.float32)

    @_reading
    def _neighbours(
        self, ids: IdMap, raw_ids: Any, n: int, col: str, argument: str
    ) -> pd.DataFrame:
        model = self._fitted()
        n = _list_length(n)
        raw = as_id_array(raw_ids, argument)
        dense = ids.lookup(raw)
        if (dense < 0).any():
            raise KeyError(_unknown_message(argument, ids.what, raw, dense >= 0))
        offsets, id_bytes, score_bytes = _native.neighbours(model, dense.astype(np.int32), n)
        counts = _counts(offsets)
        neighbours = np.frombuffer(id_bytes, dtype=np.int32)
        scores = np.frombuffer(score_bytes, dtype=np.float32)
        return _ranked_frame(
            col, np.repeat(raw, counts), "neighbour", neighbours, scores, counts, ids.index
        )

    # ---- files ---------------------------------------------------------------------------

    @_reading
    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the fitted recommender to one file; `quibrel.recommenders.load` reads it.

        The file is written beside the target under a temporary name and renamed over it, so
        a failed save leaves an existing file as it was.
        """
        self._fitted()
        save_recommender(self, path)

    @_reading
    def __getstate__(self) -> dict[str, Any]:
        state = {k: v for k, v in self.__dict__.items() if k not in ("_model", "_lock")}
        state["_model"] = None if self._model is None else engine_bytes(self._model)
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        blob = state.pop("_model")
        self._truncated = None  # absent from recommenders pickled before it existed
        self.__dict__.update(state)
        self._lock = _SharedLock()
        self._model = None if blob is None else engine_from_bytes(self._engine_class, blob)

    # ---- engine calls --------------------------------------------------------------------

    def _check_settings(self) -> None:
        if self.num_threads is not None:
            positive_int(self.num_threads, "num_threads")

    def _threads(self) -> int:
        size = int(_native.pool_size())
        return size if self.num_threads is None else min(int(self.num_threads), size)

    def _call(self, function: Callable[..., Any], *args: Any) -> Any:
        progress = None
        bar = None
        if self.show_progress:
            bar = _ProgressBars(type(self).__name__)
            progress = bar.update
        try:
            return _native.call(function, args, self._threads(), not self.verbose, progress)
        finally:
            if bar is not None:
                bar.close()

    def _fitted(self) -> Any:
        if self._model is None:
            raise NotFittedError(f"this {type(self).__name__} is not fitted yet: call fit() first")
        return self._model

    def _new_engine_model(
        self,
        n_users: int,
        n_items: int,
        by_user: Interactions,
        by_item: Interactions,
        consumed: bool = True,
    ) -> Any:
        """The engine model on these matrices, with each user's consumed items unless
        `consumed` is false (a model that only computes lists needs none)."""
        raise NotImplementedError

    def _engine_inputs(
        self, users: IdMap, items: IdMap, by_user: Interactions, by_item: Interactions
    ) -> tuple[Interactions, Interactions]:
        """The matrices the engine model is built on (Swing may sample each item's users)."""
        return by_user, by_item

    def _compute(self, model: Any) -> None:
        raise NotImplementedError


class _CosineRecommender(Recommender):
    _param_names = (
        "k_sim",
        "min_common",
        "task",
        "default_pred",
        "num_threads",
        "verbose",
        "show_progress",
    )

    def __init__(
        self,
        *,
        k_sim: int = 100,
        min_common: int = 1,
        task: Literal["ranking", "rating"] = "ranking",
        default_pred: float = 0.0,
        num_threads: int | None = None,
        verbose: bool = False,
        show_progress: bool = False,
    ) -> None:
        super().__init__(num_threads=num_threads, verbose=verbose, show_progress=show_progress)
        self.k_sim = k_sim
        self.min_common = min_common
        self.task = task
        self.default_pred = default_pred

    def _check_settings(self) -> None:
        super()._check_settings()
        positive_int(self.k_sim, "k_sim")
        positive_int(self.min_common, "min_common")
        if self.task not in ("ranking", "rating"):
            raise ValueError(f"task must be 'ranking' or 'rating', got {self.task!r}")
        _finite_float(self.default_pred, "default_pred")

    def _new_engine_model(
        self,
        n_users: int,
        n_items: int,
        by_user: Interactions,
        by_item: Interactions,
        consumed: bool = True,
    ) -> Any:
        cls = ItemCF if self._engine_class == "ItemCF" else UserCF
        model = cls(
            self.task,
            _engine_count(self.k_sim),
            n_users,
            n_items,
            _engine_count(self.min_common),
            by_user,
            by_item,
            {},
            float(self.default_pred),
        )
        if consumed:
            set_consumed_from_rows(model, by_user)
        return model

    def _compute(self, model: Any) -> None:
        self._call(model.compute_similarities, False, self._threads())


class ItemCFRecommender(_CosineRecommender):
    """Item-based collaborative filtering: cosine similarity between items."""

    _engine_class = "ItemCF"

    def similar_items(self, items: Any, n: int = 10) -> pd.DataFrame:
        """The first n entries of each item's neighbour list: `item`, `neighbour`, `score`,
        `rank`, items in input order, neighbours by descending similarity."""
        return self._neighbours(self._items, items, n, "item", "items")


class UserCFRecommender(_CosineRecommender):
    """User-based collaborative filtering: cosine similarity between users."""

    _engine_class = "UserCF"

    def _list_sides(self, by_user: Interactions, by_item: Interactions) -> tuple[Any, Any]:
        return by_user, by_item

    def similar_users(self, users: Any, n: int = 10) -> pd.DataFrame:
        """The first n entries of each user's neighbour list: `user`, `neighbour`, `score`,
        `rank`, users in input order, neighbours by descending similarity."""
        return self._neighbours(self._users, users, n, "user", "users")


class SwingRecommender(Recommender):
    """Item-to-item Swing scores over the user-item graph."""

    _engine_class = "Swing"
    _param_names = (
        "top_k",
        "alpha",
        "max_cache_num",
        "default_pred",
        "max_users_per_item",
        "random_state",
        "num_threads",
        "verbose",
        "show_progress",
    )

    def __init__(
        self,
        *,
        top_k: int = 100,
        alpha: float = 1.0,
        max_cache_num: int = 1_000_000,
        default_pred: float = 0.0,
        max_users_per_item: int | None = None,
        random_state: int = 0,
        num_threads: int | None = None,
        verbose: bool = False,
        show_progress: bool = False,
    ) -> None:
        super().__init__(num_threads=num_threads, verbose=verbose, show_progress=show_progress)
        self.top_k = top_k
        self.alpha = alpha
        self.max_cache_num = max_cache_num
        self.default_pred = default_pred
        self.max_users_per_item = max_users_per_item
        self.random_state = random_state

    def _check_settings(self) -> None:
        super()._check_settings()
        positive_int(self.top_k, "top_k")
        _finite_float(self.alpha, "alpha")
        if self.alpha < 0:
            # A pair of users sharing k items adds 1 / (alpha + k): a negative alpha can divide
            # by zero, and the infinite scores end in NaNs the engine cannot rank.
            raise ValueError(f"alpha must be at least 0, got {self.alpha!r}")
        if (
            isinstance(self.max_cache_num, bool)
            or not isinstance(self.max_cache_num, int | np.integer)
            or self.max_cache_num < 0
        ):
            raise ValueError(f"max_cache_num must be an int >= 0, got {self.max_cache_num!r}")
        _finite_float(self.default_pred, "default_pred")
        if self.max_users_per_item is not None:
            positive_int(self.max_users_per_item, "max_users_per_item")
        if (
            isinstance(self.random_state, bool)
            or not isinstance(self.random_state, int | np.integer)
            or not 0 <= self.random_state < 2**64
        ):
            raise ValueError(
                f"random_state must be an int in 0..2**64-1, got {self.random_state!r}"
            )

    def _new_engine_model(
        self,
        n_users: int,
        n_items: int,
        by_user: Interactions,
        by_item: Interactions,
        consumed: bool = True,
    ) -> Any:
        model = Swing(
            _engine_count(self.top_k),
            float(self.alpha),
            _engine_count(self.max_cache_num),
            n_users,
            n_items,
            by_user,
            by_item,
            {},
            float(self.default_pred),
        )
        if consumed:
            set_consumed_from_rows(model, by_user)
        return model

    def _engine_inputs(
        self, users: IdMap, items: IdMap, by_user: Interactions, by_item: Interactions
    ) -> tuple[Interactions, Interactions]:
        if self.max_users_per_item is None:
            return by_user, by_item
        # Each item's pairs of users come from a sample of its users; the users' own rows
        # (their activity, the items two users share) stay whole. The sample is drawn by
        # hashing raw ids, so it does not depend on the order interactions arrived in.
        capped = cap_rows(
            by_item,
            int(self.max_users_per_item),
            int(self.random_state),
            id_hashes(items.ids),
            id_hashes(users.ids),
        )
        return by_user, capped

    def _compute(self, model: Any) -> None:
        self._call(model.compute_swing, self._threads())

    def _fold_in(self, dense: DenseBatch, n_users0: int, n_items0: int, exact: bool) -> None:
        if self.max_users_per_item is None or not exact:
            super()._fold_in(dense, n_users0, n_items0, exact)
            return
        # A new user can take an item's sample place from another: the exact update's patching
        # does not apply, so the model is computed again from every stored interaction.
        n_users, n_items = len(self._users), len(self._items)
        offsets, items, values = _native.user_rows(self._model, np.arange(n_users0, dtype=np.int32))
        counts = _counts(offsets)
        stored = DenseBatch(
            np.repeat(np.arange(n_users0, dtype=np.int64), counts),
            np.frombuffer(items, dtype=np.int32).astype(np.int64),
            np.frombuffer(values, dtype=np.float32),
        )
        merged = DenseBatch(
            np.concatenate([stored.users, dense.users]),
            np.concatenate([stored.items, dense.items]),
            np.concatenate([stored.values, dense.values]),
        )
        by_user, by_item = both_orientations(merged, n_users, n_items)
        by_user, by_item = self._engine_inputs(self._users, self._items, by_user, by_item)
        model = self._new_engine_model(n_users, n_items, by_user, by_item)
        self._compute(model)
        self._model = model
        self._approximate = False
        self._popularity = np.diff(by_item.sparse_indptr).astype(np.int64)

    def similar_items(self, items: Any, n: int = 10) -> pd.DataFrame:
        """The first n entries of each item's Swing list: `item`, `neighbour`, `score`, `rank`,
        items in input order, neighbours by descending score."""
        return self._neighbours(self._items, items, n, "item", "items")


def load(path: str | os.PathLike[str]) -> Recommender:
    """Reads a recommender written by `save`; returns an object of the saved class."""
    return load_recommender(
        path, {c.__name__: c for c in (ItemCFRecommender, UserCFRecommender, SwingRecommender)}
    )


# ---- helpers ---------------------------------------------------------------------------


# Counts beyond this mean "all" to the engine as much as any larger count does; the engine
# reads counts as unsigned 64-bit numbers and refuses (or, for n, wraps around) past 2**64 - 1.
_MAX_COUNT = 2**63 - 1


def _list_length(n: Any) -> int:
    return min(positive_int(n, "n"), _MAX_COUNT)


def _engine_count(value: Any) -> int:
    return min(int(value), _MAX_COUNT)


_F32_MAX = float(np.finfo(np.float32).max)


def _finite_float(value: Any, argument: str) -> None:
    if isinstance(value, bool) or not isinstance(value, int | float | np.integer | np.floating):
        raise TypeError(f"{argument} must be a number, got {type(value).__name__}")
    try:
        wide = float(value)
    except OverflowError:  # an int beyond every float
        wide = float("inf")
    # The engine holds it as a 32-bit float: 3.5e38 would become infinite there.
    if not abs(wide) <= _F32_MAX:
        raise ValueError(f"{argument} must be a finite 32-bit float, got {value!r}")


def _unknown_message(argument: str, what: str, raw: npt.NDArray[Any], known: Any) -> str:
    pos = int(np.argmin(known))
    # .item() gives plain Python values, except for datetimes (nanoseconds become an int).
    plain = isinstance(raw[pos], np.generic) and raw.dtype.kind not in "mM"
    value = raw[pos].item() if plain else raw[pos]
    return f"{argument} holds an unknown {what} id {value!r} at position {pos}"


def _counts(offsets: bytes) -> npt.NDArray[np.int64]:
    o: npt.NDArray[np.int64] = np.frombuffer(offsets, dtype=np.uint64).astype(np.int64)
    return np.diff(o)


def _ranked_frame(
    key_col: str,
    keys: npt.NDArray[Any],
    value_col: str,
    dense_values: npt.NDArray[np.int32],
    scores: npt.NDArray[np.float32],
    counts: npt.NDArray[np.int64],
    value_ids: pd.Index,
) -> pd.DataFrame:
    if bool((dense_values < 0).any()) or bool((dense_values >= len(value_ids)).any()):
        # Only a model read from a damaged or hand-made file holds such ids; take() would
        # raise IndexError, or answer with the wrong id for a negative one.
        raise ValueError(
            f"the model holds {value_col} ids outside its id map: it was loaded from a damaged file"
        )
    total = int(counts.sum())
    starts = np.repeat(np.cumsum(counts) - counts, counts)
    rank = np.arange(total, dtype=np.int64) - starts + 1
    return pd.DataFrame(
        {
            key_col: keys,
            value_col: value_ids.take(dense_values),
            "score": scores,
            "rank": rank,
        }
    )


class _ProgressBars:
    """One tqdm bar per parallel step of a computation, on standard error."""

    def __init__(self, name: str) -> None:
        from tqdm.auto import tqdm  # type: ignore[import-untyped,unused-ignore]

        self._tqdm = tqdm
        self._name = name
        self._bar: Any = None
        self._step = 0

    def update(self, done: int, total: int) -> None:
        if self._bar is None or self._bar.total != total or done < self._bar.n:
            self.close()
            self._step += 1
            self._bar = self._tqdm(total=total, desc=f"{self._name} step {self._step}")
        self._bar.update(done - self._bar.n)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None
