"""End-to-end example on the bundled MovieLens ratings.

From a ratings table to the three model inputs, then fit ItemCF, UserCF and Swing, recommend
with consumed items filtered, evaluate against a most-popular baseline, chart recall@k, and
check that every model recommends the same lists after a save and reload.

    python3 examples/movielens.py [--out DIR] [--threads N]
"""

from __future__ import annotations

import argparse
import pathlib
import tempfile
from collections.abc import Callable
from typing import Any

import numpy as np
import pandas as pd
import quibrel
import scipy.sparse as sp

HERE = pathlib.Path(__file__).resolve().parent
RATINGS = HERE.parent / "data" / "ml-latest-small" / "ratings.csv"
K = 10
MAX_K = 50


class Interactions:
    """Wraps a scipy CSR matrix in the form the models read."""

    def __init__(self, matrix: sp.csr_matrix) -> None:
        m = matrix.tocsr()
        m.sort_indices()  # rows must hold ascending column ids
        self.sparse_indices = m.indices.astype(np.int32)
        self.sparse_indptr = m.indptr.astype(np.int64)
        self.sparse_data = m.data.astype(np.float32)


def load_and_split(path: pathlib.Path, holdout: float = 0.2) -> tuple[pd.DataFrame, pd.DataFrame]:
    """Dense ids, then each user's latest ratings held out for testing."""
    df = pd.read_csv(path)
    df["user"] = df["userId"].astype("category").cat.codes.astype(np.int32)
    df["item"] = df["movieId"].astype("category").cat.codes.astype(np.int32)
    df = df.sort_values(["user", "timestamp", "item"], kind="stable")
    position = df.groupby("user").cumcount()
    size = df.groupby("user")["item"].transform("size")
    is_test = position >= np.ceil(size * (1 - holdout))
    return df[~is_test], df[is_test]


def model_inputs(train: pd.DataFrame, n_users: int, n_items: int) -> dict[str, Any]:
    train = train.sort_values(["user", "item"])
    users, items = train["user"].to_numpy(), train["item"].to_numpy()
    ratings = train["rating"].to_numpy(np.float32)
    user_item = sp.csr_matrix((ratings, (users, items)), shape=(n_users, n_items))
    user_consumed, _ = quibrel.build_consumed_unique(users.tolist(), items.tolist())
    return {
        "user_interactions": Interactions(user_item),
        "item_interactions": Interactions(user_item.T.tocsr()),
        "user_consumed": user_consumed,
    }


def metrics(recs: list[list[int]], truth: list[set[int]], n_items: int) -> dict[str, float]:
    precision, recall, ndcg = [], [], []
    discounts = 1.0 / np.log2(np.arange(2, K + 2))
    for rec, relevant in zip(recs, truth, strict=True):
        top = rec[:K]
        hits = [1.0 if item in relevant else 0.0 for item in top]
        precision.append(sum(hits) / K)
        recall.append(sum(hits) / len(relevant))
        ideal = discounts[: min(len(relevant), K)].sum()
        ndcg.append(float(np.dot(hits, discounts[: len(hits)])) / ideal)
    covered = {item for rec in recs for item in rec[:K]}
    return {
        f"precision@{K}": float(np.mean(precision)),
        f"recall@{K}": float(np.mean(recall)),
        f"ndcg@{K}": float(np.mean(ndcg)),
        "coverage": len(covered) / n_items,
    }


def recall_curve(recs: list[list[int]], truth: list[set[int]]) -> np.ndarray:
    curve = np.zeros(MAX_K)
    for rec, relevant in zip(recs, truth, strict=True):
        hits = np.cumsum([1.0 if item in relevant else 0.0 for item in rec[:MAX_K]])
        padded = np.concatenate([hits, np.full(MAX_K - len(hits), hits[-1] if len(hits) else 0.0)])
        curve += padded / len(relevant)
    return curve / len(recs)


def fill_from_popular(recs: list[list[int]], seen: list[set[int]], popular: list[int]) -> None:
    """Tops up short lists with popular unseen items, as a caller would for reported users."""
    for rec, consumed in zip(recs, seen, strict=True):
        if len(rec) >= MAX_K:
            continue
        taken = set(rec)
        for item in popular:
            if item not in taken and item not in consumed:
                rec.append(item)
                taken.add(item)
                if len(rec) == MAX_K:
                    break


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=pathlib.Path, default=HERE.parent / "out")
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args()

    train, test = load_and_split(RATINGS)
    n_users = int(max(train["user"].max(), test["user"].max())) + 1
    n_items = int(max(train["item"].max(), test["item"].max())) + 1
    inputs = model_inputs(train, n_users, n_items)
    print(
        f"{len(train):,} training and {len(test):,} held-out ratings, "
        f"{n_users} users, {n_items} items"
    )

    test_users = sorted(test["user"].unique().tolist())
    truth_by_user = test.groupby("user")["item"].apply(set)
    truth = [truth_by_user[u] for u in test_users]
    seen_by_user = train.groupby("user")["item"].apply(set)
    seen = [seen_by_user.get(u, set()) for u in test_users]
    popular = train["item"].value_counts().index.tolist()

    models: dict[str, Any] = {
        "ItemCF": quibrel.ItemCF("ranking", 40, n_users, n_items, 1, default_pred=0.0, **inputs),
        "UserCF": quibrel.UserCF("ranking", 40, n_users, n_items, 1, default_pred=0.0, **inputs),
        "Swing": quibrel.Swing(100, 1.0, 5_000_000, n_users, n_items, default_pred=0.0, **inputs),
    }
    models["ItemCF"].compute_similarities(False, args.threads)
    models["UserCF"].compute_similarities(False, args.threads)
    models["Swing"].compute_swing(args.threads)

    results: dict[str, dict[str, float]] = {}
    curves: dict[str, np.ndarray] = {}
    raw_lists: dict[str, list[list[int]]] = {}
    for name, model in models.items():
        recs, _ = model.recommend(test_users, MAX_K, True, False)
        raw_lists[name] = [list(r) for r in recs]
        fill_from_popular(recs, seen, popular)
        results[name] = metrics(recs, truth, n_items)
        curves[name] = recall_curve(recs, truth)
    popular_recs = [[i for i in popular if i not in s][:MAX_K] for s in seen]
    results["MostPopular"] = metrics(popular_recs, truth, n_items)
    curves["MostPopular"] = recall_curve(popular_recs, truth)

    print()
    columns = list(next(iter(results.values())))
    print(f"{'model':<12}" + "".join(f"{c:>14}" for c in columns))
    for name, row in results.items():
        print(f"{name:<12}" + "".join(f"{row[c]:>14.4f}" for c in columns))
    print()

    # Save and reload every model; the reloaded model must recommend the same lists.
    with tempfile.TemporaryDirectory() as tmp:
        savers: dict[str, tuple[Callable[[Any, str, str], None], Callable[[str, str], Any]]] = {
            "ItemCF": (quibrel.save_item_cf, quibrel.load_item_cf),
            "UserCF": (quibrel.save_user_cf, quibrel.load_user_cf),
            "Swing": (quibrel.save_swing, quibrel.load_swing),
        }
        for name, (save, load) in savers.items():
            save(models[name], tmp, name.lower())
            reloaded = load(tmp, name.lower())
            recs, _ = reloaded.recommend(test_users, MAX_K, True, False)
            same = recs == raw_lists[name]
            print(f"{name}: reloaded model recommends the same lists: {same}")
            if not same:
                raise SystemExit(f"{name} changed after a save and reload")

    args.out.mkdir(parents=True, exist_ok=True)
    chart = args.out / "movielens_recall.png"
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7, 4.5))
    ks = np.arange(1, MAX_K + 1)
    for name, curve in curves.items():
        ax.plot(ks, curve, label=name, linestyle="--" if name == "MostPopular" else "-")
    ax.set_xlabel("k")
    ax.set_ylabel("recall@k")
    ax.set_title("MovieLens latest-small: recall@k on each user's latest 20% of ratings")
    ax.grid(alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(chart, dpi=120)
    print(f"chart written to {chart}")


if __name__ == "__main__":
    main()
