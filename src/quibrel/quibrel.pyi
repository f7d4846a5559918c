"""Type information for the quibrel extension module.

The runtime module is a compiled extension; this stub-only package (PEP 561) describes its
Python surface for type checkers. Names decorated with ``@type_check_only`` exist only here:
import them under ``if TYPE_CHECKING:`` to annotate your own code.
"""

from collections.abc import Iterator
from typing import (
    Any,
    Final,
    NoReturn,
    Protocol,
    Self,
    SupportsFloat,
    SupportsIndex,
    TypeAlias,
    TypeVar,
    final,
    type_check_only,
)

import numpy as _np

__all__ = [
    "UserCF",
    "ItemCF",
    "Swing",
    "save_user_cf",
    "load_user_cf",
    "save_item_cf",
    "load_item_cf",
    "save_swing",
    "load_swing",
    "build_consumed_unique",
    "__version__",
]

__version__: Final[str]

@type_check_only
class IndexSequence(Protocol):
    """A sequence of integers: a list, a tuple, a numpy integer array and the like.

    The module checks that the object is a sequence (not a ``str``) and iterates it; every
    element must be an ``int`` or have ``__index__`` (numpy integers do).
    """

    def __getitem__(self, index: int, /) -> Any: ...
    def __iter__(self) -> Iterator[SupportsIndex]: ...

@type_check_only
class FloatSequence(Protocol):
    """A sequence of numbers: a list, a tuple, a numpy float array and the like.

    Every element goes through Python's float conversion and is rounded to a 32-bit float.
    """

    def __getitem__(self, index: int, /) -> Any: ...
    def __iter__(self) -> Iterator[SupportsFloat | SupportsIndex]: ...

@type_check_only
class InteractionMatrix(Protocol):
    """A compressed-sparse-row matrix in the form the models read.

    Any object with these three attributes qualifies, for example a small class that holds
    the ``indices``, ``indptr`` and ``data`` arrays of a ``scipy.sparse.csr_matrix`` whose
    indices are sorted.
    """

    @property
    def sparse_indices(self) -> IndexSequence: ...
    @property
    def sparse_indptr(self) -> IndexSequence: ...
    @property
    def sparse_data(self) -> FloatSequence: ...

# Type variables let callers pass dict[int, list[int]], list[numpy.int64] and the like:
# dict and list are invariant, so a fixed element type would refuse them.
_Id = TypeVar("_Id", bound=SupportsIndex)
_UserId = TypeVar("_UserId", bound=SupportsIndex)
_ItemId = TypeVar("_ItemId", bound=SupportsIndex)
_ConsumedItems = TypeVar("_ConsumedItems", bound=IndexSequence)

_Float: TypeAlias = SupportsFloat | SupportsIndex

# Flags take a Python bool or a numpy boolean scalar (nothing else, not even 0 or 1).
# Without numpy installed the checker reads the second member as Any.
_Flag: TypeAlias = bool | _np.bool_

@final
class ItemCF:
    """Item-based collaborative filtering with cosine similarity between items."""

    def __new__(
        cls,
        task: str,
        k_sim: SupportsIndex,
        n_users: SupportsIndex,
        n_items: SupportsIndex,
        min_common: SupportsIndex,
        user_interactions: InteractionMatrix,
        item_interactions: InteractionMatrix,
        user_consumed: dict[_Id, _ConsumedItems],
        default_pred: _Float,
    ) -> Self: ...

    # Write-only attributes: assignment works, reading raises AttributeError.
    @property
    def n_users(self) -> NoReturn: ...
    @n_users.setter
    def n_users(self, value: SupportsIndex) -> None: ...
    @property
    def n_items(self) -> NoReturn: ...
    @n_items.setter
    def n_items(self, value: SupportsIndex) -> None: ...
    @property
    def user_consumed(self) -> NoReturn: ...
    @user_consumed.setter
    def user_consumed(self, value: dict[_Id, _ConsumedItems]) -> None: ...
    def compute_similarities(self, invert: _Flag, num_threads: SupportsIndex) -> None: ...
    def num_sim_elements(self) -> int: ...
    def predict(self, users: list[_UserId], items: list[_ItemId]) -> list[float]: ...
    def recommend(
        self, users: list[_UserId], n_rec: SupportsIndex, filter_consumed: _Flag, random_rec: _Flag
    ) -> tuple[list[list[int]], list[int]]: ...
    def update_similarities(
        self, user_interactions: InteractionMatrix, item_interactions: InteractionMatrix
    ) -> None: ...

@final
class UserCF:
    """User-based collaborative filtering with cosine similarity between users."""

    def __new__(
        cls,
        task: str,
        k_sim: SupportsIndex,
        n_users: SupportsIndex,
        n_items: SupportsIndex,
        min_common: SupportsIndex,
        user_interactions: InteractionMatrix,
        item_interactions: InteractionMatrix,
        user_consumed: dict[_Id, _ConsumedItems],
        default_pred: _Float,
    ) -> Self: ...

    # Write-only attributes: assignment works, reading raises AttributeError.
    @property
    def n_users(self) -> NoReturn: ...
    @n_users.setter
    def n_users(self, value: SupportsIndex) -> None: ...
    @property
    def n_items(self) -> NoReturn: ...
    @n_items.setter
    def n_items(self, value: SupportsIndex) -> None: ...
    @property
    def user_consumed(self) -> NoReturn: ...
    @user_consumed.setter
    def user_consumed(self, value: dict[_Id, _ConsumedItems]) -> None: ...
    def compute_similarities(self, invert: _Flag, num_threads: SupportsIndex) -> None: ...
    def num_sim_elements(self) -> int: ...
    def predict(self, users: list[_UserId], items: list[_ItemId]) -> list[float]: ...
    def recommend(
        self, users: list[_UserId], n_rec: SupportsIndex, filter_consumed: _Flag, random_rec: _Flag
    ) -> tuple[list[list[int]], list[int]]: ...
    def update_similarities(
        self, user_interactions: InteractionMatrix, item_interactions: InteractionMatrix
    ) -> None: ...

@final
class Swing:
    """Item-to-item Swing scores over the user-item graph."""

    def __new__(
        cls,
        top_k: SupportsIndex,
        alpha: _Float,
        max_cache_num: SupportsIndex,
        n_users: SupportsIndex,
        n_items: SupportsIndex,
        user_interactions: InteractionMatrix,
        item_interactions: InteractionMatrix,
        user_consumed: dict[_Id, _ConsumedItems],
        default_pred: _Float,
    ) -> Self: ...

    # Write-only attributes: assignment works, reading raises AttributeError.
    @property
    def n_users(self) -> NoReturn: ...
    @n_users.setter
    def n_users(self, value: SupportsIndex) -> None: ...
    @property
    def n_items(self) -> NoReturn: ...
    @n_items.setter
    def n_items(self, value: SupportsIndex) -> None: ...
    @property
    def user_consumed(self) -> NoReturn: ...
    @user_consumed.setter
    def user_consumed(self, value: dict[_Id, _ConsumedItems]) -> None: ...
    def compute_swing(self, num_threads: SupportsIndex) -> None: ...
    def update_swing(
        self,
        num_threads: SupportsIndex,
        user_interactions: InteractionMatrix,
        item_interactions: InteractionMatrix,
    ) -> None: ...
    def num_swing_elements(self) -> int: ...
    def predict(self, users: list[_UserId], items: list[_ItemId]) -> list[float]: ...
    def recommend(
        self, users: list[_UserId], n_rec: SupportsIndex, filter_consumed: _Flag, random_rec: _Flag
    ) -> tuple[list[list[int]], list[int]]: ...

def save_item_cf(model: ItemCF, path: str, model_name: str) -> None: ...
def load_item_cf(path: str, model_name: str) -> ItemCF: ...
def save_user_cf(model: UserCF, path: str, model_name: str) -> None: ...
def load_user_cf(path: str, model_name: str) -> UserCF: ...
def save_swing(model: Swing, path: str, model_name: str) -> None: ...
def load_swing(path: str, model_name: str) -> Swing: ...
def build_consumed_unique(
    user_indices: list[_UserId], item_indices: list[_ItemId]
) -> tuple[dict[int, list[int]], dict[int, list[int]]]: ...
