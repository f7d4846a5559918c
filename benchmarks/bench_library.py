"""The library layer's cost over the engine, in one process per dataset.

    python benchmarks/bench_library.py --dataset movielens
    python benchmarks/bench_library.py --dataset synthetic-2.5m --models ItemCF Swing

For each model: `fit` on a DataFrame of raw ids against the engine's own part of that fit
(constructor and compute on matrices already built), `recommend` with scores for 10,000 users
against the engine's `recommend` on dense ids, and `similar_items` for every item. Medians of
--repeat runs; ratios are printed beside the times.
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np
import pandas as pd
import quibrel
from datagen import MOVIELENS, load
from quibrel import _native
from quibrel._data import set_consumed_from_rows
from quibrel.recommenders import ItemCFRecommender, SwingRecommender, UserCFRecommender

CLASSES = {"ItemCF": ItemCFRecommender, "UserCF": UserCFRecommender, "Swing": SwingRecommender}


def frame(dataset: str) -> pd.DataFrame:
    if dataset == "movielens":
        df = pd.read_csv(MOVIELENS)
        return df.rename(columns={"userId": "user", "movieId": "item", "rating": "value"})[
            ["user", "item", "value"]
        ]
    m = load(dataset).tocoo()
    rng = np.random.default_rng(0)
    order = rng.permutation(m.nnz)  # logs are not sorted by user
    # Raw ids unlike the dense ones: a sparse spread of 64-bit integers.
    return pd.DataFrame(
        {
            "user": m.row[order].astype(np.int64) * 7919 + 13,
            "item": m.col[order].astype(np.int64) * 104729 + 5,
            "value": m.data[order],
        }
    )


def timed(f, repeat: int) -> tuple[float, object]:
    times, out = [], None
    for _ in range(repeat):
        t = time.perf_counter()
        out = f()
        times.append(time.perf_counter() - t)
    return statistics.median(times), out


def paired(f, g, repeat: int) -> tuple[list[float], list[float], object, object]:
    """Wall times of f and g run alternately, so that both see the same machine load."""
    tf, tg, out_f, out_g = [], [], None, None
    for _ in range(repeat):
        t = time.perf_counter()
        out_f = f()
        tf.append(time.perf_counter() - t)
        t = time.perf_counter()
        out_g = g()
        tg.append(time.perf_counter() - t)
    return tf, tg, out_f, out_g


def engine_fit(rec, by_user, by_item, threads: int):
    # The engine's own part of a fit: constructor, consumed lists, computation.
    n_users, n_items = len(rec._users), len(rec._items)
    if isinstance(rec, SwingRecommender):
        m = quibrel.Swing(
            rec.top_k,
            rec.alpha,
            rec.max_cache_num,
            n_users,
            n_items,
            by_user,
            by_item,
            {},
            0.0,
        )
        set_consumed_from_rows(m, by_user)
        _native.call(m.compute_swing, (threads,), threads, True, None)
    else:
        cls = quibrel.ItemCF if isinstance(rec, ItemCFRecommender) else quibrel.UserCF
        m = cls("ranking", rec.k_sim, n_users, n_items, 1, by_user, by_item, {}, 0.0)
        set_consumed_from_rows(m, by_user)
        _native.call(m.compute_similarities, (False, threads), threads, True, None)
    return m


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--dataset", default="movielens")
    parser.add_argument("--models", nargs="+", default=list(CLASSES))
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    df = frame(args.dataset)
    print(
        f"{args.dataset}: {len(df):,} interactions, {df.user.nunique():,} users, "
        f"{df.item.nunique():,} items, {args.threads} threads"
    )
    for name in args.models:
        bench_model(name, df, args)


def bench_model(name: str, df: pd.DataFrame, args: argparse.Namespace) -> None:
    from quibrel._data import both_orientations, read_interactions, to_dense
    from quibrel._ids import IdMap

    cls = CLASSES[name]
    users, items = IdMap("user"), IdMap("item")
    dense = to_dense(read_interactions(df, "user", "item", "value"), users, items)
    by_user, by_item = both_orientations(dense, len(users), len(items))
    probe = cls(num_threads=args.threads)
    probe._users, probe._items = users, items
    lib_t, eng_t, rec, model = paired(
        lambda: cls(num_threads=args.threads).fit(df, value_col="value"),
        lambda: engine_fit(probe, by_user, by_item, args.threads),
        args.repeat,
    )
    lib_s, eng_s = statistics.median(lib_t), statistics.median(eng_t)
    overheads = [(a - b) / a for a, b in zip(lib_t, eng_t, strict=True)]
    print(
        f"  {name} fit: library {lib_s:.3f} s, engine part {eng_s:.3f} s (medians); overhead "
        f"per pair {min(overheads):.1%} .. {max(overheads):.1%}, median "
        f"{statistics.median(overheads):.1%} of the library's fit"
    )

    rng = np.random.default_rng(1)
    picks = rng.integers(0, rec.n_users, 10_000)
    raw = rec.user_ids[picks]
    dense_list = picks.tolist()
    eng_r, _ = timed(lambda: model.recommend(dense_list, 10, True, False), args.repeat)
    lib_r, out = timed(lambda: rec.recommend(raw, n=10), args.repeat)
    print(
        f"  {name} recommend 10,000 users: library {lib_r:.3f} s "
        f"({len(out):,} rows), engine {eng_r:.3f} s, throughput ratio {eng_r / lib_r:.2f}"
    )

    if name != "UserCF":
        sim_s, sims = timed(lambda: rec.similar_items(rec.item_ids, n=10), args.repeat)
        print(
            f"  {name} similar_items for all {rec.n_items:,} items: {sim_s:.3f} s "
            f"({len(sims):,} rows)"
        )


if __name__ == "__main__":
    main()
