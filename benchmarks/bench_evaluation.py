"""quibrel.evaluation on synthetic data: metrics on 100,000 users x 10 recommendations
(500,000 test rows) and the splits on those two frames, with int64 ids and with string ids,
in one process. A plain pandas merge + groupby computation of precision@k runs on the same
frames as a reference.

    python benchmarks/bench_evaluation.py [--users N] [--recs N] [--repeat N]

Needs pandas and quibrel's Python package (or PYTHONPATH pointing at src/).
"""

import argparse
import os
import time

import numpy as np
import pandas as pd
from quibrel import evaluation as ev


def frames(n_users, n_recs, n_items, as_str, seed=0):
    rng = np.random.default_rng(seed)
    users = np.repeat(np.arange(n_users), n_recs)
    recs = pd.DataFrame(
        {
            "user": users,
            # Distinct items per user, as a recommender returns them.
            "item": (
                np.repeat(rng.integers(0, n_items, n_users), n_recs)
                + np.tile(np.arange(n_recs) * 97, n_users)
            )
            % n_items,
            "score": rng.random(len(users)).astype(np.float32),
            "rank": np.tile(np.arange(1, n_recs + 1), n_users),
        }
    )
    # Half the test rows copy a recommended item, so there are hits to count.
    n_test = n_users * 5
    picked = rng.integers(0, len(recs), n_test)
    copied = rng.random(n_test) < 0.5
    test = pd.DataFrame(
        {
            "user": users[picked],
            "item": np.where(
                copied, recs["item"].to_numpy()[picked], rng.integers(0, n_items, n_test)
            ),
            "timestamp": rng.integers(0, 10**9, n_test),
        }
    )
    catalogue = pd.Index(np.arange(n_items))
    if as_str:
        for df in (recs, test):
            df["user"] = "u" + df["user"].astype(str)
            df["item"] = "i" + df["item"].astype(str)
        catalogue = "i" + catalogue.astype(str)
    return recs, test, catalogue


def merge_precision(recs, test, k):
    top = recs[recs["rank"] <= k][["user", "item"]]
    hits = top.merge(test[["user", "item"]].drop_duplicates(), on=["user", "item"])
    per_user = hits.groupby("user").size()
    users = test["user"].drop_duplicates()
    return per_user.reindex(users, fill_value=0).mean() / k


def best_and_median(repeat, f):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        f()
        times.append(time.perf_counter() - start)
    return min(times), float(np.median(times))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--users", type=int, default=100_000)
    parser.add_argument("--recs", type=int, default=10)
    parser.add_argument("--items", type=int, default=20_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    print(f"load average at start: {os.getloadavg()[0]:.2f}; pandas {pd.__version__}")
    for as_str in (False, True):
        recs, test, catalogue = frames(args.users, args.recs, args.items, as_str)
        label = "str ids" if as_str else "int64 ids"
        print(f"\n{label}: {len(recs):,} recommendations, {len(test):,} test rows")
        run(recs, test, catalogue, args.repeat)


def run(recs, test, catalogue, repeat):
    assert np.isclose(merge_precision(recs, test, 10), ev.precision_at_k(recs, test, 10))
    shuffled = recs.sample(frac=1.0, random_state=0)
    cases = {
        "merge+groupby precision": lambda: merge_precision(recs, test, 10),
        "precision_at_k": lambda: ev.precision_at_k(recs, test, 10),
        "precision_at_k, rows shuffled": lambda: ev.precision_at_k(shuffled, test, 10),
        "recall_at_k": lambda: ev.recall_at_k(recs, test, 10),
        "ndcg_at_k": lambda: ev.ndcg_at_k(recs, test, 10),
        "coverage (Index)": lambda: ev.coverage(recs, catalogue, 10),
        "evaluate (all four)": lambda: ev.evaluate(recs, test, 10, catalogue=catalogue),
        f"random_split, {len(recs):,} rows": lambda: ev.random_split(recs, 0.2, seed=0),
        f"time_split by user, {len(test):,} rows": lambda: ev.time_split(test, 0.2),
        f"time_split global, {len(test):,} rows": lambda: ev.time_split(test, 0.2, by_user=False),
    }
    reference = None
    for name, f in cases.items():
        best, median = best_and_median(repeat, f)
        reference = reference or median  # the merge, measured first
        ratio = "" if "split" in name else f"  {median / reference:.2f}x the merge's time"
        print(f"  {name:34s} median {median:.3f} s (best {best:.3f} s){ratio}")


if __name__ == "__main__":
    main()
