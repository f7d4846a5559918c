"""SHA-256 of the decompressed body of model files built on fixed data.

A refactoring of the core must leave every digest unchanged. The worker pool is sized once per
process, so each thread count runs in its own process:

    PYTHONPATH=build/dev python3 tools/model_digests.py              # 1 and 2 threads
    PYTHONPATH=build/dev python3 tools/model_digests.py --sets tiny  # one data set

Data: the bundled MovieLens ratings (dense ids, as tests/conftest.py maps them) and the seeded
sets "tiny" and "synthetic-2.5m" of benchmarks/datagen.py (UserCF only on the first two).
"""

from __future__ import annotations

import argparse
import gzip
import hashlib
import os
import pathlib
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
SETS = ["movielens", "tiny", "synthetic-2.5m"]
SWING_CACHES = [0, 5_000, 10**12]
# UserCF's full lists on the large set take more memory (over 20 GB) than a shared machine has.
SKIP = {"synthetic-2.5m": ("user_cf-forward", "user_cf-invert")}


def interactions(m):
    import numpy as np
    import scipy.sparse as sp

    class Interactions:
        pass

    m = sp.csr_matrix(m)
    m.sort_indices()
    obj = Interactions()
    obj.sparse_indices = m.indices.astype(np.int32)
    obj.sparse_indptr = m.indptr.astype(np.int64)
    obj.sparse_data = m.data.astype(np.float32)
    return obj


def body_digest(save, model, directory: str) -> str:
    name = "model"
    save(model, directory, name)
    (path,) = list(pathlib.Path(directory).iterdir())
    digest = hashlib.sha256(gzip.decompress(path.read_bytes())).hexdigest()
    path.unlink()
    return digest


def build_cf(cls, invert, n_users, n_items, users, items, threads):
    model = cls("ranking", 50, n_users, n_items, 0, users, items, {}, 0.0)
    model.compute_similarities(invert, threads)
    return model


def build_swing(cls, cache, n_users, n_items, users, items, threads):
    model = cls(10, 1.0, cache, n_users, n_items, users, items, {}, 0.0)
    model.compute_swing(threads)
    return model


def worker(sets: list[str], threads: int, only: list[str]) -> None:
    # The engine prints its timing lines on file descriptor 1: keep them out of the report.
    report = os.fdopen(os.dup(1), "w")
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    sys.path.insert(0, str(ROOT / "benchmarks"))
    import datagen
    import quibrel

    for name in sets:
        x = datagen.load(name).tocsr()
        n_users, n_items = x.shape
        users, items = interactions(x), interactions(x.T.tocsr())
        shape = (n_users, n_items, users, items)
        runs = [
            ("item_cf-forward", quibrel.save_item_cf, build_cf, (quibrel.ItemCF, False)),
            ("item_cf-invert", quibrel.save_item_cf, build_cf, (quibrel.ItemCF, True)),
            ("user_cf-forward", quibrel.save_user_cf, build_cf, (quibrel.UserCF, False)),
            ("user_cf-invert", quibrel.save_user_cf, build_cf, (quibrel.UserCF, True)),
        ]
        runs += [
            (f"swing-cache-{cache}", quibrel.save_swing, build_swing, (quibrel.Swing, cache))
            for cache in SWING_CACHES
        ]
        for label, save, build, extra in runs:
            if label in SKIP.get(name, ()) or (only and not label.startswith(tuple(only))):
                continue
            with tempfile.TemporaryDirectory() as d:
                start = time.perf_counter()
                model = build(*extra, *shape, threads)
                elapsed = time.perf_counter() - start
                digest = body_digest(save, model, d)
            line = f"{name:16} {label:22} threads={threads} {digest}  ({elapsed:.2f} s)"
            print(line, file=report, flush=True)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sets", nargs="+", default=SETS, choices=SETS)
    ap.add_argument("--threads", nargs="+", type=int, default=[1, 2])
    ap.add_argument("--only", nargs="+", default=[], help="models whose label starts so")
    ap.add_argument("--worker", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker is not None:
        worker(args.sets, args.worker, args.only)
        return
    for threads in args.threads:
        cmd = [sys.executable, __file__, "--worker", str(threads), "--sets", *args.sets]
        if args.only:
            cmd += ["--only", *args.only]
        subprocess.run(cmd, check=True, env=os.environ.copy())


if __name__ == "__main__":
    main()
