"""Interaction input: validation, dense ids and the engine's matrices.

Everything a caller passes is checked here, once, before any engine call; errors name the
argument and the first offending row.
"""

from __future__ import annotations

from collections.abc import Hashable
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd
import scipy.sparse as sp

from ._ids import MAX_ENTITIES, IdMap, exact_index

# The cosine models keep each user's and item's sum of squared values, and every pair's dot
# product, in 32-bit floats: a value whose square overflows (beyond about 1.8e19) makes a
# similarity inf / inf, a NaN the engine cannot sort. With at most 2**31 - 2 entries in a row
# or column, values of magnitude up to 2**48 keep every such sum below 2**127.
MAX_VALUE = 2.0**48

# Inputs at least this long are converted on two threads (numpy, pandas and scipy release the
# interpreter lock in the loops used here); below it a thread costs more than it saves.
_PARALLEL_ROWS = 200_000


@dataclass
class Batch:
    """Interactions with raw ids, one entry per input row, in input order."""

    users: Any  # raw ids: pandas Index or ndarray
    items: Any
    values: npt.NDArray[np.float32]
    user_universe: int = -1  # sparse input: every row index is a user id (-1: not sparse)
    item_universe: int = -1
    # Sparse input already in canonical CSR form (sorted, no repeated pair; float32 values):
    # the same interactions, kept so that the matrices need not be built again from triples.
    matrix: sp.csr_matrix | None = None


def _row_label(data: pd.DataFrame, position: int) -> str:
    label = data.index[position]
    return repr(label.item() if isinstance(label, np.generic) else label)


def read_interactions(
    data: Any, user_col: str, item_col: str, value_col: str | None, argument: str = "data"
) -> Batch:
    """Validated interactions from a DataFrame or a scipy sparse matrix (rows users)."""
    if sp.issparse(data):
        return _read_sparse(data, argument)
    if not isinstance(data, pd.DataFrame):
        raise TypeError(
            f"{argument} must be a pandas DataFrame or a scipy sparse matrix, "
            f"got {type(data).__name__}"
        )
    for role, col in (("user_col", user_col), ("item_col", item_col), ("value_col", value_col)):
        if col is not None and col not in data.columns:
            raise KeyError(f"{argument} has no column {col!r} (the {role})")
        if col is not None and isinstance(data[col], pd.DataFrame):
            raise ValueError(f"{argument} has more than one column named {col!r} (the {role})")
    if len(data) == 0:
        raise ValueError(f"{argument} is empty: there are no interactions")
    users = _read_ids(data, user_col, argument)
    items = _read_ids(data, item_col, argument)
    if value_col is None:
        values = np.ones(len(data), dtype=np.float32)
    else:
        values = _read_values(data, value_col, argument)
    return Batch(users, items, values)


def _read_ids(data: pd.DataFrame, col: str, argument: str) -> Any:
    column = data[col]
    missing = column.isna().to_numpy()
    if missing.any():
        pos = int(np.argmax(missing))
        raise ValueError(f"{argument}[{col!r}] has a missing id at row {_row_label(data, pos)}")
    raw = column.to_numpy()
    if raw.dtype.kind == "f" and not np.isfinite(raw).all():
        pos = int(np.argmax(~np.isfinite(raw)))
        raise ValueError(
            f"{argument}[{col!r}] has a non-finite id {raw[pos]!r} at row {_row_label(data, pos)}"
        )
    if raw.dtype.kind == "O":
        for pos, value in enumerate(raw):
            if not isinstance(value, Hashable):
                raise TypeError(
                    f"{argument}[{col!r}] has an unhashable id of type {type(value).__name__} "
                    f"at row {_row_label(data, pos)}"
                )
    return raw


def _read_values(data: pd.DataFrame, col: str, argument: str) -> npt.NDArray[np.float32]:
    column = data[col]
    numeric = pd.api.types.is_numeric_dtype(column.dtype) or pd.api.types.is_bool_dtype(column)
    if not numeric or pd.api.types.is_complex_dtype(column.dtype):
        raise TypeError(f"{argument}[{col!r}] must be numeric, got dtype {column.dtype}")
    missing = column.isna().to_numpy()
    if missing.any():
        pos = int(np.argmax(missing))
        raise ValueError(f"{argument}[{col!r}] has a missing value at row {_row_label(data, pos)}")
    wide = column.to_numpy(dtype=np.float64)
    bad = _out_of_range(wide)
    if bad.any():
        pos = int(np.argmax(bad))
        raise ValueError(
            f"{argument}[{col!r}] has the value {wide[pos]!r} at row {_row_label(data, pos)}: "
            f"{_VALUE_RULE}"
        )
    return wide.astype(np.float32)


def _read_sparse(matrix: Any, argument: str) -> Batch:
    if matrix.ndim != 2:
        raise ValueError(f"{argument} must be two-dimensional, got {matrix.ndim} dimensions")
    # Every row and column index becomes an id: refuse a shape beyond the dense ids before
    # anything of that size is allocated.
    for what, size in zip(("rows", "columns"), matrix.shape, strict=True):
        if size > MAX_ENTITIES:
            raise ValueError(
                f"{argument} has {size} {what}: at most {MAX_ENTITIES} users or items are supported"
            )
    canonical = _canonical_csr(matrix)
    if canonical is not None:
        n_rows, n_cols = canonical.shape
        rows = np.repeat(np.arange(n_rows, dtype=np.int64), np.diff(canonical.indptr))
        cols = canonical.indices.astype(np.int64)
        return Batch(rows, cols, canonical.data, n_rows, n_cols, canonical)
    # tocoo() checks the indices only of some formats, so they are checked below with the
    # argument's name.
    try:
        coo = matrix.tocoo()
    except ValueError as e:
        raise ValueError(f"{argument} is not a well-formed sparse matrix: {e}") from e
    if coo.dtype.kind not in "biuf":
        raise TypeError(f"{argument} must hold numbers, got dtype {coo.dtype}")
    if coo.nnz == 0:
        raise ValueError(f"{argument} is empty: there are no stored interactions")
    rows = np.asarray(coo.row, dtype=np.int64)
    cols = np.asarray(coo.col, dtype=np.int64)
    n_rows, n_cols = coo.shape
    for what, idx, bound in (("row", rows, n_rows), ("column", cols, n_cols)):
        bad = (idx < 0) | (idx >= bound)
        if bad.any():
            pos = int(np.argmax(bad))
            raise ValueError(
                f"{argument} has the {what} index {idx[pos]} at stored entry {pos}, "
                f"outside 0..{bound - 1}"
            )
    wide = np.asarray(coo.data, dtype=np.float64)
    bad = _out_of_range(wide)
    if bad.any():
        pos = int(np.argmax(bad))
        raise ValueError(
            f"{argument} has the value {wide[pos]!r} at row {rows[pos]}, column {cols[pos]}: "
            f"{_VALUE_RULE}"
        )
    return Batch(rows, cols, wide.astype(np.float32), n_rows, n_cols)


_VALUE_RULE = "values must be finite, with magnitude at most 2**48"


def _canonical_csr(matrix: Any) -> sp.csr_matrix | None:
    """The matrix as CSR with float32 values, sharing its index arrays, when it is a
    well-formed CSR matrix in canonical form (sorted columns, no repeated entry) with
    numeric values in range and at least one entry; None otherwise, and the general path
    then checks it (and names what is wrong)."""
    # The caller has checked that it is sparse and two-dimensional.
    if getattr(matrix, "format", None) != "csr" or matrix.dtype.kind not in "biuf":
        return None
    n_rows, n_cols = matrix.shape
    indptr, indices, data = matrix.indptr, matrix.indices, matrix.data
    nnz = len(indices)
    if (
        nnz == 0
        or indptr.ndim != 1
        or len(indptr) != n_rows + 1
        or len(data) != nnz
        or indptr[0] != 0
        or indptr[-1] != nnz
        or (np.diff(indptr) < 0).any()
        or indices.min() < 0
        or indices.max() >= n_cols
    ):
        return None
    # Checked before scipy reads the structure: its canonical-form test trusts it.
    if not matrix.has_canonical_format:
        return None
    lo, hi = float(data.min()), float(data.max())  # a NaN makes both fail below
    if not (lo >= -MAX_VALUE and hi <= MAX_VALUE):
        return None
    # Integers up to 2**48 are exact in float64, so either way a value is rounded once.
    values = data.astype(np.float32, copy=False)
    return sp.csr_matrix((values, indices, indptr), shape=(n_rows, n_cols))


def _out_of_range(values: npt.NDArray[np.float64]) -> npt.NDArray[np.bool_]:
    with np.errstate(invalid="ignore"):
        return ~(np.abs(values) <= MAX_VALUE)  # NaN compares false


@dataclass
class DenseBatch:
    """Interactions in dense ids, one per (user, item): a repeated pair keeps its last value."""

    users: npt.NDArray[np.int64]
    items: npt.NDArray[np.int64]
    values: npt.NDArray[np.float32]
    matrix: sp.csr_matrix | None = None  # the same in dense ids as canonical CSR, if known


def to_dense(batch: Batch, users: IdMap, items: IdMap) -> DenseBatch:
    """Registers the batch's new ids (sparse input: every row and column index) and dedupes."""
    if batch.user_universe >= 0:
        users.add(np.arange(batch.user_universe, dtype=np.int64))
        items.add(np.arange(batch.item_universe, dtype=np.int64))
        if users.positional() and items.positional():
            # Row and column indices name themselves (as in any model fitted on matrices
            # alone): nothing to look up, where hashing 20 M ids takes a second.
            return DenseBatch(batch.users, batch.items, batch.values, batch.matrix)
    if len(batch.values) >= _PARALLEL_ROWS:
        # Hashing releases the interpreter lock: users and items are mapped side by side.
        with ThreadPoolExecutor(2) as pool:
            u_job = pool.submit(users.add, batch.users)
            i = items.add(batch.items)
            u = u_job.result()
    else:
        u = users.add(batch.users)
        i = items.add(batch.items)
    return DenseBatch(u, i, batch.values)


def _last_of_each_pair(batch: DenseBatch, n_items: int) -> DenseBatch:
    key = batch.users * max(n_items, 1) + batch.items
    last = ~pd.Series(key).duplicated(keep="last").to_numpy()
    return DenseBatch(batch.users[last], batch.items[last], batch.values[last])


class Interactions:
    """A CSR matrix in the form the engine reads (sorted, unique columns per row)."""

    def __init__(self, matrix: sp.csr_matrix) -> None:
        self.matrix = matrix
        self.sparse_indices = np.asarray(matrix.indices, dtype=np.int32)
        self.sparse_indptr = np.asarray(matrix.indptr, dtype=np.int64)
        self.sparse_data = np.asarray(matrix.data, dtype=np.float32)


def both_orientations(
    batch: DenseBatch, n_users: int, n_items: int
) -> tuple[Interactions, Interactions]:
    """(users x items, items x users) CSR matrices; a repeated pair keeps its last value."""
    if batch.matrix is not None:
        rows = _padded(batch.matrix, n_users, n_items)
        # One linear transposition, where triples would be bucketed twice.
        columns = rows.tocsc()
        transposed = sp.csr_matrix(
            (columns.data, columns.indices, columns.indptr), shape=(n_items, n_users)
        )
        transposed.sort_indices()
        return Interactions(rows), Interactions(transposed)
    by_user, by_item = _both(batch, n_users, n_items)
    if by_user.nnz != len(batch.values):
        # The conversion summed repeated pairs; rare enough to build again from the last ones.
        by_user, by_item = _both(_last_of_each_pair(batch, n_items), n_users, n_items)
    return Interactions(by_user), Interactions(by_item)


def _padded(m: sp.csr_matrix, n_rows: int, n_cols: int) -> sp.csr_matrix:
    """m with empty rows and columns appended up to the given shape."""
    rows = m.shape[0]
    indptr = m.indptr
    if n_rows > rows:
        indptr = np.concatenate([indptr, np.full(n_rows - rows, indptr[-1], dtype=indptr.dtype)])
    return sp.csr_matrix((m.data, m.indices, indptr), shape=(n_rows, n_cols))


def _both(batch: DenseBatch, n_users: int, n_items: int) -> tuple[sp.csr_matrix, sp.csr_matrix]:
    def build(
        rows: npt.NDArray[np.int64], cols: npt.NDArray[np.int64], shape: tuple[int, int]
    ) -> sp.csr_matrix:
        m: sp.csr_matrix = sp.coo_matrix(
            (batch.values, (rows, cols)), shape=shape, dtype=np.float32
        ).tocsr()
        m.sort_indices()
        return m

    if len(batch.values) < _PARALLEL_ROWS:
        return (
            build(batch.users, batch.items, (n_users, n_items)),
            build(batch.items, batch.users, (n_items, n_users)),
        )
    with ThreadPoolExecutor(2) as pool:
        by_item = pool.submit(build, batch.items, batch.users, (n_items, n_users))
        by_user = build(batch.users, batch.items, (n_users, n_items))
        return by_user, by_item.result()


def set_consumed_from_rows(model: Any, by_user: Interactions) -> None:
    """Sets each user's consumed items to the columns of the user's row (users with none get
    no entry), in one call rather than through a dict of every user."""
    from . import _native

    n_users = len(by_user.sparse_indptr) - 1
    _native.set_consumed(
        model,
        np.arange(n_users, dtype=np.int32),
        by_user.sparse_indptr.astype(np.uint64),
        by_user.sparse_indices,
    )


def as_id_array(values: Any, argument: str) -> npt.NDArray[Any]:
    """A 1-D array of raw ids from a scalar id or any list-like of ids."""
    if not pd.api.types.is_list_like(values):
        values = [values]
    if isinstance(values, np.ndarray) and values.ndim != 1:
        raise ValueError(f"{argument} must be one-dimensional, got shape {values.shape}")
    # An Index infers one dtype for homogeneous ids and keeps mixed ones as objects (a numpy
    # array would turn [1, "a"] into two strings).
    arr: npt.NDArray[Any] = exact_index(values).to_numpy()
    missing = pd.isna(arr)
    if missing.any():
        pos = int(np.argmax(missing))
        raise ValueError(f"{argument} has a missing id at position {pos}")
    return arr


def positive_int(value: Any, argument: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int | np.integer):
        raise TypeError(f"{argument} must be an int, got {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{argument} must be at least 1, got {value}")
    return int(value)


def _mix(x: npt.NDArray[np.uint64]) -> npt.NDArray[np.uint64]:
    # A 64-bit finaliser: equal inputs give equal outputs on every machine and numpy version.
    with np.errstate(over="ignore"):
        x = x + np.uint64(0x9E3779B97F4A7C15)
        x = (x ^ (x >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
        x = (x ^ (x >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
        return x ^ (x >> np.uint64(31))


def id_hashes(ids: npt.NDArray[Any]) -> npt.NDArray[np.uint64]:
    """A 64-bit hash of each raw id, the same in every process and for every order of ids."""
    hashed: npt.NDArray[np.uint64] = pd.util.hash_array(np.asarray(ids))
    return hashed


def cap_rows(
    matrix: Interactions,
    cap: int,
    seed: int,
    row_hashes: npt.NDArray[np.uint64],
    column_hashes: npt.NDArray[np.uint64],
) -> Interactions:
    """At most `cap` entries per row: those whose (seed, row, column) hashes lowest.

    Rows and columns are hashed by their raw ids, so the entries a row keeps depend only on
    which columns it has: a fit on all interactions keeps the same ones whatever order or
    batches they came in.
    """
    m = matrix.matrix
    counts = np.diff(m.indptr)
    heavy = np.flatnonzero(counts > cap)
    if len(heavy) == 0:
        return matrix
    # Only rows over the cap are sampled, each by a linear-time selection: a sort of every
    # entry took most of a capped fit's preparation on large logs.
    keep = np.ones(m.nnz, dtype=bool)
    seeded = _mix(row_hashes[heavy] ^ _mix(np.full(1, seed, dtype=np.uint64)))
    for row, row_seed in zip(heavy.tolist(), seeded, strict=True):
        lo, hi = int(m.indptr[row]), int(m.indptr[row + 1])
        keys = _mix(row_seed ^ column_hashes[m.indices[lo:hi]])
        threshold = np.partition(keys, cap - 1)[cap - 1]
        kept = keys < threshold
        # Equal hashes at the threshold: the earliest columns, as a stable sort would keep.
        ties = np.flatnonzero(keys == threshold)[: cap - int(np.count_nonzero(kept))]
        kept[ties] = True
        keep[lo:hi] = kept
    capped = sp.csr_matrix(
        (m.data[keep], m.indices[keep], np.concatenate([[0], np.cumsum(np.minimum(counts, cap))])),
        shape=m.shape,
    )
    return Interactions(capped)
