"""build_consumed_unique and the consumed-map conversion."""

import numpy as np
import pytest
import quibrel


@pytest.mark.parametrize(
    "users, items, by_user, by_item",
    [
        ([], [], {}, {}),
        ([0, 0, 1], [5, 5, 7], {0: [5], 1: [7]}, {5: [0], 7: [1]}),
        ([0, 0, 0], [5, 6, 5], {0: [5, 6, 5]}, {5: [0], 6: [0]}),
        ([1, 2, 3], [9], {1: [9]}, {9: [1]}),
        ([-1], [-2], {-1: [-2]}, {-2: [-1]}),
        ([3, 1, 3, 3], [0, 0, 1, 1], {3: [0, 1], 1: [0]}, {0: [3, 1], 1: [3]}),
        ([np.int64(4), 4], [np.int32(2), 3], {4: [2, 3]}, {2: [4], 3: [4]}),
    ],
)
def test_build_consumed_unique(users, items, by_user, by_item):
    got_user, got_item = quibrel.build_consumed_unique(users, items)
    assert got_user == by_user
    assert got_item == by_item
    assert all(type(k) is int for k in got_user)


def test_build_consumed_unique_matches_python_oracle():
    rng = np.random.default_rng(7)
    users = rng.integers(0, 30, 2000).tolist()
    items = rng.integers(0, 50, 2000).tolist()
    expected_user, expected_item = {}, {}
    for u, i in zip(users, items, strict=True):
        for d, k, v in ((expected_user, u, i), (expected_item, i, u)):
            lst = d.setdefault(k, [])
            if not lst or lst[-1] != v:
                lst.append(v)
    assert quibrel.build_consumed_unique(users, items) == (expected_user, expected_item)


@pytest.mark.parametrize(
    "users, items, exc, prefixed",
    [
        ((0,), [0], TypeError,
         "argument 'user_indices': 'tuple' object cannot be converted to 'PyList'"),
        ([0], (0,), TypeError,
         "argument 'item_indices': 'tuple' object cannot be converted to 'PyList'"),
        ([2**31], [0], OverflowError, None),
        ([0], [0, 2**31], OverflowError, None),  # elements beyond the shorter length still convert
        ([0.5], [0], TypeError, "'float' object cannot be interpreted as an integer"),
    ],
)
def test_build_consumed_unique_failures(users, items, exc, prefixed):
    before = (list(users), list(items))
    with pytest.raises(exc) as info:
        quibrel.build_consumed_unique(users, items)
    assert type(info.value) is exc
    if prefixed is not None:
        assert str(info.value) == prefixed
    assert (list(users), list(items)) == before
