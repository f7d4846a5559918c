"""Seeded implicit-feedback data for the benchmarks.

Item popularity follows a power law and user activity is log-normal (heavy
tailed), which is what makes neighbour computations expensive in practice: a
few very active users create most co-occurring pairs and a few popular items
have very long neighbour lists.

    from datagen import load
    x = load("synthetic-20k")          # scipy CSR, users x items, float32
"""

from __future__ import annotations

import argparse
import csv
import pathlib
from dataclasses import dataclass

import numpy as np
import scipy.sparse as sp

ROOT = pathlib.Path(__file__).resolve().parent.parent
MOVIELENS = ROOT / "data" / "ml-latest-small" / "ratings.csv"


@dataclass(frozen=True)
class Preset:
    n_users: int
    n_items: int
    n_interactions: int
    item_exponent: float  # popularity of the item at rank r is proportional to r ** -exponent
    activity_sigma: float  # sigma of the log-normal number of interactions per user
    seed: int
    min_activity: int = 1  # interactions per user, at least
    max_activity: int | None = None  # and at most (None: half the catalogue)


PRESETS = {
    # About 5 M interactions; the pair work is of the order of 10^9 row updates.
    "synthetic-20k": Preset(100_000, 20_000, 5_000_000, 0.8, 1.5, 20),
    # A large catalogue with sparse users: the item count, not the pair work,
    # dominates (n^2 pair candidates for the forward path).
    "catalog-200k": Preset(50_000, 200_000, 1_000_000, 0.9, 1.0, 200),
    # About 2.5 M interactions on a mid-sized catalogue: the library's overhead benchmark.
    "synthetic-2.5m": Preset(60_000, 12_000, 2_500_000, 0.8, 1.3, 25),
    # The shape of MovieLens 20M (138,493 users x 26,744 movies, 20.0 M ratings, at least 20
    # and at most 9,254 per user; F. M. Harper and J. A. Konstan, ACM TiiS 5(4), 2015), drawn:
    # Zipf-like popularity, log-normal activity. Its full user-user state does not fit in memory.
    "ml20m-shaped": Preset(138_000, 27_000, 20_000_000, 0.9, 1.2, 2015, 20, 9_000),
    # Small enough for a quick check of the scripts.
    "tiny": Preset(2_000, 1_000, 40_000, 0.8, 1.2, 1),
}


def generate(p: Preset) -> sp.csr_matrix:
    """Users x items CSR (float32): value = number of times the pair was drawn."""
    # Repeated draws of a pair collapse into one entry; draw more until the
    # distinct count is close to the target.
    scale = 1.0
    for _ in range(4):
        m = _draw(p, scale)
        if m.nnz >= 0.98 * p.n_interactions:
            break
        scale *= p.n_interactions / m.nnz
    return m


def _draw(p: Preset, scale: float) -> sp.csr_matrix:
    rng = np.random.default_rng(p.seed)
    # Heavy-tailed activity: log-normal counts scaled to the target total, each user between
    # the preset's bounds (by default at least 1 and at most half the catalogue).
    activity = rng.lognormal(mean=0.0, sigma=p.activity_sigma, size=p.n_users)
    counts = np.round(activity / activity.sum() * p.n_interactions * scale).astype(np.int64)
    most = p.n_items // 2 if p.max_activity is None else p.max_activity
    counts = np.clip(counts, p.min_activity, most)
    # Power-law popularity over a random permutation of item ids, so that id
    # order says nothing about popularity.
    popularity = np.arange(1, p.n_items + 1, dtype=np.float64) ** -p.item_exponent
    popularity /= popularity.sum()
    item_of_rank = rng.permutation(p.n_items)

    users = np.repeat(np.arange(p.n_users, dtype=np.int32), counts)
    ranks = rng.choice(p.n_items, size=users.size, p=popularity)
    items = item_of_rank[ranks].astype(np.int32)
    data = np.ones(users.size, dtype=np.float32)
    # Repeated draws of a pair add up, like repeated plays or clicks.
    m = sp.csr_matrix((data, (users, items)), shape=(p.n_users, p.n_items), dtype=np.float32)
    m.sum_duplicates()
    m.sort_indices()
    return m


def movielens(path: pathlib.Path = MOVIELENS) -> sp.csr_matrix:
    """ml-latest-small ratings as users x items CSR with dense ids."""
    users, items, ratings = [], [], []
    with open(path, newline="") as f:
        reader = csv.reader(f)
        next(reader)
        for u, i, r, _ in reader:
            users.append(int(u))
            items.append(int(i))
            ratings.append(float(r))
    _, u_ids = np.unique(users, return_inverse=True)
    _, i_ids = np.unique(items, return_inverse=True)
    m = sp.csr_matrix(
        (np.array(ratings, dtype=np.float32), (u_ids, i_ids)),
        shape=(u_ids.max() + 1, i_ids.max() + 1),
        dtype=np.float32,
    )
    m.sort_indices()
    return m


def load(name: str) -> sp.csr_matrix:
    if name == "movielens":
        return movielens()
    return generate(PRESETS[name])


def describe(m: sp.csr_matrix) -> str:
    per_user = np.diff(m.indptr)
    per_item = np.bincount(m.indices, minlength=m.shape[1])
    pair_updates = int((per_user.astype(np.int64) * (per_user - 1) // 2).sum())
    return (
        f"{m.shape[0]:,} users x {m.shape[1]:,} items, {m.nnz:,} interactions; "
        f"per user median {int(np.median(per_user))} max {per_user.max()}; "
        f"per item median {int(np.median(per_item))} max {per_item.max()}; "
        f"item-item pair updates {pair_updates:,}"
    )


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("dataset", choices=["movielens", *PRESETS])
    args = parser.parse_args()
    print(describe(load(args.dataset)))
