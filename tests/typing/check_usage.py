"""Typed use of the whole quibrel API.

``mypy --strict`` checks this file against the stub package shipped in the wheel, and
running it with Python checks that the calls the stubs accept also work at runtime.

Every call in ``_refused_by_the_checker`` must be refused by the type checker: each carries a
``type: ignore[code]`` comment, and ``--strict`` (through ``warn_unused_ignores``) reports an
ignore that is not needed, so a stub that grew too permissive fails the check. That function
is never called.
"""

from __future__ import annotations

import pathlib
import tempfile
from dataclasses import dataclass
from typing import TYPE_CHECKING, assert_type

import numpy as np
import numpy.typing as npt
import quibrel

if TYPE_CHECKING:
    from quibrel import InteractionMatrix


@dataclass(frozen=True)
class ListMatrix:
    """An interaction matrix held in plain lists."""

    sparse_indices: list[int]
    sparse_indptr: list[int]
    sparse_data: list[float]


class ArrayMatrix:
    """An interaction matrix held in numpy arrays, the usual form."""

    def __init__(
        self,
        indices: npt.NDArray[np.int32],
        indptr: npt.NDArray[np.int64],
        data: npt.NDArray[np.float32],
    ) -> None:
        self.sparse_indices = indices
        self.sparse_indptr = indptr
        self.sparse_data = data


def csr_from_pairs(
    rows: list[int], cols: list[int], values: list[float], n_rows: int
) -> ListMatrix:
    """CSR lists with ascending columns in every row."""
    per_row: list[list[tuple[int, float]]] = [[] for _ in range(n_rows)]
    for r, c, v in zip(rows, cols, values, strict=True):
        per_row[r].append((c, v))
    indices: list[int] = []
    indptr = [0]
    data: list[float] = []
    for entries in per_row:
        for c, v in sorted(entries):
            indices.append(c)
            data.append(v)
        indptr.append(len(indices))
    return ListMatrix(indices, indptr, data)


def as_arrays(m: ListMatrix) -> ArrayMatrix:
    return ArrayMatrix(
        np.asarray(m.sparse_indices, dtype=np.int32),
        np.asarray(m.sparse_indptr, dtype=np.int64),
        np.asarray(m.sparse_data, dtype=np.float32),
    )


def both(
    users: list[int], items: list[int], values: list[float], n_users: int, n_items: int
) -> tuple[InteractionMatrix, InteractionMatrix]:
    """(user_interactions, item_interactions): one matrix as lists, one as arrays."""
    by_user = csr_from_pairs(users, items, values, n_users)
    by_item = as_arrays(csr_from_pairs(items, users, values, n_items))
    return by_user, by_item


def main() -> None:
    assert_type(quibrel.__version__, str)

    users = [0, 0, 1, 1, 2, 2, 3, 3]
    items = [0, 1, 1, 2, 0, 2, 1, 2]
    values = [1.0, 2.0, 1.0, 1.0, 3.0, 1.0, 1.0, 2.0]
    n_users, n_items = 4, 3

    user_consumed, item_users = quibrel.build_consumed_unique(users, items)
    assert_type(user_consumed, dict[int, list[int]])
    assert_type(item_users, dict[int, list[int]])
    assert user_consumed[0] == [0, 1]
    assert item_users[1] == [0, 1, 3]

    # numpy integers are accepted wherever an id or a count is expected.
    numpy_ids = [np.int64(u) for u in users]
    assert quibrel.build_consumed_unique(numpy_ids, items)[0] == user_consumed

    user_m, item_m = both(users, items, values, n_users, n_items)

    item_cf = quibrel.ItemCF(
        "ranking", 10, n_users, n_items, 1, user_m, item_m, user_consumed, 0.0
    )
    assert_type(item_cf, quibrel.ItemCF)
    item_cf.compute_similarities(False, 2)
    assert_type(item_cf.num_sim_elements(), int)
    assert item_cf.num_sim_elements() > 0
    scores = item_cf.predict([0, 2, n_users], [2, 1, 0])
    assert_type(scores, list[float])
    assert len(scores) == 3 and scores[2] == 0.0
    recs, no_rec = item_cf.recommend([0, 1, 2], 2, True, False)
    assert_type(recs, list[list[int]])
    assert_type(no_rec, list[int])
    assert len(recs) == 3

    # Growing the model: larger counts and consumed lists first, then the new interactions.
    new_user_m, new_item_m = both([4], [3], [1.0], n_users + 1, n_items + 1)
    item_cf.n_users = n_users + 1
    item_cf.n_items = np.uint64(n_items + 1)
    item_cf.user_consumed = {np.int32(u): np.array(i) for u, i in user_consumed.items()}
    item_cf.update_similarities(new_user_m, new_item_m)

    user_cf = quibrel.UserCF(
        "rating", 5, n_users, n_items, 1, user_m, item_m, user_consumed, np.float32(2.5)
    )
    user_cf.compute_similarities(invert=True, num_threads=1)
    assert_type(user_cf.num_sim_elements(), int)
    assert user_cf.predict([0], [2]) == user_cf.predict(users=[0], items=[2])
    recs, no_rec = user_cf.recommend([0, -1], 3, np.True_, False)
    assert no_rec == [1]
    user_cf.user_consumed = {0: (1, 2)}

    swing = quibrel.Swing(
        20, 1.0, 1000, np.int64(n_users), n_items, user_m, item_m, user_consumed, 0
    )
    swing.compute_swing(2)
    assert_type(swing.num_swing_elements(), int)
    assert swing.num_swing_elements() > 0  # users 1 and 3 share items 1 and 2
    swing_recs, shortfall = swing.recommend([0, 1], 2, False, False)
    assert_type(shortfall, list[int])
    assert len(swing_recs) == len(shortfall) == 2
    assert_type(swing.predict([0], [2]), list[float])
    swing.update_swing(2, *both([1], [0], [1.0], n_users, n_items))

    with tempfile.TemporaryDirectory() as tmp:
        quibrel.save_item_cf(item_cf, tmp, "item_cf")
        quibrel.save_user_cf(user_cf, tmp, "user_cf")
        quibrel.save_swing(swing, tmp, "swing")
        assert (pathlib.Path(tmp) / "swing.gz").is_file()
        loaded_item: quibrel.ItemCF = quibrel.load_item_cf(tmp, "item_cf")
        loaded_user: quibrel.UserCF = quibrel.load_user_cf(tmp, "user_cf")
        loaded_swing: quibrel.Swing = quibrel.load_swing(tmp, "swing")
        # ItemCF and UserCF files share one layout.
        as_user: quibrel.UserCF = quibrel.load_user_cf(tmp, "item_cf")
    assert loaded_item.predict([0], [2]) == item_cf.predict([0], [2])
    assert loaded_user.predict([0], [2]) == user_cf.predict([0], [2])
    assert loaded_swing.num_swing_elements() == swing.num_swing_elements()
    assert as_user.num_sim_elements() == item_cf.num_sim_elements()


def _refused_by_the_checker(
    item_cf: quibrel.ItemCF, user_cf: quibrel.UserCF, m: InteractionMatrix
) -> None:
    """Calls that fail at runtime and that the stubs must refuse. Never called."""
    item_cf.predict((0,), [1])  # type: ignore[arg-type]
    item_cf.predict([0], ["1"])  # type: ignore[type-var]
    item_cf.recommend([0], 10, 1, False)  # type: ignore[arg-type]
    item_cf.compute_similarities(False, 2.0)  # type: ignore[arg-type]
    item_cf.n_users = 2.5  # type: ignore[assignment]
    item_cf.user_consumed = [0, 1]  # type: ignore[assignment, arg-type]
    item_cf.user_consumed = {0: "12"}  # type: ignore[type-var]
    item_cf.update_similarities(m)  # type: ignore[call-arg]
    quibrel.ItemCF(  # type: ignore[call-arg]
        "ranking", 10, 1, 1, 1, m, m, {}
    )
    quibrel.ItemCF("ranking", 10, 1, 1, 1, m, m, {}, "0")  # type: ignore[arg-type]
    quibrel.ItemCF("ranking", 10, 1, 1, 1, object(), m, {}, 0.0)  # type: ignore[arg-type]
    quibrel.UserCF(5, 10, 1, 1, 1, m, m, {}, 0.0)  # type: ignore[arg-type]
    quibrel.Swing(10, 1.0, 100, 1, 1, m, m, {}, 0.0).compute_similarities(  # type: ignore[attr-defined]
        False, 1
    )
    quibrel.save_item_cf(user_cf, ".", "m")  # type: ignore[arg-type]
    quibrel.load_item_cf(pathlib.Path("."), "m")  # type: ignore[arg-type]
    quibrel.build_consumed_unique((0,), [1])  # type: ignore[arg-type]
    quibrel.build_consumed_unique(np.array([0]), [1])  # type: ignore[arg-type]
    quibrel.ItemCF("ranking", 1, 1, 1, 1, BadMatrix(), m, {}, 0.0)  # type: ignore[arg-type]


class BadMatrix:
    """Refused: indices held in a str."""

    sparse_indices = "012"
    sparse_indptr = (0, 3)
    sparse_data = (1.0, 1.0, 1.0)


if __name__ == "__main__":
    main()
    print("typed usage ran")
