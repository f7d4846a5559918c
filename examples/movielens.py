"""End-to-end example on the bundled MovieLens ratings.

A ratings table with raw ids goes in; each user's latest ratings are held out; ItemCF, UserCF
and Swing are fitted and evaluated against a most-popular baseline; the recall@k curves are
charted; every recommender is saved, loaded back and checked to recommend the same lists; and
the held-out ratings are folded into one model with `partial_fit`.

    python3 examples/movielens.py [--out DIR] [--threads N]
"""

from __future__ import annotations

import argparse
import pathlib
import tempfile

import numpy as np
import pandas as pd
from quibrel.evaluation import evaluate, filter_unknown, recall_at_k, time_split
from quibrel.recommenders import (
    ItemCFRecommender,
    Recommender,
    SwingRecommender,
    UserCFRecommender,
    load,
)

HERE = pathlib.Path(__file__).resolve().parent
RATINGS = HERE.parent / "data" / "ml-latest-small" / "ratings.csv"
K = 10
MAX_K = 50


def popular_baseline(train: pd.DataFrame, users: np.ndarray, n: int) -> pd.DataFrame:
    """The n most-rated movies each user has not rated, in the recommenders' table form."""
    popular = train["item"].value_counts().index.to_numpy()
    seen = set(zip(train["user"], train["item"], strict=True))
    rows = []
    for user in users:
        picks = [item for item in popular[: n + 500] if (user, item) not in seen][:n]
        rows += [(user, item, float(n - r), r + 1) for r, item in enumerate(picks)]
    return pd.DataFrame(rows, columns=["user", "item", "score", "rank"])


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--out", type=pathlib.Path, default=HERE.parent / "out")
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args()

    ratings = pd.read_csv(RATINGS).rename(columns={"userId": "user", "movieId": "item"})
    train, test = time_split(ratings, 0.2)  # each user's latest 20% of ratings
    test = filter_unknown(test, train)  # a model can only recommend movies it has seen
    print(f"{len(train):,} training and {len(test):,} held-out ratings")

    itemcf = ItemCFRecommender(k_sim=40, num_threads=args.threads)
    recommenders: dict[str, Recommender] = {
        "ItemCF": itemcf,
        "UserCF": UserCFRecommender(k_sim=40, num_threads=args.threads),
        "Swing": SwingRecommender(top_k=100, num_threads=args.threads),
    }
    users = test["user"].unique()
    lists: dict[str, pd.DataFrame] = {}
    for name, rec in recommenders.items():
        rec.fit(train, value_col="rating")
        lists[name] = rec.recommend(users, n=MAX_K)
    lists["MostPopular"] = popular_baseline(train, users, MAX_K)

    catalogue = train["item"].unique()
    print(
        f"\n{'model':<12}" + "".join(f"{m + f'@{K}':>16}" for m in ("precision", "recall")), end=""
    )
    print(f"{'ndcg@' + str(K):>16}{'coverage':>16}")
    for name, recs in lists.items():
        scores = evaluate(recs, test, k=K, catalogue=catalogue)
        print(f"{name:<12}" + "".join(f"{scores[m]:>16.4f}" for m in scores))

    print("\nMovies most similar to movie 1 (Toy Story) by ItemCF:")
    print(itemcf.similar_items(1, n=5).to_string(index=False))

    # Save and load every recommender; the loaded one must recommend the same lists.
    with tempfile.TemporaryDirectory() as tmp:
        for name, rec in recommenders.items():
            path = pathlib.Path(tmp) / f"{name}.quibrel"
            rec.save(path)
            same = load(path).recommend(users, n=MAX_K).equals(lists[name])
            print(f"{name}: the loaded recommender gives the same lists: {same}")
            if not same:
                raise SystemExit(f"{name} changed after a save and load")

    # New ratings arrive: fold the held-out ratings into ItemCF.
    itemcf.partial_fit(test, value_col="rating")
    print(f"\nafter partial_fit: {itemcf!r}")

    args.out.mkdir(parents=True, exist_ok=True)
    chart = args.out / "movielens_recall.png"
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7, 4.5))
    ks = np.arange(1, MAX_K + 1, 3)
    for name, recs in lists.items():
        curve = [recall_at_k(recs, test, k=int(k)) for k in ks]
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
