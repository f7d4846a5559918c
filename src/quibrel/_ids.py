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

    def __len__(self) -> int:
        return len(self._index)

    @property
    def ids(self) -> npt.NDArray[Any]:
        return self._index.to_numpy()

    @property
    def index(self) -> pd.Index:
        return self._index

    def lookup(self, raw: pd.Index | npt.NDArray[Any]) -> npt.NDArray[np.int64]:
        """Dense ids of raw ids, -1 where unknown."""
        if len(self._index) == 0:
            return np.full(len(raw), -1, dtype=np.int64)
        return np.asarray(self._index.get_indexer(pd.Index(raw)), dtype=np.int64)

    def add(self, raw: pd.Index | npt.NDArray[Any]) -> npt.NDArray[np.int64]:
        """Dense ids of raw ids, giving new ids (in order of first appearance) to unknown ones.

        Returns the dense ids; `restore` with the earlier `index` undoes it.
        """
        codes, uniques = pd.factorize(np.asarray(raw, dtype=object) if _needs_object(raw) else raw)
        if len(self._index) == 0:
            known = np.full(len(uniques), -1, dtype=np.int64)
        else:
            known = self.lookup(pd.Index(uniques))
        new = known < 0
        if new.any():
            if len(self._index) + int(new.sum()) > MAX_ENTITIES:
                raise ValueError(
                    f"too many {self.what}s: at most {MAX_ENTITIES} distinct ids are supported"
                )
            start = len(self._index)
            known[new] = np.arange(start, start + int(new.sum()))
            # Homogeneous ids keep their dtype (int64 stays int64); mixed ones become objects.
            added = pd.Index(np.asarray(uniques)[new], tupleize_cols=False).infer_objects()
            # The same ids get the same dtype however they arrived (int64 for integers held
            # in an object column, say), so answers do not depend on the batching.
            self._index = self._index.append(added).infer_objects() if start else added
        return known[codes]

    def restore(self, index: pd.Index) -> None:
        self._index = index

    def set_ids(self, ids: pd.Index | Sequence[Hashable] | npt.NDArray[Any]) -> None:
        index = pd.Index(ids, tupleize_cols=False)
        if not index.is_unique:
            raise ValueError(f"{self.what} ids are not unique")
        self._index = index


def _needs_object(raw: Any) -> bool:
    # factorize keeps numeric dtypes (fast) and needs object dtype for anything else.
    dtype = getattr(raw, "dtype", None)
    return dtype is None or dtype.kind not in "iubfUS"
