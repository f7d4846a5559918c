"""The consumed-map conversion (constructors and the user_consumed setter) and
build_consumed_unique on hostile keys, values and lists, including caller objects whose
conversion hooks change the dict being read or raise their own errors."""

from __future__ import annotations

import os

import numpy as np
import quibrel
import support
from hypothesis import given
from hypothesis import strategies as st
from support import Matrix, call


class OwnError(Exception):
    """Raised by a caller's hook; it must come out unchanged."""


class Hook:
    """An integer-like key or element whose __index__ runs caller code."""

    def __init__(self, value, action, target):
        self.value, self.action, self.target = value, action, target

    def __index__(self):
        if self.action == "grow":
            self.target[len(self.target) + 10**6] = [1]
        elif self.action == "shrink" and self.target:
            self.target.pop(next(iter(self.target)))
        elif self.action == "swap" and self.target:
            k = next(iter(self.target))
            v = self.target.pop(k)
            self.target[10**7 + len(self.target)] = v
        elif self.action == "raise":
            raise OwnError("from __index__")
        return self.value

    def __hash__(self):
        return hash(("hook", self.value))

    def __eq__(self, other):
        return self is other


class Seq:
    """A sequence whose length and iteration the caller controls."""

    def __init__(self, items, length, fail):
        self.items, self.length, self.fail = items, length, fail

    def __len__(self):
        if self.length == "raise":
            raise OwnError("from __len__")
        return self.length

    def __getitem__(self, k):
        return self.items[k]

    def __iter__(self):
        for n, x in enumerate(self.items):
            if self.fail and n == len(self.items) - 1:
                raise OwnError("from __iter__")
            yield x


# Lengths a sequence may claim. Reserving room for 2**31 or 2**40 elements fails as
# MemoryError in a normal build; the sanitizer's allocator aborts instead of throwing, so
# there only the lengths that fail before allocating (or fit) are used.
LENGTHS = [0, 3, 2**62, "raise"] + ([] if os.environ.get("QUIBREL_SANITIZED") else [2**31, 2**40])

ELEMENT = st.one_of(
    st.integers(-3, 20),
    st.sampled_from([2**31 - 1, -(2**31), 2**31, -(2**31) - 1, 2**64, True, False]),
    st.sampled_from([1.5, "7", None, b"\x01"]),
    st.builds(np.int64, st.integers(-5, 5)),
)


@st.composite
def value(draw, target):
    shape = draw(
        st.sampled_from(["list", "tuple", "array", "bytes", "str", "seq", "none", "range", "hook"])
    )
    items = draw(st.lists(ELEMENT, max_size=5))
    if shape == "list":
        return items
    if shape == "tuple":
        return tuple(items)
    if shape == "array":
        dtype = draw(st.sampled_from([np.int32, np.int64, np.uint8, np.float64]))
        return np.array([x for x in items if isinstance(x, int) and 0 <= x < 256], dtype=dtype)
    if shape == "bytes":
        return bytes(draw(st.lists(st.integers(0, 255), max_size=5)))
    if shape == "str":
        return "123"
    if shape == "seq":
        length = draw(st.sampled_from(LENGTHS))
        return Seq([x for x in items if isinstance(x, int)], length, draw(st.booleans()))
    if shape == "none":
        return None
    if shape == "range":
        return range(draw(st.integers(-3, 3)), draw(st.integers(0, 6)))
    return [Hook(3, draw(st.sampled_from(["grow", "shrink", "swap", "raise", "none"])), target)]


@st.composite
def consumed_dict(draw):
    d: dict = {}
    for _ in range(draw(st.integers(0, 5))):
        kind = draw(st.sampled_from(["int", "int", "edge", "hook", "bool", "npint", "float"]))
        if kind == "int":
            key = draw(st.integers(-3, 20))
        elif kind == "edge":
            key = draw(st.sampled_from([2**31 - 1, -(2**31), 2**31, 2**63]))
        elif kind == "hook":
            key = Hook(
                draw(st.integers(0, 5)),
                draw(st.sampled_from(["grow", "shrink", "swap", "raise", "none"])),
                d,
            )
        elif kind == "bool":
            key = draw(st.booleans())
        elif kind == "npint":
            key = np.int32(draw(st.integers(-3, 3)))
        else:
            key = 1.5
        d[key] = draw(value(d))
    return d


def tiny(kind):
    u = Matrix([0], [0, 1], [1.0])
    if kind == "swing":
        return quibrel.Swing(3, 1.0, 10, 1, 1, u, u, {}, 0.0)
    cls = quibrel.ItemCF if kind == "item" else quibrel.UserCF
    return cls("ranking", 3, 1, 1, 1, u, u, {}, 0.0)


# A caller's own exception passes through unchanged.
for _target in ("consumed", "build_consumed_unique"):
    support.ALLOWED[_target] = support.ALLOWED.get(_target, ()) + (OwnError,)


@support.fuzz_settings(200)
@given(st.sampled_from(["item", "user", "swing"]), consumed_dict(), st.booleans())
def test_fuzz_consumed_map(kind, d, through_setter):
    key = f"{kind}:{d!r}"
    u = Matrix([0], [0, 1], [1.0])
    if through_setter:
        model = tiny(kind)

        def assign():
            model.user_consumed = d

        call("consumed", key, assign)
    else:
        if kind == "swing":
            model = call("consumed", key, quibrel.Swing, 3, 1.0, 10, 1, 1, u, u, d, 0.0)
        else:
            cls = quibrel.ItemCF if kind == "item" else quibrel.UserCF
            model = call("consumed", key, cls, "ranking", 3, 1, 1, 1, u, u, d, 0.0)
    if isinstance(model, BaseException):
        return
    # The model answers afterwards, whatever the conversion did.
    rec = call("recommend", key, model.recommend, [0, 5], 2, True, False)
    assert not isinstance(rec, BaseException)


@support.fuzz_settings(200)
@given(st.lists(ELEMENT, max_size=12), st.lists(ELEMENT, max_size=12))
def test_fuzz_build_consumed_unique(users, items):
    result = call(
        "build_consumed_unique", repr((users, items)), quibrel.build_consumed_unique, users, items
    )
    if isinstance(result, BaseException):
        return
    by_user, by_item = result
    n = min(len(users), len(items))
    pairs = {(int(users[p]), int(items[p])) for p in range(n)}
    assert {(u, i) for u, lst in by_user.items() for i in lst} == pairs
    assert {(u, i) for i, lst in by_item.items() for u in lst} == pairs
