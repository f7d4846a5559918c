"""The library layer's private calls into the engine (same shared object as the engine)."""

from collections.abc import Callable
from typing import Any, TypeAlias

import numpy as np
import numpy.typing as npt
from typing_extensions import Buffer

_Ids: TypeAlias = npt.NDArray[np.int32] | list[int]
_Flat: TypeAlias = tuple[bytes, bytes, bytes]

def call(
    function: Callable[..., Any],
    args: tuple[Any, ...],
    max_workers: int,
    quiet: bool,
    progress: Callable[[int, int], object] | None,
    /,
) -> Any: ...
def neighbours(model: object, entities: _Ids, n: int, /) -> _Flat: ...
def recommend(
    model: object, users: _Ids, n_rec: int, filter_consumed: bool, random_rec: bool, /
) -> _Flat: ...
def user_rows(model: object, users: _Ids, /) -> _Flat: ...
def set_consumed(
    model: object,
    users: _Ids,
    offsets: npt.NDArray[np.uint64],
    items: npt.NDArray[np.int32],
    /,
) -> None: ...
def pool_size() -> int: ...
def exact_update(
    model: object, user_interactions: Any, item_interactions: Any, route: str = "auto", /
) -> str: ...
def entity_lists(model: object, entities: _Ids, /) -> _Flat: ...
def partition_lists(
    model: object, begin: int, end: int, keep: int, pairs: bool, max_workers: int, /
) -> list[tuple[int, Buffer, Buffer, Buffer, Buffer, Buffer, Buffer, Buffer]]: ...
def install_lists(
    model: object,
    first: int,
    offsets: npt.NDArray[np.uint64],
    ids: npt.NDArray[np.int32],
    scores: npt.NDArray[np.float32],
    pair_offsets: npt.NDArray[np.uint64],
    pair_ids: npt.NDArray[np.int32],
    pair_dots: npt.NDArray[np.float32],
    pair_counts: npt.NDArray[np.uint32],
    /,
) -> None: ...
def complete_state(model: object, /) -> None: ...
def partition_pairs(
    model: object, begin: int, end: int, max_workers: int, /
) -> list[tuple[int, Buffer, Buffer, Buffer, Buffer]]: ...
def install_pairs(
    model: object,
    first: int,
    pair_offsets: npt.NDArray[np.uint64],
    pair_ids: npt.NDArray[np.int32],
    pair_dots: npt.NDArray[np.float32],
    pair_counts: npt.NDArray[np.uint32],
    /,
) -> None: ...
def complete_from_pairs(model: object, max_workers: int, /) -> None: ...
def write_engine(model: object, fd: int, /) -> tuple[int, int]: ...
def read_engine(kind: str, fd: int, offset: int, length: int, /) -> tuple[Any, int, int, int]: ...
