"""Item-item cosine: quibrel against implicit and scipy on the same data.

Each measurement runs in its own subprocess, so that the worker pool is sized
afresh for each thread count (the pool is fixed by the first parallel loop of a
process) and so that peak memory (ru_maxrss) belongs to one library alone.

    python benchmarks/bench_cosine.py --dataset movielens
    python benchmarks/bench_cosine.py --dataset synthetic-20k --threads 1 2
    python benchmarks/bench_cosine.py --dataset movielens --repeat 5

Figures are wall-clock seconds on the data of the chosen preset: the median of
--repeat runs of each measurement, taken in rotating order.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import resource
import statistics
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
    """Peak resident memory of this process in MiB.

    VmHWM belongs to the current address space only; ru_maxrss also carries the
    parent's resident size at fork, which would charge the driver's copy of the
    data to every worker.
    """
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024  # KiB on Linux


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


def new_interactions(x: sp.csr_matrix, count: int, seed: int) -> sp.csr_matrix:
    """`count` user-item pairs that x does not hold yet, value 1."""
    rng = np.random.default_rng(seed)
    users = rng.integers(0, x.shape[0], size=count * 2)
    items = rng.integers(0, x.shape[1], size=count * 2)
    fresh = np.asarray(x[users, items]).ravel() == 0
    users, items = users[fresh][:count], items[fresh][:count]
    return sp.csr_matrix(
        (np.ones(users.size, dtype=np.float32), (users, items)), shape=x.shape, dtype=np.float32
    )


CPU = {}


def timed(fn, label=None):
    """Wall-clock seconds of fn(); CPU seconds of the process go to CPU[label]."""
    cpu = time.process_time()
    start = time.perf_counter()
    out = fn()
    wall = time.perf_counter() - start
    if label:
        CPU[label] = time.process_time() - cpu
    return wall, out


# --- workers (one per subprocess) -----------------------------------------------------


def worker_quibrel(x, args):
    import quibrel

    n_users, n_items = x.shape
    result = {}
    convert_s, model = timed(
        lambda: quibrel.ItemCF(
            "ranking",
            args.k,
            n_users,
            n_items,
            1,
            interactions(x),
            interactions(x.T.tocsr()),
            {},
            0.0,
        )
    )
    result["convert_s"] = convert_s
    base = peak_mib()
    try:
        result["fit_s"], _ = timed(
            lambda: model.compute_similarities(args.invert, args.threads), "fit"
        )
    except ValueError as e:
        result["error"] = str(e)
        return result
    result["peak_mib"] = peak_mib()
    result["fit_extra_mib"] = result["peak_mib"] - base
    result["neighbour_entries"] = model.num_sim_elements()
    if not args.serving:
        return result

    rng = np.random.default_rng(1)
    users = rng.integers(0, n_users, size=args.pairs).tolist()
    items = rng.integers(0, n_items, size=args.pairs).tolist()
    result["predict_s"], _ = timed(lambda: model.predict(users, items), "predict")
    batch = rng.choice(n_users, size=min(args.batch, n_users), replace=False)
    consumed = {int(u): x.indices[x.indptr[u] : x.indptr[u + 1]].tolist() for u in batch}
    model.user_consumed = consumed
    result["recommend_s"], recs = timed(
        lambda: model.recommend(batch.tolist(), args.n_rec, True, False), "recommend"
    )
    result["recommend_users_without"] = len(recs[1])

    new = new_interactions(x, args.updates, seed=2)
    result["update_s"], _ = timed(
        lambda: model.update_similarities(interactions(new), interactions(new.T.tocsr())),
        "update",
    )
    return result


def worker_implicit(x, args):
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    from implicit.nearest_neighbours import CosineRecommender

    model = CosineRecommender(K=args.k, num_threads=args.threads)
    base = peak_mib()
    fit_s, _ = timed(lambda: model.fit(x, show_progress=False), "fit")
    result = {"fit_s": fit_s, "peak_mib": peak_mib(), "fit_extra_mib": peak_mib() - base}
    result["neighbour_entries"] = int(model.similarity.nnz)
    if args.serving:
        rng = np.random.default_rng(1)
        batch = rng.choice(x.shape[0], size=min(args.batch, x.shape[0]), replace=False)
        result["recommend_s"], _ = timed(
            lambda: model.recommend(batch, x[batch], N=args.n_rec, filter_already_liked_items=True),
            "recommend",
        )
    return result


def worker_scipy(x, args):
    """Full neighbour lists: X^T X, scaled by the norms, each row sorted by similarity."""

    def fit():
        xt = x.T.tocsr()
        gram = (xt @ x).tocsr()
        norms = np.sqrt(gram.diagonal())
        gram.setdiag(0)
        gram.eliminate_zeros()
        rows = np.repeat(np.arange(gram.shape[0]), np.diff(gram.indptr))
        with np.errstate(divide="ignore", invalid="ignore"):
            gram.data /= norms[rows] * norms[gram.indices]
        ids, sims = np.empty_like(gram.indices), np.empty_like(gram.data)
        for r in range(gram.shape[0]):
            s, e = gram.indptr[r], gram.indptr[r + 1]
            order = np.argsort(-gram.data[s:e])
            ids[s:e] = gram.indices[s:e][order]
            sims[s:e] = gram.data[s:e][order]
        return ids, sims

    base = peak_mib()
    fit_s, (ids, _) = timed(fit, "fit")
    return {
        "fit_s": fit_s,
        "peak_mib": peak_mib(),
        "fit_extra_mib": peak_mib() - base,
        "neighbour_entries": int(ids.size),
    }


WORKERS = {"quibrel": worker_quibrel, "implicit": worker_implicit, "scipy": worker_scipy}


def run_worker(args):
    args.threads = args.threads[0]
    x = sp.load_npz(args.data).tocsr().astype(np.float32)
    x.sort_indices()
    result = WORKERS[args.worker](x, args)
    result.update({f"{k}_cpu_s": v for k, v in CPU.items()})
    result["batch"] = min(args.batch, x.shape[0])
    print(RESULT + json.dumps(result), flush=True)


# --- driver -----------------------------------------------------------------------


def spawn(data_path, args, worker, threads, invert=False, serving=False):
    cmd = [
        sys.executable,
        __file__,
        "--worker",
        worker,
        "--data",
        str(data_path),
        "--threads",
        str(threads),
        "--k",
        str(args.k),
        "--batch",
        str(args.batch),
        "--pairs",
        str(args.pairs),
        "--n-rec",
        str(args.n_rec),
        "--updates",
        str(args.updates),
    ]
    if invert:
        cmd.append("--invert")
    if serving:
        cmd.append("--serving")
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS=str(threads))
    try:
        proc = subprocess.run(
            cmd, capture_output=True, text=True, timeout=args.timeout, env=env, check=False
        )
    except subprocess.TimeoutExpired:
        return {"error": f"timeout after {args.timeout}s"}
    for line in proc.stdout.splitlines():
        if line.startswith(RESULT):
            return json.loads(line[len(RESULT) :])
    tail = (proc.stderr or proc.stdout).strip().splitlines()[-3:]
    return {"error": f"exit {proc.returncode}: " + " | ".join(tail)}


def summary(results):
    """Median of each timing over the runs of one measurement; best fit and
    largest peak alongside."""
    failed = [r for r in results if "error" in r]
    if failed:
        return failed[0]
    out = dict(results[0])
    for key in {k for r in results for k in r if k.endswith("_s")}:
        values = [r[key] for r in results if key in r]
        out[key] = statistics.median(values)
    out["fit_best_s"] = min(r["fit_s"] for r in results)
    out["peak_mib"] = max(r["peak_mib"] for r in results)
    out["runs"] = len(results)
    return out


def fmt(seconds):
    return "-" if seconds is None else f"{seconds:8.3f}s"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dataset", default="movielens", choices=["movielens", *datagen.PRESETS])
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--k", type=int, default=100, help="neighbours used when serving")
    parser.add_argument("--batch", type=int, default=10_000, help="users per recommend call")
    parser.add_argument("--pairs", type=int, default=200_000, help="pairs per predict call")
    parser.add_argument("--n-rec", type=int, default=10)
    parser.add_argument("--updates", type=int, default=1_000, help="new interactions")
    parser.add_argument("--timeout", type=int, default=1800)
    parser.add_argument("--skip", nargs="*", default=[], choices=["implicit", "scipy", "invert"])
    parser.add_argument(
        "--repeat", type=int, default=1, help="runs of each measurement; medians are reported"
    )
    # Internal: run one measurement.
    parser.add_argument("--worker", choices=list(WORKERS), help=argparse.SUPPRESS)
    parser.add_argument("--data", help=argparse.SUPPRESS)
    parser.add_argument("--invert", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--serving", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        run_worker(args)
        return

    x = datagen.load(args.dataset)
    print(f"{args.dataset}: {datagen.describe(x)}", flush=True)
    specs = [
        (f"quibrel forward, {t} thread(s)", "quibrel", t, False, i == 0)
        for i, t in enumerate(args.threads)
    ]
    if "invert" not in args.skip:
        specs.append(("quibrel invert, 1 thread", "quibrel", 1, True, False))
    if "implicit" not in args.skip:
        try:
            import implicit  # noqa: F401
        except ImportError:
            print("implicit is not installed: comparing with scipy only")
        else:
            specs += [
                (
                    f"implicit CosineRecommender K={args.k}, {t} thread(s)",
                    "implicit",
                    t,
                    False,
                    i == 0,
                )
                for i, t in enumerate(args.threads)
            ]
    if "scipy" not in args.skip:
        specs.append(("scipy X^T X + per-row sort, 1 thread", "scipy", 1, False, False))
    runs = {label: [] for label, *_ in specs}
    with tempfile.TemporaryDirectory() as tmp:
        data_path = pathlib.Path(tmp) / "x.npz"
        sp.save_npz(data_path, x)
        del x
        # Each round starts one place later, so that no library always runs
        # first (a fresh process's first touches of memory are the slowest).
        for r in range(args.repeat):
            shift = r % len(specs)
            for label, worker, threads, invert, serving in specs[shift:] + specs[:shift]:
                runs[label].append(spawn(data_path, args, worker, threads, invert, serving))
    rows = [(label, summary(runs[label])) for label, *_ in specs]

    ref = rows[0][1].get("fit_s")
    scipy_fit = next((r.get("fit_s") for n, r in rows if n.startswith("scipy")), None)
    print(f"\nload average after the runs: {os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs")
    print(f"medians of {args.repeat} run(s) each; best = fastest wall of those runs")
    print(
        f"\n{'fit':<52} {'wall':>9} {'best':>9} {'CPU':>9} {'vs quibrel 1T':>14}"
        f" {'scipy / this':>13} {'peak RSS':>10} {'list entries':>14}"
    )
    for name, r in rows:
        if "error" in r:
            print(f"{name:<52} {r['error']}")
            continue
        ratio = f"{r['fit_s'] / ref:13.2f}x" if ref else "-"
        vs_scipy = f"{scipy_fit / r['fit_s']:12.2f}x" if scipy_fit else "-"
        print(
            f"{name:<52} {fmt(r['fit_s'])} {fmt(r['fit_best_s'])} {fmt(r.get('fit_cpu_s'))}"
            f" {ratio:>14} {vs_scipy:>13} {r['peak_mib']:8.0f}MiB {r['neighbour_entries']:>14,}"
        )

    q = rows[0][1]
    imp = next((r for n, r in rows if n.startswith("implicit") and "error" not in r), None)
    if "predict_s" in q:
        print(f"\nserving, quibrel k_sim = implicit K = {args.k}   {'wall':>9} {'CPU':>9}")
        serving = [
            (f"quibrel predict, {args.pairs:,} pairs", q, "predict"),
            (f"quibrel recommend, {q['batch']:,} users, n_rec={args.n_rec}", q, "recommend"),
            (f"implicit recommend, {q['batch']:,} users, N={args.n_rec}", imp or {}, "recommend"),
            (f"quibrel update_similarities, {args.updates:,} interactions", q, "update"),
        ]
        for name, r, key in serving:
            if f"{key}_s" in r:
                print(f"{name:<52} {fmt(r[f'{key}_s'])} {fmt(r.get(f'{key}_cpu_s'))}")
        if imp and "recommend_s" in imp:
            print(
                f"recommend wall, quibrel / implicit: {q['recommend_s'] / imp['recommend_s']:.2f}x"
            )
    print(
        "\nNote: implicit keeps only the K best neighbours per item and normalises with its own"
        " rules; quibrel and scipy build every item's full list."
    )


if __name__ == "__main__":
    main()
