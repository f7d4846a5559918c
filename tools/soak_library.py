#!/usr/bin/env python3
"""Soak test of the library layer: many rounds of fit, partial_fit, answers, save, load and
pickling on small random data, printing the resident set size (VmRSS) as it goes. Fails (exit
status 1) when RSS grows by more than --max-growth-kib between the end of the warm-up and any
later report.

    PYTHONPATH=build/dev python3 tools/soak_library.py                  # 10,000 rounds
    PYTHONPATH=build/dev python3 tools/soak_library.py --rounds 200 --report-every 50 --warmup 100

Each round builds a recommender of a class chosen in turn (ItemCF, UserCF, Swing) on a new
random log with string users and integer items, folds a second batch in (exact=False, and
exact=True once the engine offers it), answers (recommend with known and unknown users,
random draws, predict, neighbour lists), saves and loads it, pickles it, and makes three
calls that must fail (NaN value, unknown id, damaged file), so that failure paths are soaked
too. Answers of the copies are compared with the original's.
"""

from __future__ import annotations

import argparse
import os
import pickle
import sys
import tempfile
import time

import numpy as np
import pandas as pd
from quibrel import _native
from quibrel.recommenders import (
    ItemCFRecommender,
    SwingRecommender,
    UserCFRecommender,
    load,
)

CLASSES = (ItemCFRecommender, UserCFRecommender, SwingRecommender)
EXACT = hasattr(_native, "exact_update")


def rss_kib() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


def random_log(rng: np.random.Generator, rows: int, users: int, items: int) -> pd.DataFrame:
    return pd.DataFrame(
        {
            "user": [f"u{u}" for u in rng.integers(0, users, rows)],
            "item": rng.integers(0, items, rows),
            "value": rng.integers(1, 6, rows).astype(np.float32),
        }
    )


def one_round(k: int, rng: np.random.Generator, scratch: str) -> None:
    cls = CLASSES[k % len(CLASSES)]
    rec = cls(num_threads=2).fit(random_log(rng, 400, 60, 40), value_col="value")
    rec.partial_fit(random_log(rng, 40, 70, 45), value_col="value", exact=False)
    if EXACT:
        rec.partial_fit(random_log(rng, 40, 75, 48), value_col="value", exact=True)
    users = list(rec.user_ids[:20]) + ["nobody"]
    items = list(rec.item_ids[:21])
    want = rec.recommend(users, n=5, unknown="popular")
    rec.recommend(users[:-1], n=5, random=True)
    scores = rec.predict(users, items, unknown="default")
    if isinstance(rec, UserCFRecommender):
        rec.similar_users(users[:-1], n=5)
    else:
        rec.similar_items(items, n=5)

    path = os.path.join(scratch, "soak.qb")
    rec.save(path)
    for copy in (load(path), pickle.loads(pickle.dumps(rec))):
        got = copy.recommend(users, n=5, unknown="popular")
        if not got.equals(want) or not np.array_equal(
            copy.predict(users, items, unknown="default"), scores
        ):
            raise AssertionError(f"round {k}: a copy answers differently")

    bad = random_log(rng, 20, 10, 10)
    bad.loc[3, "value"] = np.nan
    for call, exc in (
        (lambda: cls().fit(bad, value_col="value"), ValueError),
        (lambda: rec.recommend(["nobody"]), KeyError),
        (lambda: load(__file__), ValueError),
    ):
        try:
            call()
        except exc:
            pass
        else:
            raise AssertionError(f"round {k}: expected {exc.__name__}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=10_000)
    parser.add_argument("--report-every", type=int, default=1_000)
    parser.add_argument("--warmup", type=int, default=2_000, help="rounds before the baseline")
    parser.add_argument("--max-growth-kib", type=int, default=16 * 1024)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    if args.warmup % args.report_every:
        parser.error("--warmup must be a multiple of --report-every")

    rng = np.random.default_rng(args.seed)
    baseline = None
    worst = 0
    start = time.perf_counter()
    print(f"{'round':>8} {'rss_kib':>9} {'growth_kib':>10} {'seconds':>8}", flush=True)
    with tempfile.TemporaryDirectory(prefix="quibrel-soak-") as scratch:
        for k in range(1, args.rounds + 1):
            one_round(k, rng, scratch)
            if k % args.report_every == 0 or k == args.rounds:
                rss = rss_kib()
                if k == args.warmup:
                    baseline = rss
                growth = "" if baseline is None else rss - baseline
                if baseline is not None:
                    worst = max(worst, rss - baseline)
                elapsed = time.perf_counter() - start
                print(f"{k:>8} {rss:>9} {growth!s:>10} {elapsed:>8.1f}", flush=True)
    if baseline is None:
        print("no baseline: --warmup is not below --rounds", file=sys.stderr)
        return 2
    verdict = "ok" if worst <= args.max_growth_kib else "GROWS"
    print(f"largest growth after warm-up: {worst} KiB (limit {args.max_growth_kib} KiB): {verdict}")
    return 0 if verdict == "ok" else 1


if __name__ == "__main__":
    sys.exit(main())
