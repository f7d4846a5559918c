"""Raw ids to dense ids and back."""

from __future__ import annotations

from collections.abc import Hashable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd

# Dense ids are 32-bit in the engine, and one more than the largest is its "unknown" id.
MAX_ENTITIES = 2**31 - 2


class IdMap:
    """Raw ids in dense-id order; new ids are appended, so dense ids never change.

    Lookups go through a pandas hash index, so raw ids may be of any hashable type. Ids that
    compare equal (1, 1.0 and True; numpy and Python integers) are the same id.
    """

    def __init__(self, what: str) -> None:
        self.what = what
        self._index: pd.Index = pd.Index([], dtype=object)
        self._objects: pd.Index | None = None  # the index as objects, made on first need

    def __len__(self) -> int:
        return len(self._index)

    def __getstate__(self) -> dict[str, Any]:
        return {"what": self.what, "_index": self._index}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.what = state["what"]
        self._set(state["_index"])

    @property
    def ids(self) -> npt.NDArray[Any]:
        return self._index.to_numpy()

    @property
    def index(self) -> pd.Index:
        return self._index

    def positional(self) -> bool:
        """Whether every raw id is its own dense id: the ids are the integers 0, 1, 2, ..."""
        index = self._index
        if index.dtype != np.int64:
            return False
        return bool(np.array_equal(index.to_numpy(), np.arange(len(index), dtype=np.int64)))

    def lookup(self, raw: pd.Index | npt.NDArray[Any]) -> npt.NDArray[np.int64]:
        """Dense ids of raw ids, -1 where unknown."""
        index = self._index
        if len(index) == 0:
            return np.full(len(raw), -1, dtype=np.int64)
        target = exact_index(raw)
        if not _natively_comparable(index.dtype, target.dtype):
            # pandas never matches booleans with numbers (an index of False does not find 0)
            # and compares large integers with floats after rounding them; objects compare
            # as Python compares them, which is what ids promise.
            objects = self._objects
            if objects is None:
                objects = self._objects = index.astype(object)
            index, target = objects, target.astype(object)
        return np.asarray(index.get_indexer(target), dtype=np.int64)

    def add(self, raw: pd.Index | npt.NDArray[Any]) -> npt.NDArray[np.int64]:
        """Dense ids of raw ids, giving new ids (in order of first appearance) to unknown ones.

        Returns the dense ids; `restore` with the earlier `index` undoes it.
        """
        codes, uniques = pd.factorize(_factorizable(raw))
        uniques = np.asarray(uniques)
        if len(self._index) == 0:
            known = np.full(len(uniques), -1, dtype=np.int64)
        else:
            known = self.lookup(uniques)
        new = known < 0
        if new.any():
            if len(self._index) + int(new.sum()) > MAX_ENTITIES:
                raise ValueError(
                    f"too many {self.what}s: at most {MAX_ENTITIES} distinct ids are supported"
                )
            start = len(self._index)
            known[new] = np.arange(start, start + int(new.sum()))
            # Homogeneous ids keep their dtype (int64 stays int64); mixed ones become objects.
            added = exact_index(uniques[new])
            self._set(_joined(self._index, added) if start else added)
        return known[codes]

    def restore(self, index: pd.Index) -> None:
        """Puts back an earlier `index` (undoing `add`)."""
        self._set(index)

    def set_ids(self, ids: pd.Index | Sequence[Hashable] | npt.NDArray[Any]) -> None:
        index = exact_index(ids)
        if not index.is_unique:
            raise ValueError(f"{self.what} ids are not unique")
        self._set(index)

    def _set(self, index: pd.Index) -> None:
        self._index = index
        self._objects = None


def exact_index(values: Any) -> pd.Index:
    """An index of the ids: the dtype pandas infers when it keeps every id as it is (int64 for
    integers, str for text), objects otherwise (pandas would make 2**63 - 1 and 0.5 two
    floats, and a list of tuples a MultiIndex)."""
    dtype = getattr(values, "dtype", None)
    if dtype is not None and not (isinstance(dtype, np.dtype) and dtype.kind == "O"):
        return values if isinstance(values, pd.Index) else pd.Index(values, tupleize_cols=False)
    objects = pd.Index(values, dtype=object, tupleize_cols=False)
    plain = _plain(objects.to_numpy())
    if plain is not None:
        objects = pd.Index(plain, dtype=object, tupleize_cols=False)
    inferred = objects.infer_objects()
    if isinstance(inferred.dtype, np.dtype) and inferred.dtype.kind in "fc":
        # Only integers can change on the way to floats. Compared as Python ints: numpy
        # compares np.uint64(2**64 - 1) with 2.0**64 after rounding and finds them equal.
        for f, v in zip(inferred, objects, strict=True):
            if isinstance(v, int | np.integer) and int(v) != f:
                return objects
    return inferred


def _natively_comparable(a: Any, b: Any) -> bool:
    """Whether pandas matches ids of these two dtypes as Python's == would."""
    if a == b:
        return True
    if not (isinstance(a, np.dtype) and isinstance(b, np.dtype)):
        return False
    # Signed integers of any width, or floats of any width; nothing across kinds.
    return a.kind == b.kind and a.kind in "if"


def _joined(old: pd.Index, added: pd.Index) -> pd.Index:
    """old followed by added, every id unchanged: pandas would join int64 ids with float64 or
    uint64 ones as float64, rounding large integers, and re-infer a dtype for objects."""
    if _natively_comparable(old.dtype, added.dtype):
        joined: pd.Index = old.append(added)
        if joined.dtype == old.dtype or joined.dtype == added.dtype:
            return joined
    objects: pd.Index = pd.Index(
        np.concatenate([old.to_numpy(dtype=object), added.to_numpy(dtype=object)]), dtype=object
    )
    return objects


def _factorizable(raw: Any) -> Any:
    # factorize keeps numeric dtypes (fast) and needs object dtype for anything else.
    dtype = getattr(raw, "dtype", None)
    if dtype is not None and dtype.kind in "iubfUS":
        return raw
    if dtype is not None and dtype.kind in "mM":
        # Through an Index: numpy casts nanosecond datetimes to plain ints, pandas to
        # Timestamps, which are what lookups compare against.
        return pd.Index(raw).to_numpy(dtype=object)
    objects = np.asarray(raw, dtype=object)
    plain = _plain(objects)
    return objects if plain is None else plain


def _plain(objects: npt.NDArray[Any]) -> npt.NDArray[Any] | None:
    """A copy with numpy datetime64 and timedelta64 scalars as pandas Timestamps and
    Timedeltas, or None when there are none.

    numpy hashes a datetime64 with nanoseconds unlike the equal Timestamp, so the two would
    become two ids. Only mixed columns can hold them: pandas converts homogeneous ones itself.
    """
    if not pd.api.types.infer_dtype(objects, skipna=False).startswith("mixed"):
        return None
    found = [k for k, v in enumerate(objects) if isinstance(v, np.datetime64 | np.timedelta64)]
    if not found:
        return None
    out = objects.copy()
    for k in found:
        v = out[k]
        out[k] = pd.Timestamp(v) if isinstance(v, np.datetime64) else pd.Timedelta(v)
    return out
