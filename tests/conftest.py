"""Shared helpers: interaction objects in the form the models read."""

from __future__ import annotations

import numpy as np
import pytest
import scipy.sparse as sp


class Interactions:
    """Any object with these three attributes is an interaction matrix."""

    def __init__(self, indices, indptr, data):
        self.sparse_indices = indices
        self.sparse_indptr = indptr
        self.sparse_data = data


def from_csr(m: sp.csr_matrix) -> Interactions:
    m = sp.csr_matrix(m)
    m.sort_indices()
    return Interactions(
        m.indices.astype(np.int32), m.indptr.astype(np.int64), m.data.astype(np.float32)
    )


def from_rows(rows: list[dict[int, float]]) -> Interactions:
    """Rows given as {column: value} dicts, columns kept in the given order."""
    indices, indptr, data = [], [0], []
    for row in rows:
        for col, val in row.items():
            indices.append(col)
            data.append(val)
        indptr.append(len(indices))
    return Interactions(indices, indptr, data)


def both_orientations(user_item: sp.spmatrix) -> tuple[Interactions, Interactions]:
    """(user_interactions, item_interactions) for a users x items matrix."""
    m = sp.csr_matrix(user_item, dtype=np.float32)
    return from_csr(m), from_csr(m.T.tocsr())


def random_interactions(n_users, n_items, density, seed=0, values="ratings"):
    rng = np.random.default_rng(seed)
    mask = rng.random((n_users, n_items)) < density
    if values == "ones":
        vals = np.ones(mask.sum(), dtype=np.float32)
    else:
        vals = rng.integers(1, 11, size=mask.sum()).astype(np.float32) / 2
    rows, cols = np.nonzero(mask)
    return sp.csr_matrix((vals, (rows, cols)), shape=(n_users, n_items), dtype=np.float32)


@pytest.fixture(scope="session")
def movielens():
    """The bundled MovieLens ratings as a users x items CSR matrix (dense ids)."""
    import csv
    import pathlib

    here = pathlib.Path(__file__).resolve().parent.parent
    path = here / "data" / "ml-latest-small" / "ratings.csv"
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
    return sp.csr_matrix(
        (np.array(ratings, dtype=np.float32), (u_ids, i_ids)),
        shape=(u_ids.max() + 1, i_ids.max() + 1),
        dtype=np.float32,
    )


def run_python(code: str, env: dict | None = None, timeout: float = 300):
    """Runs code in a fresh interpreter that imports the same quibrel and conftest."""
    import os
    import pathlib
    import subprocess
    import sys

    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = os.pathsep.join(
        [str(pathlib.Path(__file__).parent)] + [p for p in sys.path if p]
    )
    if env:
        full_env.update(env)
    return subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=full_env,
        timeout=timeout,
    )
