"""What capping each item's users costs Swing in accuracy and saves in time.

    python benchmarks/bench_swing_cap.py [--caps 25 50 100 200] [--threads 2]

On the bundled MovieLens ratings: each user's latest 20% held out, Swing fitted uncapped and
with `max_users_per_item` at each cap, recall@10 and NDCG@10 on the held-out ratings, fit time,
and how many of the uncapped model's top-10 neighbours each capped model keeps.
"""

from __future__ import annotations

import argparse
import time

import pandas as pd
from datagen import MOVIELENS
from quibrel.evaluation import filter_unknown, ndcg_at_k, recall_at_k, time_split
from quibrel.recommenders import SwingRecommender


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--caps", type=int, nargs="+", default=[25, 50, 100, 200])
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args()

    ratings = pd.read_csv(MOVIELENS).rename(columns={"userId": "user", "movieId": "item"})
    train, test = time_split(ratings, 0.2)
    test = filter_unknown(test, train)
    users = test["user"].unique()
    base_top = None
    for cap in [None, *args.caps]:
        rec = SwingRecommender(max_users_per_item=cap, num_threads=args.threads)
        t = time.perf_counter()
        rec.fit(train, value_col="rating")
        fit_s = time.perf_counter() - t
        recs = rec.recommend(users, n=10)
        top = rec.similar_items(rec.item_ids, n=10)
        pairs = set(zip(top["item"], top["neighbour"], strict=True))
        if base_top is None:
            base_top, kept = pairs, 1.0
        else:
            kept = len(pairs & base_top) / max(len(base_top), 1)
        print(
            f"cap {cap!s:>5}: fit {fit_s:.3f} s, recall@10 {recall_at_k(recs, test, 10):.4f}, "
            f"ndcg@10 {ndcg_at_k(recs, test, 10):.4f}, top-10 neighbours kept {kept:.1%}"
        )


if __name__ == "__main__":
    main()
