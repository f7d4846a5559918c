"""Malformed interaction matrices through the constructors and every method of the three
models: offsets that decrease or overrun, negative and huge ids, unsorted and repeated
columns, NaN and infinite values, vectors of the wrong length, in every container shape.
Each call must give a result or an exception the contract allows for it; a model must stay
usable after any failure, and a saved model must load back to one that answers alike."""

from __future__ import annotations

import math
import tempfile

import quibrel
import support
from hypothesis import given
from hypothesis import strategies as st
from support import call

SCRATCH = tempfile.mkdtemp(prefix="quibrel-fuzz-models-")
SAVE = {"item": quibrel.save_item_cf, "user": quibrel.save_user_cf, "swing": quibrel.save_swing}
LOAD = support.loaders()


def build(kind, n_users, n_items, u, i, consumed, key):
    if kind == "swing":
        return call(
            "construct", key, quibrel.Swing, 4, 1.0, 50, n_users, n_items, u, i, consumed, 0.0
        )
    cls = quibrel.ItemCF if kind == "item" else quibrel.UserCF
    task = "ranking" if n_users % 2 else "rating"
    return call("construct", key, cls, task, 4, n_users, n_items, n_users % 3, u, i, consumed, 0.0)


def same_answers(a, b):
    """Two outcomes agree: equal lists (NaN equal to NaN) or the same exception type."""
    if isinstance(a, BaseException) or isinstance(b, BaseException):
        return type(a) is type(b)

    def norm(x):
        if isinstance(x, float) and math.isnan(x):
            return "nan"
        if isinstance(x, (list, tuple)):
            return [norm(y) for y in x]
        return x

    return norm(a) == norm(b)


@st.composite
def scenario(draw):
    kind = draw(st.sampled_from(["item", "user", "swing"]))
    n_users = draw(st.integers(0, 9))
    n_items = draw(st.integers(0, 9))
    # The matrices claim roughly the model's shape, give or take a row.
    u, _ = draw(support.matrices(max(n_users + draw(st.integers(-1, 1)), 0), n_items))
    i, _ = draw(support.matrices(max(n_items + draw(st.integers(-1, 1)), 0), n_users))
    consumed = draw(
        st.dictionaries(st.integers(-2, 10), st.lists(st.integers(-2, 10), max_size=4), max_size=4)
    )
    ops = draw(
        st.lists(
            st.sampled_from(
                ["compute", "invert", "predict", "recommend", "update", "count", "resize", "save"]
            ),
            min_size=1,
            max_size=6,
        )
    )
    return kind, n_users, n_items, u, i, consumed, ops


@support.fuzz_settings(150)
@given(scenario(), st.data())
def test_fuzz_models(capfd, s, data):
    kind, n_users, n_items, u, i, consumed, ops = s
    key = f"{kind}:{n_users}:{n_items}:{u.key()}:{i.key()}"
    model = build(kind, n_users, n_items, u, i, consumed, key)
    if isinstance(model, BaseException):
        return
    for op in ops:
        if op in ("compute", "invert"):
            threads = data.draw(st.integers(0, 2))
            if kind == "swing":
                call("compute_swing", key, model.compute_swing, threads)
            else:
                call(
                    "compute_similarities", key, model.compute_similarities, op == "invert", threads
                )
        elif op == "predict":
            users = data.draw(support.id_lists(n_users))
            items = data.draw(support.id_lists(n_items, size=len(users)))
            call("predict", key + repr((users, items)), model.predict, users, items)
        elif op == "recommend":
            users = data.draw(support.id_lists(n_users))
            n_rec = data.draw(st.sampled_from([0, 1, 3, 2**64 - 1]))
            call(
                "recommend",
                key + repr(users),
                model.recommend,
                users,
                n_rec,
                data.draw(st.booleans()),
                data.draw(st.booleans()),
            )
        elif op == "update":
            nu, _ = data.draw(support.matrices(n_users + data.draw(st.integers(-1, 2)), n_items))
            ni, _ = data.draw(support.matrices(n_items + data.draw(st.integers(-1, 2)), n_users))
            ukey = key + nu.key() + ni.key()
            if kind == "swing":
                call("update_swing", ukey, model.update_swing, 1, nu, ni)
            else:
                call("update_similarities", ukey, model.update_similarities, nu, ni)
        elif op == "count":
            if kind == "swing":
                call("num_swing_elements", key, model.num_swing_elements)
            else:
                call("num_sim_elements", key, model.num_sim_elements)
        elif op == "resize":
            # Growing the counts is how callers announce new users and items.
            n_users += data.draw(st.integers(0, 3))
            n_items += data.draw(st.integers(0, 3))
            model.n_users, model.n_items = n_users, n_items
        else:
            call("save", key, SAVE[kind], model, SCRATCH, "m")
            again = call("load", key, LOAD[kind], SCRATCH, "m")
            users = list(range(-1, n_users + 1))
            items = [(x * 7) % (n_items + 1) for x in range(len(users))]
            if kind == "user":
                users, items = items, [abs(x) for x in users]
            else:
                users = [abs(x) for x in users]
            # Random draws differ between calls, so only the ranked lists are compared.
            for method, args in (
                ("predict", (users, items)),
                ("recommend", (users, 3, True, False)),
            ):
                a = call(method, key, getattr(model, method), *args)
                b = call(method, key, getattr(again, method), *args)
                assert same_answers(a, b), (method, a, b)
    capfd.readouterr()
