"""The engine's ItemCF computation alone: wall and CPU time of compute_similarities.

    PYTHONPATH=build/dev python benchmarks/bench_fit_engine.py --dataset ml20m-shaped
    PYTHONPATH=build/dev python benchmarks/bench_fit_engine.py --users 0.5 --items 0.5 --repeat 3

No library preparation (id maps, memory check): the engine object is built straight from the
matrices, as tools/model_digests.py builds it. --users and --items keep that fraction of a
preset's users and items (and of its interactions), drawn afresh with the preset's other
parameters, for profiling at a smaller scale. On a shared machine the process's CPU time moves
less with the load than the wall time does, so both are printed, with the load average.
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import resource
import sys
import time

import numpy as np
import scipy.sparse as sp

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import datagen  # noqa: E402 (found through the path set just above)


def engine_view(m: sp.csr_matrix):
    class Interactions:
        pass

    m = sp.csr_matrix(m)
    m.sort_indices()
    view = Interactions()
    view.sparse_indices = m.indices.astype(np.int32)
    view.sparse_indptr = m.indptr.astype(np.int64)
    view.sparse_data = m.data.astype(np.float32)
    return view


def data(args: argparse.Namespace) -> sp.csr_matrix:
    if args.users == 1.0 and args.items == 1.0:
        return datagen.load(args.dataset).tocsr()
    if args.dataset == "movielens":
        raise SystemExit("--users and --items scale the generated presets only")
    p = datagen.PRESETS[args.dataset]
    scaled = dataclasses.replace(
        p,
        n_users=max(1, round(p.n_users * args.users)),
        n_items=max(2, round(p.n_items * args.items)),
        n_interactions=max(1, round(p.n_interactions * args.users)),
    )
    return datagen.generate(scaled).tocsr()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--dataset", default="ml20m-shaped", choices=["movielens", *datagen.PRESETS]
    )
    parser.add_argument("--users", type=float, default=1.0, help="fraction of the users kept")
    parser.add_argument("--items", type=float, default=1.0, help="fraction of the items kept")
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--min-common", type=int, default=1)
    parser.add_argument("--repeat", type=int, default=1, help="computations in this process")
    args = parser.parse_args()

    import quibrel

    x = data(args)
    print(datagen.describe(x), flush=True)
    n_users, n_items = x.shape
    users, items = engine_view(x), engine_view(x.T.tocsr())
    for _ in range(args.repeat):
        model = quibrel.ItemCF(
            "ranking", 50, n_users, n_items, args.min_common, users, items, {}, 0.0
        )
        load = os.getloadavg()[0]
        wall, cpu = time.perf_counter(), time.process_time()
        model.compute_similarities(False, args.threads)
        wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
        print(
            f"compute_similarities: wall {wall:.3f} s, CPU {cpu:.3f} s, peak {peak:,.0f} MiB, "
            f"load {load:.2f} -> {os.getloadavg()[0]:.2f}",
            flush=True,
        )
        del model


if __name__ == "__main__":
    main()
