"""Python threads and the library layer: separate recommenders side by side, many readers of
one, and readers next to fit and partial_fit on the same recommender. Every answer must be
one a single thread would get from the model before or after an update, never from part of
one (partial_fit grows the id maps before the engine knows the new ids; fit replaces the model
before the id maps)."""

from __future__ import annotations

import os
import pickle
import sys
import threading
import time

import numpy as np
import pandas as pd
import pytest
from quibrel.recommenders import (
    ItemCFRecommender,
    SwingRecommender,
    UserCFRecommender,
    load,
)

CLASSES = [ItemCFRecommender, UserCFRecommender, SwingRecommender]


@pytest.fixture(autouse=True)
def frequent_switches():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def log(seed, n_users=150, n_items=100, rows=2500) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    return pd.DataFrame(
        {
            "user": rng.integers(0, n_users, rows),
            "item": rng.integers(0, n_items, rows),
            "value": rng.integers(1, 6, rows).astype(float),
        }
    )


def run_threads(targets) -> list[BaseException]:
    """Runs the callables on threads started together; returns what they raised."""
    errors: list[BaseException] = []
    start = threading.Barrier(len(targets))

    def wrapped(target):
        start.wait()
        try:
            target()
        except BaseException as e:
            errors.append(e)

    threads = [threading.Thread(target=wrapped, args=(t,)) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return errors


def answers(rec, users, items) -> tuple[str, bytes, str]:
    """recommend, predict and the neighbour lists, in a form that compares exactly."""
    if isinstance(rec, UserCFRecommender):
        similar = rec.similar_users(users, n=4)
    else:
        similar = rec.similar_items(items, n=4)
    return (
        rec.recommend(users, n=5).to_json(),
        rec.predict(users, items).tobytes(),
        similar.to_json(),
    )


def test_separate_recommenders_on_threads_answer_as_on_one(tmp_path):
    jobs = [(cls, seed) for seed in (1, 2) for cls in CLASSES]
    users, items = list(range(30)), list(range(30))

    def job(cls, seed, path):
        rec = cls(num_threads=2).fit(log(seed), value_col="value")
        rec.partial_fit(log(seed + 10, rows=200), value_col="value", exact=False)
        rec.save(path)
        return answers(rec, users, items), answers(load(path), users, items)

    alone = [job(cls, seed, tmp_path / f"alone-{k}")[0] for k, (cls, seed) in enumerate(jobs)]
    together: dict[int, tuple] = {}

    def target(k, cls, seed):
        return lambda: together.__setitem__(k, job(cls, seed, tmp_path / f"thread-{k}"))

    assert run_threads([target(k, cls, seed) for k, (cls, seed) in enumerate(jobs)]) == []
    for k in range(len(jobs)):
        assert together[k] == (alone[k], alone[k]), jobs[k]


@pytest.mark.parametrize("cls", CLASSES)
def test_readers_of_one_recommender_agree_with_one_thread(cls):
    rec = cls().fit(log(3), value_col="value")
    users = [*range(40), 10_000]  # one unknown user: answered as the popular items
    items = [(7 * u) % 100 for u in range(41)]
    want = (
        rec.recommend(users, n=5, unknown="popular").to_json(),
        rec.predict(users, items, unknown="default").tobytes(),
        answers(rec, users[:-1], items[:-1]),
        pickle.dumps(rec),
    )

    def reader():
        for _ in range(15):
            got = (
                rec.recommend(users, n=5, unknown="popular").to_json(),
                rec.predict(users, items, unknown="default").tobytes(),
                answers(rec, users[:-1], items[:-1]),
                pickle.dumps(rec),
            )
            assert got == want

    assert run_threads([reader] * 4) == []


def test_readers_next_to_partial_fit_see_each_batch_whole_or_not_at_all():
    base = log(4)
    # Each batch brings a new user with two items, and more interactions for user 0.
    batches = [
        pd.DataFrame({"user": [10_000 + k, 10_000 + k, 0], "item": [k, k + 50, 99 - k]})
        for k in range(40)
    ]
    probe = [0, 1, 2, 3]
    single = ItemCFRecommender().fit(base)
    states = {single.recommend(probe, n=5).to_json()}
    newcomers = {}
    for k, batch in enumerate(batches):
        single.partial_fit(batch, exact=False)
        states.add(single.recommend(probe, n=5).to_json())
        answer = single.recommend([10_000 + k], n=5)
        assert len(answer) > 0  # so that a newcomer answered from nothing shows
        newcomers[10_000 + k] = answer.to_json()

    rec = ItemCFRecommender().fit(base)
    done = threading.Event()
    seen = {"states": 0, "newcomers": 0}

    def reader():
        while not done.is_set():
            assert rec.recommend(probe, n=5).to_json() in states
            seen["states"] += 1
            last = rec.user_ids[-1]
            if last >= 10_000:
                # Listed means folded in: its answer is the one it has once its batch is in.
                assert rec.recommend([last], n=5).to_json() == newcomers[last]
                seen["newcomers"] += 1

    def writer():
        try:
            for batch in batches:
                rec.partial_fit(batch, exact=False)
        finally:
            done.set()

    assert run_threads([writer, reader, reader]) == []
    assert rec.recommend(probe, n=5).to_json() == single.recommend(probe, n=5).to_json()
    assert seen["states"] > 0 and seen["newcomers"] > 0


def test_readers_next_to_fit_see_the_old_model_or_the_new_one():
    first = log(5)
    second = first.iloc[::-1].reset_index(drop=True)  # the same pairs under other dense ids
    probe = list(range(20))
    states = {ItemCFRecommender().fit(d).recommend(probe, n=5).to_json() for d in (first, second)}
    rec = ItemCFRecommender().fit(first)
    done = threading.Event()

    def reader():
        while not done.is_set():
            # The old model read through the new id maps (or the reverse) names other items.
            assert rec.recommend(probe, n=5).to_json() in states

    def writer():
        try:
            for k in range(30):
                rec.fit(second if k % 2 == 0 else first)
        finally:
            done.set()

    assert run_threads([writer, reader, reader]) == []


def test_the_lock_stays_out_of_pickles_and_files(tmp_path):
    rec = SwingRecommender().fit(log(6))
    copy = pickle.loads(pickle.dumps(rec))
    assert copy._lock is not rec._lock
    copy.partial_fit(log(7, rows=50), exact=False)  # the copy's lock works
    rec.save(tmp_path / "m")
    assert os.listdir(tmp_path) == ["m"]
    assert load(tmp_path / "m").recommend([0, 1]).equals(rec.recommend([0, 1]))


def test_an_update_interrupted_while_waiting_lets_the_answers_queued_behind_it_go_on(
    monkeypatch,
):
    rec = ItemCFRecommender().fit(log(8, rows=300))
    lock = rec._lock
    wait = lock._state.wait
    outcome = {}

    def update():
        try:
            with lock.writing():
                outcome["update"] = "ran"
        except KeyboardInterrupt:
            outcome["update"] = "interrupted"

    updater = threading.Thread(target=update)

    def wait_then_interrupt(timeout=None):
        if threading.current_thread() is not updater:
            return wait(timeout)
        while not lock._state._waiters:  # an answer queues up behind the update,
            wait(0.01)
        raise KeyboardInterrupt  # then Ctrl-C arrives

    monkeypatch.setattr(lock._state, "wait", wait_then_interrupt)
    answer = threading.Thread(target=lambda: outcome.setdefault("answer", rec.recommend([0])))
    with lock.reading():  # an answer in progress: the update has to wait for it
        updater.start()
        while not lock._writers_waiting:
            time.sleep(0.001)
        answer.start()
        answer.join(timeout=2)
        assert "answer" in outcome, "the queued answer waited for the one in progress"
    updater.join()
    answer.join()
    assert outcome["update"] == "interrupted" and not lock._writers_waiting
