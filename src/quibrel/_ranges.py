"""Neighbour lists computed entity range by entity range.

An entity's list depends only on the rows that share a column with it, so the lists of a range
of entities (items for ItemCF and Swing, users for UserCF) can be computed from the two
interaction matrices alone and installed in the model that serves them. The distributed fit
(quibrel.dask) computes its ranges on workers; a local fit with `keep` computes them here one
after another, so that only one range's lists are held beside the kept ones.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from itertools import pairwise
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _native

# Element types of what _native.partition_lists returns, in order.
LIST_DTYPES: tuple[type, ...] = (
    np.uint64,
    np.int32,
    np.float32,
    np.uint64,
    np.int32,
    np.float32,
    np.uint32,
)

# Element types of what _native.partition_pairs returns: the pair ones of those.
PAIR_DTYPES: tuple[type, ...] = LIST_DTYPES[3:]

# Most bytes of lists a local range may hold before they are installed,
_RANGE_BYTES = 256 << 20
# and most cell updates it makes: a few seconds of work, since an interrupt is seen and the
# progress moves only between ranges.
_RANGE_UPDATES = 2e9
# Interactions per slice when the reach of every entity is summed.
_REACH_SLICE = 1 << 20


def entity_reach(
    indptr: npt.NDArray[np.int64],
    indices: npt.NDArray[np.int32],
    other_indptr: npt.NDArray[np.int64],
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Each entity's row length and its updates: the summed lengths of the other side's rows
    its row meets (itself included once per column). Its distinct neighbours number at most
    updates - length."""
    lengths = np.diff(indptr)
    other_lengths = np.diff(other_indptr)
    updates = np.zeros(len(lengths), dtype=np.float64)
    # A slice of rows at a time: this runs before every full fit, and a temporary the size of
    # the interactions is fresh memory, slower to touch than all the arithmetic here.
    cuts = np.searchsorted(indptr, np.arange(0, int(indptr[-1]), _REACH_SLICE), side="right")
    cuts = np.unique(np.concatenate([cuts - 1, [len(lengths)]]))
    for first, end in pairwise(cuts.tolist()):
        rows = np.flatnonzero(lengths[first:end]) + first
        if rows.size == 0:
            continue
        base = int(indptr[first])
        met = other_lengths[indices[base : int(indptr[end])]]
        # Each non-empty row's run of `met` ends where the next non-empty one starts.
        updates[rows] = np.add.reduceat(met, indptr[rows] - base, dtype=np.float64)
    return lengths.astype(np.float64), updates


def entity_costs(
    indptr: npt.NDArray[np.int64],
    indices: npt.NDArray[np.int32],
    other_indptr: npt.NDArray[np.int64],
    cosine: bool,
) -> npt.NDArray[np.float64]:
    """Weight of each entity in the ranges: its share of the estimated work (cosine: the cell
    updates of its row, the lengths of the other side's rows it meets; Swing: its user pairs)
    plus its share of the most its list can hold (the entities those rows reach). Both count:
    cheap entities can have long lists, and a range's lists wait on its worker until fetched."""
    n = len(indptr) - 1
    lengths, updates = entity_reach(indptr, indices, other_indptr)
    reach = np.minimum(updates, n)
    work = (updates if cosine else lengths * (lengths - 1) / 2) + lengths + 1.0
    weight: npt.NDArray[np.float64] = work / work.sum() + (reach + 1.0) / (reach + 1.0).sum()
    return weight


def pair_costs(
    indptr: npt.NDArray[np.int64],
    indices: npt.NDArray[np.int32],
    other_indptr: npt.NDArray[np.int64],
    other_indices: npt.NDArray[np.int32],
) -> npt.NDArray[np.float64]:
    """Weight of each entity when only its pair records (x, y > x) are computed: its share of
    the cell updates (the entities above it in the other side's rows its row meets, whose rows
    ascend) plus its share of the most records it can hold (those updates, at most the
    entities above it). Low ids meet more partners above them than high ones."""
    n = len(indptr) - 1
    lengths = np.diff(indptr).astype(np.float64)
    rows = np.diff(other_indptr)
    # Each entry's entities above it in its row: the entries after it.
    after = np.repeat(other_indptr[1:], rows) - 1 - np.arange(len(other_indices))
    updates = np.bincount(other_indices, weights=after, minlength=n)[:n].astype(np.float64)
    records = np.minimum(updates, (n - 1 - np.arange(n)).clip(0))
    work = updates + lengths + 1.0
    weight: npt.NDArray[np.float64] = work / work.sum() + (records + 1.0) / (records + 1.0).sum()
    return weight


def ranges(cost: npt.NDArray[np.float64], count: int) -> npt.NDArray[np.int64]:
    """Bounds of at most `count` consecutive entity ranges of about equal cost."""
    n = len(cost)
    running = np.cumsum(cost)
    total = running[-1] if n else 0.0
    cuts = np.searchsorted(running, total * np.arange(1, count) / count, side="left") + 1
    bounds = np.unique(np.concatenate([[0], np.minimum(cuts, n), [n]]).astype(np.int64))
    return bounds


def range_lists(
    model: Any, begin: int, end: int, keep: int, pairs: bool, threads: int
) -> list[npt.NDArray[Any]]:
    """The lists (and pair records) of the entities begin .. end - 1, as the engine gives
    them in consecutive pieces: the pieces' first ids, then the seven arrays of each piece.
    The arrays view the engine's memory, and a flat list of arrays travels without copies
    (several times faster than nested lists)."""
    return _flat(_native.partition_lists(model, begin, end, keep, pairs, threads), LIST_DTYPES)


def range_pairs(model: Any, begin: int, end: int, threads: int) -> list[npt.NDArray[Any]]:
    """The pair records (x, y > x) of the entities begin .. end - 1, without their lists:
    the pieces' first ids, then the four arrays of each piece (pair offsets, partners, dots,
    counts), as `range_lists` gives its pieces."""
    return _flat(_native.partition_pairs(model, begin, end, threads), PAIR_DTYPES)


def _flat(pieces: Sequence[tuple[Any, ...]], dtypes: tuple[type, ...]) -> list[npt.NDArray[Any]]:
    """The pieces' first ids, then each piece's buffers as arrays of `dtypes`."""
    out = [np.asarray([piece[0] for piece in pieces], dtype=np.int64)]
    for piece in pieces:
        out.extend(
            np.frombuffer(memoryview(x), dtype=np.dtype(t))
            for x, t in zip(piece[1:], dtypes, strict=True)
        )
    return out


def install(model: Any, lists: list[npt.NDArray[Any]]) -> None:
    """Installs what `range_lists` gave in `model`."""
    firsts, arrays = lists[0], lists[1:]
    for k, first in enumerate(firsts):
        _native.install_lists(model, int(first), *arrays[7 * k : 7 * k + 7])


def local_ranges(
    indptr: npt.NDArray[np.int64],
    indices: npt.NDArray[np.int32],
    other_indptr: npt.NDArray[np.int64],
    cosine: bool,
    keep: int,
) -> npt.NDArray[np.int64]:
    """Bounds of consecutive ranges whose kept lists, and for Swing the whole lists a range
    holds a slice of at a time while it cuts them, stay within _RANGE_BYTES each, and whose
    updates stay within _RANGE_UPDATES."""
    n = len(indptr) - 1
    lengths, updates = entity_reach(indptr, indices, other_indptr)
    reach = np.clip(updates - lengths, 0, max(n - 1, 0))
    held = np.minimum(reach, keep)
    if not cosine:
        # A Swing range computes its items' whole lists in about 16 slices.
        held = held + reach / 8
    # Ranges of equal cost, at most 1 each, are within both bounds.
    cost = 8.0 * (held + 1.0) / _RANGE_BYTES + updates / _RANGE_UPDATES
    count = int(np.ceil(cost.sum())) if n else 1
    return ranges(cost, max(count, 1))


def compute_truncated(
    model: Any,
    bounds: npt.NDArray[np.int64],
    keep: int,
    threads: int,
    progress: Callable[[int, int], None] | None = None,
) -> None:
    """Computes the lists of the entities range by range, keeps the first `keep` entries of
    each and installs them in `model`, then completes it. No pair records are made: a model
    with cut lists cannot be updated exactly anyway."""
    total = len(bounds) - 1
    for done, (begin, end) in enumerate(pairwise(bounds)):
        if progress is not None:
            progress(done, total)
        lists = range_lists(model, int(begin), int(end), keep, False, threads)
        install(model, lists)
        del lists
    if progress is not None:
        progress(total, total)
    _native.complete_state(model)
