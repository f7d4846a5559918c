"""Swing scores: quibrel against a vectorised numpy/scipy computation of the same scores.

Each measurement runs in its own subprocess, so that the worker pool is sized
afresh for each thread count and peak memory belongs to one computation.

    python benchmarks/bench_swing.py                                   # MovieLens
    python benchmarks/bench_swing.py --dataset synthetic-20k --max-users-per-item 200 \\
        --baseline-items 300

ops is the work of the exact pass: the sum over items of the lengths of the
common-item lists of all user pairs of the item (sum over user pairs of |S|^2).
The cache hit rate is derived for a cache large enough to hold every pair: every
visit after a pair's first one is a hit. On large data the baseline can be run on
a random sample of items; its time is then scaled to all items and marked so.
"""

from __future__ import annotations

import argparse
import gzip
import io
import json
import os
import pathlib
import statistics
import struct
import subprocess
import sys
import tempfile
import time

import numpy as np
import scipy.sparse as sp

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import datagen  # noqa: E402 (found through the path set just above)

RESULT = "RESULT "


def peak_mib() -> float:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def load(args) -> sp.csr_matrix:
    x = datagen.load(args.dataset).tocsr()
    x = sp.csr_matrix((np.ones(x.nnz, np.float32), x.indices, x.indptr), shape=x.shape)
    if args.max_users_per_item:
        # Keep at most this many (seeded, random) users per item, in both orientations.
        rng = np.random.default_rng(7)
        xt = x.T.tocsr()
        rows, cols = [], []
        for i in range(xt.shape[0]):
            users = xt.indices[xt.indptr[i] : xt.indptr[i + 1]]
            if len(users) > args.max_users_per_item:
                users = rng.choice(users, args.max_users_per_item, replace=False)
            rows.append(np.full(len(users), i))
            cols.append(users)
        r, c = np.concatenate(rows), np.concatenate(cols)
        x = sp.csr_matrix((np.ones(len(r), np.float32), (c, r)), shape=x.shape)
    x.sort_indices()
    return x


def interactions(m: sp.csr_matrix):
    class Interactions:
        pass

    m = sp.csr_matrix(m)
    m.sort_indices()
    obj = Interactions()
    obj.sparse_indices = m.indices.astype(np.int32)
    obj.sparse_indptr = m.indptr.astype(np.int64)
    obj.sparse_data = m.data.astype(np.float32)
    return obj


def work_counts(x: sp.csr_matrix, block: int = 500) -> dict:
    """Pair visits, distinct user pairs with a common item, and ops, from X X^T by blocks."""
    per_item = np.diff(x.T.tocsr().indptr).astype(np.int64)
    visits = int((per_item * (per_item - 1) // 2).sum())
    xi = sp.csr_matrix((np.ones(x.nnz, np.int64), x.indices, x.indptr), shape=x.shape)
    xt = xi.T.tocsr()
    pairs = ops = 0
    for start in range(0, x.shape[0], block):
        common = (xi[start : start + block] @ xt).tocoo()
        upper = common.col > common.row + start  # pairs u < v only
        counts = common.data[upper]
        pairs += int(counts.size)
        ops += int((counts * counts).sum())
    return {"visits": visits, "distinct_pairs": pairs, "ops": ops}


# --- the vectorised baseline ---------------------------------------------------------


def baseline_scores(x: sp.csr_matrix, alpha: float, items) -> dict:
    """score(i, j) = sum over user pairs a < b of item i of w_a w_b / (alpha + |S_ab| - 1),
    over the j both users share, j != i; all in f32 with numpy's summation order."""
    xt = x.T.tocsr()
    deg = np.diff(x.indptr).astype(np.float32)
    with np.errstate(divide="ignore"):
        w = (np.float32(1) / np.sqrt(deg)).astype(np.float32)
    alpha = np.float32(alpha)
    out = {}
    for i in items:
        users = xt.indices[xt.indptr[i] : xt.indptr[i + 1]]
        if len(users) < 2:
            continue
        rows = x[users]
        cols = np.unique(rows.indices)
        b = rows[:, cols].toarray()  # k x (items of these users), 0/1
        common = b @ b.T
        with np.errstate(divide="ignore", invalid="ignore"):
            c = np.outer(w[users], w[users]) / (alpha + common - np.float32(1))
        c = np.triu(np.where(common > 0, c, np.float32(0)), 1).astype(np.float32)
        scores = ((c @ b) * b).sum(axis=0)
        scores[cols == i] = 0
        keep = scores != 0
        ids, vals = cols[keep], scores[keep]
        order = np.lexsort((ids, -vals))
        out[int(i)] = (ids[order], vals[order])
    return out


# --- workers (one per subprocess) ----------------------------------------------------


def worker_quibrel(x, args):
    import quibrel

    model = quibrel.Swing(
        10,
        args.alpha,
        args.cache,
        x.shape[0],
        x.shape[1],
        interactions(x),
        interactions(x.T.tocsr()),
        {},
        0.0,
    )
    base = peak_mib()
    cpu, start = time.process_time(), time.perf_counter()
    model.compute_swing(args.threads)
    result = {"wall_s": time.perf_counter() - start, "cpu_s": time.process_time() - cpu}
    result.update(
        peak_mib=peak_mib(), extra_mib=peak_mib() - base, entries=model.num_swing_elements()
    )
    if args.save:
        quibrel.save_swing(model, args.save, "swing")
    return result


def worker_baseline(x, args):
    items = np.arange(x.shape[1])
    active = items[np.diff(x.T.tocsr().indptr) >= 2]
    sample = active
    if args.baseline_items and args.baseline_items < active.size:
        sample = np.random.default_rng(3).choice(active, args.baseline_items, replace=False)
    base = peak_mib()
    cpu, start = time.process_time(), time.perf_counter()
    scores = baseline_scores(x, args.alpha, sample)
    wall, cpu = time.perf_counter() - start, time.process_time() - cpu
    scale = active.size / sample.size
    result = {
        "wall_s": wall * scale,
        "cpu_s": cpu * scale,
        "sampled_items": int(sample.size),
        "active_items": int(active.size),
        "peak_mib": peak_mib(),
        "extra_mib": peak_mib() - base,
    }
    if args.save:
        with open(os.path.join(args.save, "baseline.npz"), "wb") as f:
            np.savez(
                f,
                **{f"{i}_ids": v[0] for i, v in scores.items()},
                **{f"{i}_scores": v[1] for i, v in scores.items()},
            )
    return result


def read_swing_scores(path: str) -> dict:
    f = io.BytesIO(gzip.decompress(pathlib.Path(path).read_bytes()))
    f.read(36)  # top_k, alpha, max_cache_num, n_users, n_items
    (n,) = struct.unpack("<Q", f.read(8))
    out = {}
    for _ in range(n):
        item, length = struct.unpack("<iQ", f.read(12))
        pairs = np.frombuffer(f.read(8 * length), dtype=[("id", "<i4"), ("score", "<f4")])
        out[item] = (pairs["id"].copy(), pairs["score"].copy())
    return out


def compare(quibrel_file: str, baseline_file: str, every_item: bool) -> str:
    ours = read_swing_scores(quibrel_file)
    theirs = np.load(baseline_file)
    items = sorted({int(k.split("_")[0]) for k in theirs.files})
    worst = 0.0
    for i in items:
        ids, vals = theirs[f"{i}_ids"], theirs[f"{i}_scores"]
        got_ids, got_vals = ours.get(i, (np.array([], np.int32), np.array([], np.float32)))
        a, b = np.argsort(ids), np.argsort(got_ids)
        if not np.array_equal(ids[a], got_ids[b]):
            return f"MISMATCH: neighbour ids of item {i} differ"
        if ids.size:
            rel = np.abs(vals[a] - got_vals[b]) / np.abs(vals[a])
            worst = max(worst, float(rel.max()))
    with_lists = {i for i in items if theirs[f"{i}_ids"].size}
    if every_item and set(ours) != with_lists:
        return "MISMATCH: the items that have lists differ"
    return (
        f"equal on {len(items)} items (same neighbours; max relative score difference {worst:.1e})"
    )


def run_worker(args):
    x = load(args)
    fn = {"quibrel": worker_quibrel, "baseline": worker_baseline}[args.worker]
    print(RESULT + json.dumps(fn(x, args)), flush=True)


def spawn(args, worker, threads, cache, save=None):
    cmd = [
        sys.executable,
        __file__,
        "--worker",
        worker,
        "--dataset",
        args.dataset,
        "--threads",
        str(threads),
        "--cache",
        str(cache),
        "--alpha",
        str(args.alpha),
        "--max-users-per-item",
        str(args.max_users_per_item),
        "--baseline-items",
        str(args.baseline_items),
    ]
    if save:
        cmd += ["--save", save]
    env = {**os.environ, "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"}
    out = subprocess.run(cmd, capture_output=True, text=True, env=env)
    for line in out.stdout.splitlines():
        if line.startswith(RESULT):
            return json.loads(line[len(RESULT) :])
    raise RuntimeError(out.stderr[-2000:])


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--dataset", default="movielens", choices=["movielens", *datagen.PRESETS])
    p.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    p.add_argument("--cache", type=int, nargs="+", default=[0, 10**12])
    p.add_argument("--alpha", type=float, default=1.0)
    p.add_argument("--max-users-per-item", type=int, default=0)
    p.add_argument("--baseline-items", type=int, default=0, help="0: every item")
    p.add_argument("--no-baseline", action="store_true")
    p.add_argument("--repeat", type=int, default=1, help="runs of each quibrel configuration")
    p.add_argument("--baseline-repeat", type=int, default=1, help="runs of the baseline")
    p.add_argument("--worker", choices=["quibrel", "baseline"])
    p.add_argument("--save")
    args = p.parse_args()
    if args.worker:
        args.threads, args.cache = args.threads[0], args.cache[0]
        return run_worker(args)

    x = load(args)
    print(datagen.describe(x))
    counts = work_counts(x)
    print(
        f"pair visits {counts['visits']:,}; distinct user pairs {counts['distinct_pairs']:,}; "
        f"ops {counts['ops']:,}; hit rate with a cache holding every pair "
        f"{1 - counts['distinct_pairs'] / max(counts['visits'], 1):.3f}"
    )
    with tempfile.TemporaryDirectory() as tmp:
        base = None
        if not args.no_baseline:
            bases = [spawn(args, "baseline", 1, 0, save=tmp) for _ in range(args.baseline_repeat)]
            base = dict(bases[0])
            for key in ("wall_s", "cpu_s"):
                base[key] = statistics.median(b[key] for b in bases)
            note = (
                f" (scaled from {base['sampled_items']} of {base['active_items']} items)"
                if base["sampled_items"] < base["active_items"]
                else ""
            )
            print(
                f"baseline numpy/scipy, 1 thread, median of {len(bases)}: {base['wall_s']:.2f} s "
                f"wall, {base['cpu_s']:.2f} s cpu{note}; peak {base['peak_mib']:.0f} MiB"
            )
        specs = [(threads, cache) for threads in args.threads for cache in args.cache]
        runs = {spec: [] for spec in specs}
        # Rounds start one place later each time, so that no configuration
        # always runs first; the first run of all saves the file checked below.
        for r in range(args.repeat):
            shift = r % len(specs)
            for threads, cache in specs[shift:] + specs[:shift]:
                save = tmp if r == 0 and (threads, cache) == specs[0] else None
                runs[(threads, cache)].append(spawn(args, "quibrel", threads, cache, save=save))
        if args.repeat > 1:
            print(f"medians of {args.repeat} runs each (best = fastest wall)")
        for i, (threads, cache) in enumerate(specs):
            results = runs[(threads, cache)]
            r = dict(results[0])
            for key in ("wall_s", "cpu_s"):
                r[key] = statistics.median(x[key] for x in results)
            r["peak_mib"] = max(x["peak_mib"] for x in results)
            best = min(x["wall_s"] for x in results)
            ns = r["wall_s"] * threads / max(counts["ops"], 1) * 1e9
            line = (
                f"quibrel threads={threads} max_cache_num={cache}: {r['wall_s']:.3f} s "
                f"wall (best {best:.3f}), {r['cpu_s']:.3f} s cpu, {ns:.2f} ns/op/thread (wall), "
                f"{r['cpu_s'] / max(counts['ops'], 1) * 1e9:.2f} ns/op (cpu); "
                f"peak {r['peak_mib']:.0f} MiB (+{r['extra_mib']:.0f}); "
                f"{r['entries']:,} list entries"
            )
            if base:
                line += (
                    f"; x{base['wall_s'] / r['wall_s']:.1f} wall (best x"
                    f"{base['wall_s'] / best:.1f}), "
                    f"x{base['cpu_s'] / r['cpu_s']:.1f} cpu vs baseline"
                )
            print(line, flush=True)
            if i == 0 and base:
                every = base["sampled_items"] == base["active_items"]
                print(
                    "check:",
                    compare(
                        os.path.join(tmp, "swing.gz"), os.path.join(tmp, "baseline.npz"), every
                    ),
                )


if __name__ == "__main__":
    main()
