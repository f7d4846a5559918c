"""Memory and references stay flat over thousands of calls of every entry point, on the
success paths and on every kind of failure path."""

from __future__ import annotations

import contextlib
import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest
import quibrel
from conftest import Interactions, both_orientations, random_interactions

SANITIZED = bool(os.environ.get("QUIBREL_SANITIZED"))
N_USERS, N_ITEMS = 80, 60


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


def panic_type():
    u = Interactions([], [0], [])
    i = Interactions([0], [0, 1], [1.0])
    try:
        quibrel.Swing(5, 1.0, 10, 1, 2, u, i, {}, 0.0).compute_swing(1)
    except BaseException as e:
        return type(e)
    raise AssertionError("expected an internal failure")


class Data:
    """Arguments kept alive across the loop so their reference counts can be compared."""

    def __init__(self, tmp):
        m = random_interactions(N_USERS, N_ITEMS, 0.12, seed=4)
        self.u, self.i = both_orientations(m)
        users, items = m.nonzero()
        self.user_list, self.item_list = users.tolist(), items.tolist()
        self.consumed, _ = quibrel.build_consumed_unique(self.user_list, self.item_list)
        self.new_u, self.new_i = both_orientations(
            random_interactions(N_USERS, N_ITEMS, 0.02, seed=5)
        )
        self.overrun = Interactions([0, 1], [0, 5], [1.0, 1.0])  # row runs past indices
        self.bad_index = Interactions([2**31], [0, 1], [1.0])  # no i32 holds it
        self.bad_consumed = {0: [1, "x"]}
        self.users = list(range(N_USERS)) + [N_USERS]
        self.items = [(7 * u) % N_ITEMS for u in range(N_USERS)] + [N_ITEMS]
        self.negative = [0, -1]
        # Built at run time: literals are interned and shared with the rest of the process.
        self.path = str(tmp)
        self.names = tuple("".join([n, "-model"]) for n in ("item", "user", "swing"))
        self.task = "".join(["rank", "ing"])

    def refcounts(self):
        objs = [
            self.u,
            self.i,
            self.new_u,
            self.new_i,
            self.overrun,
            self.bad_index,
            self.u.sparse_indices,
            self.u.sparse_indptr,
            self.u.sparse_data,
            self.user_list,
            self.item_list,
            self.consumed,
            self.bad_consumed,
            self.users,
            self.items,
            self.negative,
            self.path,
            self.task,
            *self.names,
        ]
        return [sys.getrefcount(o) for o in objs]


def expect(exc, fn, *args):
    # Plain try/except: the test framework's helpers keep caches that would blur the figures.
    try:
        fn(*args)
    except exc:
        return
    raise AssertionError(f"{fn} did not raise {exc.__name__}")


def one_round(d, panic, heavy):
    """Every entry point once, succeeding and failing."""
    item = quibrel.ItemCF(d.task, 10, N_USERS, N_ITEMS, 1, d.u, d.i, d.consumed, 0.0)
    user = quibrel.UserCF(d.task, 10, N_USERS, N_ITEMS, 1, d.u, d.i, d.consumed, 0.0)
    swing = quibrel.Swing(10, 1.0, 1000, N_USERS, N_ITEMS, d.u, d.i, d.consumed, 0.0)
    expect(TypeError, quibrel.ItemCF, 5, 10, N_USERS, N_ITEMS, 1, d.u, d.i, d.consumed, 0.0)
    expect(
        TypeError,
        quibrel.UserCF,
        d.task,
        10,
        N_USERS,
        N_ITEMS,
        1,
        d.bad_index,
        d.i,
        d.consumed,
        0.0,
    )
    expect(TypeError, quibrel.Swing, 10, 1.0, 10, 1, 1, d.u, d.i, d.bad_consumed, 0.0)
    expect(OverflowError, quibrel.Swing, -1, 1.0, 10, 1, 1, d.u, d.i, d.consumed, 0.0)
    expect(TypeError, quibrel.ItemCF.predict, item, d.users)  # binding: missing argument
    expect(ValueError, item.num_sim_elements)
    expect(RuntimeError, swing.num_swing_elements)
    if heavy:
        item.compute_similarities(False, 2)
        user.compute_similarities(True, 1)
        swing.compute_swing(2)
        item.update_similarities(d.new_u, d.new_i)
        user.update_similarities(d.new_u, d.new_i)
        expect(panic, user.update_similarities, d.overrun, d.new_i)
        swing.update_swing(2, d.new_u, d.new_i)
        expect(
            panic,
            quibrel.Swing(5, 1.0, 10, N_USERS, N_ITEMS, d.overrun, d.i, {}, 0.0).compute_swing,
            1,
        )
        expect(TypeError, swing.update_swing, 1, d.bad_index, d.new_i)
        quibrel.save_item_cf(item, d.path, d.names[0])
        quibrel.save_user_cf(user, d.path, d.names[1])
        quibrel.save_swing(swing, d.path, d.names[2])
        quibrel.load_item_cf(d.path, d.names[0])
        quibrel.load_user_cf(d.path, d.names[1])
        quibrel.load_swing(d.path, d.names[2])
        expect(FileNotFoundError, quibrel.load_swing, d.path, "missing")
        expect(OSError, quibrel.load_item_cf, d.path, d.names[2])  # a Swing body is too short
        expect(TypeError, quibrel.save_item_cf, user, d.path, d.names[0])
    item.num_sim_elements() if heavy else None
    for model in (item, swing):
        model.predict(d.users, d.items)
        model.recommend(d.users, 5, True, False)
        model.recommend(d.users, 3, False, True)
        expect(ValueError, model.predict, [0, 0], d.negative)
        expect(ValueError, model.recommend, d.negative, 3, True, False)
    user.predict(d.items, d.users)
    user.recommend(d.users, 5, True, False)
    expect(ValueError, user.predict, d.negative, [0, 0])
    expect(OverflowError, user.predict, [0], [-1])
    expect(TypeError, item.recommend, d.users, 5, 1, False)
    for model in (item, user, swing):
        model.n_users = N_USERS
        model.n_items = N_ITEMS
        model.user_consumed = d.consumed
        expect(TypeError, setattr, model, "user_consumed", d.bad_consumed)
        expect(AttributeError, delattr, model, "n_users")
    quibrel.build_consumed_unique(d.user_list, d.item_list)
    expect(OverflowError, quibrel.build_consumed_unique, d.user_list, [2**31])
    expect(TypeError, quibrel.build_consumed_unique, tuple(d.user_list), d.item_list)


def run_rounds(d, panic, rounds, heavy):
    for _ in range(rounds):
        one_round(d, panic, heavy)
    gc.collect()


@pytest.mark.parametrize(
    "heavy, rounds",
    [(False, 3000), (True, 1000)],
    ids=["reads-and-conversions", "computations-and-files"],
)
def test_memory_and_argument_references_stay_flat(heavy, rounds, tmp_path, capfd):
    if SANITIZED:
        rounds //= 10  # the references are what matters under the sanitizer
    panic = panic_type()
    d = Data(tmp_path)
    refs = d.refcounts()
    run_rounds(d, panic, rounds // 10, heavy)  # caches, the pool, first-use objects
    refs_warm, warm_rss = d.refcounts(), rss_kib()
    run_rounds(d, panic, rounds, heavy)
    end_rss = rss_kib()
    # Tracing every allocation is slow, so the Python-side check runs a tenth as long.
    tracemalloc.start()
    try:
        run_rounds(d, panic, 1, heavy)
        warm_py = tracemalloc.get_traced_memory()[0]
        run_rounds(d, panic, max(rounds // 10, 20), heavy)
        end_py = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    capfd.readouterr()
    print(f"rounds {rounds}: rss {warm_rss} -> {end_rss} KiB; traced {warm_py} -> {end_py} B")
    # Argument references are back where they started: nothing borrowed was kept or freed.
    assert d.refcounts() == refs_warm == refs
    if not SANITIZED:
        # Python-side allocations do not grow with the number of calls. (Without the small-
        # object allocator, as under the sanitizer, the interpreter's own caches take
        # thousands of calls to fill, so this is left to the normal build.)
        assert end_py - warm_py < 32 * 1024, (warm_py, end_py)
        # Native allocations neither: one leaked model per round would be megabytes.
        assert end_rss - warm_rss < 4 * 1024, (warm_rss, end_rss)


def makers(tmp):
    u, i = both_orientations(random_interactions(8, 6, 0.3, seed=1))
    item = quibrel.ItemCF("ranking", 3, 8, 6, 1, u, i, {}, 0.0)
    user = quibrel.UserCF("ranking", 3, 8, 6, 1, u, i, {}, 0.0)
    swing = quibrel.Swing(3, 1.0, 10, 8, 6, u, i, {}, 0.0)
    quibrel.save_item_cf(item, str(tmp), "i")
    quibrel.save_user_cf(user, str(tmp), "u")
    quibrel.save_swing(swing, str(tmp), "s")
    return {
        "ItemCF": (quibrel.ItemCF, lambda: quibrel.ItemCF("ranking", 3, 8, 6, 1, u, i, {}, 0.0)),
        "UserCF": (quibrel.UserCF, lambda: quibrel.UserCF("ranking", 3, 8, 6, 1, u, i, {}, 0.0)),
        "Swing": (quibrel.Swing, lambda: quibrel.Swing(3, 1.0, 10, 8, 6, u, i, {}, 0.0)),
        "load_item_cf": (quibrel.ItemCF, lambda: quibrel.load_item_cf(str(tmp), "i")),
        "load_user_cf": (quibrel.UserCF, lambda: quibrel.load_user_cf(str(tmp), "u")),
        "load_swing": (quibrel.Swing, lambda: quibrel.load_swing(str(tmp), "s")),
        "failed ItemCF": (
            quibrel.ItemCF,
            lambda: quibrel.ItemCF("ranking", 3, 8, 6, 1, u, None, {}, 0.0),
        ),
    }


@pytest.mark.parametrize(
    "name",
    ["ItemCF", "UserCF", "Swing", "load_item_cf", "load_user_cf", "load_swing", "failed ItemCF"],
)
def test_type_references_stay_flat_over_create_and_destroy(name, tmp_path, capfd):
    cls, make = makers(tmp_path)[name]
    for _ in range(10):
        with contextlib.suppress(AttributeError):  # the failing constructor
            make()
    gc.collect()
    before = sys.getrefcount(cls)
    for _ in range(3000):
        try:
            obj = make()
            assert type(obj) is cls
            del obj
        except AttributeError:  # the failing constructor: no sparse_indices on None
            pass
    gc.collect()
    capfd.readouterr()
    assert sys.getrefcount(cls) == before


def test_numpy_arguments_are_released(tmp_path):
    # The buffer fast path takes a view of each array; every view must be given back, or
    # the array could neither be resized nor freed.
    u, i = both_orientations(random_interactions(10, 8, 0.3, seed=2))
    arrays = [u.sparse_indices, u.sparse_indptr, u.sparse_data]
    before = [sys.getrefcount(a) for a in arrays]
    for _ in range(2000):
        quibrel.UserCF("ranking", 3, 10, 8, 1, u, i, {}, 0.0)
    assert [sys.getrefcount(a) for a in arrays] == before
    grown = np.array(u.sparse_indices)
    grown.resize(len(grown) + 1, refcheck=True)  # fails while a view is still exported
    assert len(grown) == len(u.sparse_indices) + 1


def test_library_soak_keeps_resident_memory_flat():
    """The short form of tools/soak_library.py: the library's fit, partial_fit, answers, files
    and pickles, and three failing calls, round after round in a fresh process. One leaked
    recommender per round would add about 10 MiB over the 75 measured rounds."""
    if SANITIZED:
        pytest.skip("resident memory under the sanitizer says nothing about leaks")
    import pathlib

    from conftest import run_python

    tool = pathlib.Path(__file__).resolve().parent.parent / "tools" / "soak_library.py"
    argv = ["soak", "--rounds", "150", "--report-every", "25", "--warmup", "75"]
    argv += ["--max-growth-kib", "2048"]
    code = f"import runpy, sys\nsys.argv = {argv!r}\n"
    done = run_python(code + f"runpy.run_path({str(tool)!r}, run_name='__main__')")
    print(done.stdout)
    assert done.returncode == 0, done.stdout + done.stderr
    rows = [line.split() for line in done.stdout.splitlines()[1:-1]]
    assert [int(r[0]) for r in rows] == [25, 50, 75, 100, 125, 150]
    assert done.stdout.rstrip().endswith(": ok")
