"""Exact incremental updates against a fit on the same data.

For each model, in its own subprocess: the data less a few batches of held-out interactions
(drawn uniformly from all interactions, so busy users and popular items come up as often as
they do in the data) is fitted, then each batch is folded in with
quibrel._native.exact_update (route chosen by cost, unless --route says otherwise). Reported:
the fit's time, each update's time and its ratio to the fit, the route taken, the model's
resident memory and the peak during the updates (both above the memory held before the model
was built). With --check every neighbour list of the updated model is compared with those of a
fit on all interactions (ids and scores, bit for bit, in order).

    python benchmarks/bench_exact_update.py --dataset skewed-50k --models item swing
    python benchmarks/bench_exact_update.py --dataset movielens --models item user swing

Times are wall-clock seconds on this machine with --threads workers.
"""

from __future__ import annotations

import argparse
import ctypes
import json
import os
import pathlib
import subprocess
import sys
import time

import numpy as np
import scipy.sparse as sp

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import datagen  # noqa: E402 (found through the path set just above)

RESULT = "RESULT "

# Two sparse catalogues of 2.1 M interactions. skewed-50k: 50,000 items, a popularity
# head (the most popular item has about 10,000 users; flatter than the presets' so that
# Swing fits in minutes). sparse-200k: 200,000 items with a flat popularity (the most
# popular has about 700 users).
PRESETS = {
    "skewed-50k": datagen.Preset(200_000, 50_000, 2_100_000, 0.6, 1.0, 50),
    "sparse-200k": datagen.Preset(200_000, 200_000, 2_100_000, 0.4, 1.0, 51),
}


def load(name: str) -> sp.csr_matrix:
    if name in PRESETS:
        return datagen.generate(PRESETS[name])
    return datagen.load(name)


def rss_mib() -> float:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def peak_mib() -> float:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return 0.0


def reset_peak() -> None:
    # Writing 5 resets the peak resident size to the current one.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def trim() -> None:
    ctypes.CDLL("libc.so.6").malloc_trim(0)


def interactions(m: sp.csr_matrix):
    class Interactions:
        pass

    m = sp.csr_matrix(m, dtype=np.float32)
    m.sort_indices()
    out = Interactions()
    out.sparse_indices = m.indices.astype(np.int32)
    out.sparse_indptr = m.indptr.astype(np.int64)
    out.sparse_data = m.data.astype(np.float32)
    return out


def split(m: sp.csr_matrix, batch: int, batches: int, seed: int):
    """The data less `batches` batches of `batch` held-out interactions, and the batches."""
    coo = m.tocoo()
    rng = np.random.default_rng(seed)
    held = rng.choice(coo.nnz, size=batch * batches, replace=False)
    keep = np.ones(coo.nnz, dtype=bool)
    keep[held] = False

    def part(mask):
        return sp.csr_matrix(
            (coo.data[mask], (coo.row[mask], coo.col[mask])), shape=m.shape, dtype=np.float32
        )

    base = part(keep)
    out = []
    for k in range(batches):
        mask = np.zeros(coo.nnz, dtype=bool)
        mask[held[k * batch : (k + 1) * batch]] = True
        out.append(part(mask))
    return base, out


def build(kind, m):
    import quibrel

    u, i = interactions(m), interactions(m.T.tocsr())
    n_users, n_items = m.shape
    if kind == "swing":
        return quibrel.Swing(20, 1.0, 10_000_000, n_users, n_items, u, i, {}, 0.0)
    cls = quibrel.ItemCF if kind == "item" else quibrel.UserCF
    return cls("ranking", 20, n_users, n_items, 1, u, i, {}, 0.0)


def fit(kind, model, threads):
    from quibrel import _native

    method = model.compute_swing if kind == "swing" else model.compute_similarities
    args = (threads,) if kind == "swing" else (False, threads)
    _native.call(method, args, 0, True, None)


def lists(kind, model, shape):
    """Every entity's whole neighbour list, as (offsets, ids, scores) bytes."""
    from quibrel import _native

    n = shape[0] if kind == "user" else shape[1]
    return _native.neighbours(model, list(range(n)), 1 << 62)


def child(args) -> None:
    from quibrel import _native

    data = load(args.dataset)
    base, batches = split(data, args.batch, args.batches, args.seed)
    trim()
    before_model = rss_mib()
    model = build(args.model, base)
    t = time.perf_counter()
    fit(args.model, model, args.threads)
    fit_s = time.perf_counter() - t
    trim()
    model_mib = rss_mib() - before_model
    updates = []
    for b in batches:
        u, i = interactions(b), interactions(b.T.tocsr())
        trim()
        start_mib = rss_mib()
        reset_peak()
        t = time.perf_counter()
        route = _native.exact_update(model, u, i, route=args.route)
        update_s = time.perf_counter() - t
        updates.append(
            {
                "seconds": update_s,
                "ratio": update_s / fit_s,
                "route": route,
                "peak_over_model": (peak_mib() - before_model) / model_mib,
                "peak_extra_mib": peak_mib() - start_mib,
            }
        )
    result = {
        "dataset": args.dataset,
        "model": args.model,
        "fit_s": fit_s,
        "model_mib": model_mib,
        "updates": updates,
    }
    if args.check:
        got = lists(args.model, model, data.shape)
        del model
        ref = build(args.model, base + sum(batches))
        fit(args.model, ref, args.threads)
        result["equal_to_fit"] = got == lists(args.model, ref, data.shape)
    print(RESULT + json.dumps(result), flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dataset", default="skewed-50k", choices=[*PRESETS, "movielens"])
    parser.add_argument("--models", nargs="+", default=["item", "user", "swing"])
    parser.add_argument("--batch", type=int, default=1000)
    parser.add_argument("--batches", type=int, default=3)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--route", default="auto", choices=["auto", "incremental", "full"])
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--check", action="store_true", help="compare with a fit on all data")
    parser.add_argument("--model", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.model:
        child(args)
        return
    print(datagen.describe(load(args.dataset)))
    for kind in args.models:
        cmd = [sys.executable, __file__, "--model", kind]
        for name in ("dataset", "batch", "batches", "threads", "route", "seed"):
            cmd += [f"--{name}", str(getattr(args, name))]
        if args.check:
            cmd.append("--check")
        env = dict(os.environ, RAYON_NUM_THREADS=str(args.threads))
        out = subprocess.run(cmd, capture_output=True, text=True, env=env)
        lines = [x for x in out.stdout.splitlines() if x.startswith(RESULT)]
        if out.returncode != 0 or not lines:
            print(kind, "failed:", out.stderr[-2000:])
            continue
        r = json.loads(lines[-1][len(RESULT) :])
        print(
            f"{r['dataset']} {kind}: fit {r['fit_s']:.3f} s, model {r['model_mib']:.0f} MiB"
            + (f", equal to a fit: {r['equal_to_fit']}" if "equal_to_fit" in r else "")
        )
        for k, u in enumerate(r["updates"]):
            print(
                f"  batch {k + 1}: {u['seconds'] * 1000:.1f} ms = {100 * u['ratio']:.2f}% of the "
                f"fit ({u['route']}); peak {u['peak_over_model']:.3f}x the model "
                f"(+{u['peak_extra_mib']:.1f} MiB)"
            )


if __name__ == "__main__":
    main()
