"""How much memory a full fit's state needs, estimated before the fit, and how much there is.

A full cosine state holds a 12-byte record for every co-occurring pair and an 8-byte list
entry for every listed neighbour (each pair twice), and room for a few more of each per entity;
Swing holds only its lists. The number of
distinct pairs is what a fit computes, so it is estimated: each entity's distinct neighbours
are at most the summed lengths of the rows its row meets (less itself), and when that bound
does not fit, a few ranges of entities are computed for real and their share of the bound
scales the bound of the rest.
"""

from __future__ import annotations

import math
import os
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _ranges

PAIR_BYTES = 12
ENTRY_BYTES = 8
# A cosine fit leaves room for eight more entries after each list and pair row, so that an
# exact update grows them where they lie.
ROOM_BYTES = 8 * (ENTRY_BYTES + PAIR_BYTES)

# The sample's lists and pair records stay within this many bytes,
_SAMPLE_BYTES = 128 << 20
# and its entities within this share of them, or this many when that is more (small data is
# cheap to sample and small samples of it are noisy).
_SAMPLE_SHARE = 0.01
_SAMPLE_LEAST = 256
# Ranges of entities the sample is drawn in, one from each stretch of ids.
_SAMPLE_RANGES = 8
# A fit is refused only when its estimate exceeds the memory available by this factor: more
# than the estimate's largest error measured (11%, Swing), so that a state that fits is never
# refused, and little enough that a state far beyond the memory is (the estimate leaves out
# the inputs and the computation's working memory, which need room too).
MARGIN = 1.1


class StateTooLargeError(MemoryError):
    """A full fit's neighbour lists and pair records would not fit in the memory available;
    raised before the fit allocates them. A MemoryError, since that is what the fit would
    otherwise end in (if the system let it): code that handles one handles both."""


@dataclass(frozen=True)
class Estimate:
    bytes: float  # the state's estimated size
    bound: float  # an upper bound of it
    sampled: int  # entities computed for the estimate (0: the bound was used)


def available_bytes() -> int | None:
    """Memory this process can still take: the least of the system's available memory and
    what its control group's limit leaves; None where neither can be read."""
    figures = []
    system = _meminfo_available()
    if system is None:
        try:
            system = os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
        except (AttributeError, ValueError, OSError):
            system = None
    if system is not None:
        figures.append(system)
    group = _cgroup_room()
    if group is not None:
        figures.append(group)
    return min(figures) if figures else None


def _meminfo_available() -> int | None:
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    return None


def _read_number(path: str) -> int | None:
    try:
        with open(path) as f:
            text = f.read().strip()
        return None if text == "max" else int(text)
    except (OSError, ValueError):
        return None


def _cgroup_room(membership: str = "/proc/self/cgroup", root: str = "/sys/fs/cgroup") -> int | None:
    """The limit of this process's control group less its usage, if a limit is set."""
    try:
        with open(membership) as f:
            lines = f.read().splitlines()
    except OSError:
        return None
    for line in lines:
        parts = line.split(":", 2)
        if len(parts) != 3:
            continue
        controllers, path = parts[1], parts[2].lstrip("/")
        if controllers == "":  # the unified hierarchy
            base = os.path.join(root, path)
            limit = _read_number(os.path.join(base, "memory.max"))
            usage = _read_number(os.path.join(base, "memory.current"))
        elif "memory" in controllers.split(","):
            base = os.path.join(root, "memory", path)
            limit = _read_number(os.path.join(base, "memory.limit_in_bytes"))
            usage = _read_number(os.path.join(base, "memory.usage_in_bytes"))
        else:
            continue
        # Version 1 reports no limit as a number near 2**63.
        if limit is not None and usage is not None and limit < 1 << 60:
            return max(limit - usage, 0)
    return None


def estimate_state(
    model: Callable[[], Any],
    forward: Any,
    other: Any,
    cosine: bool,
    threads: int,
    room: float,
) -> Estimate:
    """The state a full fit of the engine model `model()` would hold: the upper bound when it
    is within `room` bytes, else a sampled estimate (only then is `model` called). `forward`
    holds the rows of the entities the lists are for, `other` the other orientation."""
    n = len(forward.sparse_indptr) - 1
    lengths, updates = _ranges.entity_reach(
        forward.sparse_indptr, forward.sparse_indices, other.sparse_indptr
    )
    listed = np.clip(updates - lengths, 0, max(n - 1, 0))
    # Pair records x < y: at most the partners above x.
    above = np.minimum(listed, n - 1 - np.arange(n, dtype=np.float64))
    if not cosine:
        above[:] = 0
    room_bytes = ROOM_BYTES * float(np.count_nonzero(listed)) if cosine else 0.0
    bound = ENTRY_BYTES * float(listed.sum()) + PAIR_BYTES * float(above.sum()) + room_bytes
    if bound <= room or n == 0:
        return Estimate(bound, bound, 0)
    entry_bytes = ENTRY_BYTES + (PAIR_BYTES if cosine else 0)
    bounds = _sample_ranges(listed, entry_bytes)
    engine = model()
    got_listed = got_above = 0
    bound_listed = bound_above = 0.0
    for begin, end in bounds:
        pieces = _ranges.range_lists(engine, begin, end, 0, cosine, threads)
        for k in range(len(pieces[0])):
            offsets, pair_offsets = pieces[1 + 7 * k], pieces[4 + 7 * k]
            got_listed += int(offsets[-1])
            if cosine:
                got_above += int(pair_offsets[-1])
        del pieces
        bound_listed += float(listed[begin:end].sum())
        bound_above += float(above[begin:end].sum())
    # Each kind of entry by its sampled share of its bound.
    total = ENTRY_BYTES * float(listed.sum()) * _share(got_listed, bound_listed) + room_bytes
    if cosine:
        total += PAIR_BYTES * float(above.sum()) * _share(got_above, bound_above)
    sampled = sum(end - begin for begin, end in bounds)
    return Estimate(total, bound, sampled)


def _share(got: int, bound: float) -> float:
    # A sample whose entities can have no neighbours tells nothing: the bound stands.
    return 1.0 if bound <= 0 else min(got / bound, 1.0)


def _sample_ranges(listed: npt.NDArray[np.float64], entry_bytes: int) -> list[tuple[int, int]]:
    """Ranges of entities to compute, one at a seeded place in each of _SAMPLE_RANGES equal
    stretches of ids, as long as the sample's bounded output and expected work allow."""
    n = len(listed)
    per_entity_bytes = entry_bytes * float(listed.mean()) + 1.0
    by_bytes = _SAMPLE_BYTES / per_entity_bytes
    by_work = max(_SAMPLE_SHARE * n, _SAMPLE_LEAST)
    size = int(max(min(by_bytes, by_work), _SAMPLE_RANGES))
    stretches = min(_SAMPLE_RANGES, n)
    length = max(1, min(math.ceil(size / stretches), n // stretches))
    rng = np.random.default_rng(n)
    out = []
    for s in range(stretches):
        lo, hi = s * n // stretches, (s + 1) * n // stretches
        begin = lo + int(rng.integers(0, max(hi - lo - length, 0) + 1))
        out.append((begin, min(begin + length, hi)))
    return out


def check_room(
    estimate: Estimate, room: int, name: str, cosine: bool, suggest_dask: bool = True
) -> None:
    """Raises StateTooLargeError when the estimated state exceeds `room` by more than the
    margin."""
    if estimate.bytes <= MARGIN * room:
        return
    what = "neighbour lists and pair records" if cosine else "lists"
    dask = "fit on a cluster with quibrel.dask, " if suggest_dask else ""
    raise StateTooLargeError(
        f"a full fit of this {name} needs about {_size(estimate.bytes)} for its {what}, but "
        f"only {_size(room)} of memory is available: fit with keep=k to hold only the first "
        "k entries of each list (recommend answers the same for k_sim or top_k up to k), "
        f"{dask}or pass check_memory=False to try anyway"
    )


def _size(n: float) -> str:
    for unit in ("bytes", "KiB", "MiB", "GiB", "TiB"):
        if n < 1024 or unit == "TiB":
            return f"{n:.0f} {unit}" if unit == "bytes" else f"{n:.1f} {unit}"
        n /= 1024
    raise AssertionError  # not reached
