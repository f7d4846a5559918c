"""One machine at scale: full and kept fits, the memory estimate, files and serving.

    python benchmarks/bench_scale.py --dataset synthetic-2.5m      # a quick check
    python benchmarks/bench_scale.py                               # ml20m-shaped, 20 M rows

Every step runs in a process of its own on the same data (generated once and written to a
temporary .npz), so that each has its own worker pool and its own peak memory: `peak` is the
process's VmHWM, `extra` that less the resident set once the data was in place.

Steps:
- ItemCF fit in full (memory checked first, as by default), and with keep=--keep;
- UserCF fit with keep=--keep (its full state is only estimated: the estimate and whether a
  full fit would be refused here are printed, and the full fit is not run);
- the estimate itself, timed: from the upper bound alone when that fits, and sampled (as when
  it does not);
- save of each fitted model; in a fresh process, load and recommend for --users users;
- Swing with each item's users capped at --swing-cap (default 1000), its engine computation timed
  apart from the preparation before it;
- implicit's CosineRecommender(K=--keep) fit and recommend on the same matrix, if installed.

Ratios are printed against the kept ItemCF fit, in the same run; the load average is printed
before and after.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np
import scipy.sparse as sp

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)


def status() -> dict[str, int]:
    fields = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                fields[key] = int(value.split()[0]) * 1024
    return fields


def reset_peak() -> int:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    return status()["VmRSS"]


def users_to_serve(x: sp.csr_matrix, count: int) -> np.ndarray:
    rng = np.random.default_rng(1)
    return np.sort(rng.choice(x.shape[0], size=min(count, x.shape[0]), replace=False))


# ---- steps, one per process ----------------------------------------------------------------


def step_fit(x: sp.csr_matrix, args: argparse.Namespace, model: str, keep: int | None) -> dict:
    from quibrel.recommenders import ItemCFRecommender, UserCFRecommender

    cls = ItemCFRecommender if model == "ItemCF" else UserCFRecommender
    rec = cls(k_sim=args.keep, num_threads=args.threads or None)
    base = reset_peak()
    t = time.perf_counter()
    rec.fit(x, keep=keep)
    out = {"seconds": time.perf_counter() - t, "peak": status()["VmHWM"], "base": base}
    path = os.path.join(args.workdir, f"{model}-{keep or 'full'}.qbr")
    t = time.perf_counter()
    rec.save(path)
    out["save_seconds"] = time.perf_counter() - t
    out["file_bytes"] = os.path.getsize(path)
    return out


def step_serve(x: sp.csr_matrix, args: argparse.Namespace, model: str, keep: int | None) -> dict:
    from quibrel.recommenders import load

    path = os.path.join(args.workdir, f"{model}-{keep or 'full'}.qbr")
    base = reset_peak()
    t = time.perf_counter()
    rec = load(path)
    out = {"seconds": time.perf_counter() - t, "base": base}
    users = users_to_serve(x, args.users)
    t = time.perf_counter()
    recs = rec.recommend(users, n=10)
    out["recommend_seconds"] = time.perf_counter() - t
    out["rows"] = len(recs)
    out["peak"] = status()["VmHWM"]
    os.remove(path)
    return out


def step_estimate(x: sp.csr_matrix, args: argparse.Namespace, model: str, keep: None) -> dict:
    from quibrel import _memory
    from quibrel._data import Interactions
    from quibrel.recommenders import ItemCFRecommender, UserCFRecommender

    rec = (ItemCFRecommender if model == "ItemCF" else UserCFRecommender)(
        num_threads=args.threads or None
    )
    by_user, by_item = Interactions(x), Interactions(x.T.tocsr())
    engine = rec._new_engine_model(x.shape[0], x.shape[1], by_user, by_item)
    forward, other = rec._list_sides(by_user, by_item)
    room = _memory.available_bytes() or 0
    threads = rec._threads()
    t = time.perf_counter()
    quick = _memory.estimate_state(
        lambda: engine, forward, other, True, threads, _memory.MARGIN * room
    )
    quick_s = time.perf_counter() - t
    t = time.perf_counter()
    sampled = _memory.estimate_state(lambda: engine, forward, other, True, threads, 0)
    sampled_s = time.perf_counter() - t
    return {
        "available": room,
        "bound": sampled.bound,
        "estimate": sampled.bytes,
        "sampled_entities": sampled.sampled,
        "entities": forward.sparse_indptr.size - 1,
        "used_sample": quick.sampled > 0,
        "check_seconds": quick_s,
        "sampled_seconds": sampled_s,
        "refused": quick.bytes > _memory.MARGIN * room,
    }


def step_implicit(x: sp.csr_matrix, args: argparse.Namespace, model: str, keep: None) -> dict:
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    from implicit.nearest_neighbours import CosineRecommender

    rec = CosineRecommender(K=args.keep, num_threads=args.threads)
    base = reset_peak()
    t = time.perf_counter()
    rec.fit(x, show_progress=False)
    out = {"seconds": time.perf_counter() - t, "peak": status()["VmHWM"], "base": base}
    users = users_to_serve(x, args.users)
    t = time.perf_counter()
    rec.recommend(users, x[users], N=10, filter_already_liked_items=True)
    out["recommend_seconds"] = time.perf_counter() - t
    return out


def step_swing(x: sp.csr_matrix, args: argparse.Namespace, model: str, cap: int | None) -> dict:
    from quibrel import recommenders

    rec = recommenders.SwingRecommender(
        top_k=args.keep, max_users_per_item=cap, num_threads=args.threads or None
    )
    # The engine's share of the fit, apart from the id maps, matrices and sampling before it.
    compute = rec._compute
    engine: list[float] = []

    def timed(model: object) -> None:
        t = time.perf_counter()
        compute(model)
        engine.append(time.perf_counter() - t)

    rec._compute = timed  # type: ignore[method-assign]
    base = reset_peak()
    t = time.perf_counter()
    rec.fit(x)
    out = {"seconds": time.perf_counter() - t, "engine_seconds": engine[0]}
    return {**out, "peak": status()["VmHWM"], "base": base}


STEPS = {
    "fit": step_fit,
    "serve": step_serve,
    "estimate": step_estimate,
    "implicit": step_implicit,
    "swing": step_swing,
}


def run_step(args: argparse.Namespace, step: str, model: str, keep: int | None) -> dict:
    command = [sys.executable, __file__, "--step", step, model, str(keep or 0)]
    command += ["--npz", args.npz, "--workdir", args.workdir, "--keep", str(args.keep)]
    command += ["--threads", str(args.threads), "--users", str(args.users)]
    proc = subprocess.run(
        command,
        capture_output=True,
        text=True,
        cwd=HERE,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
    )
    if proc.returncode != 0:
        tail = (proc.stderr.strip().splitlines() or ["?"])[-1]
        return {"error": tail}
    result: dict = json.loads(proc.stdout.strip().splitlines()[-1])
    return result


# ---- the driver ----------------------------------------------------------------------------


def mib(n: float) -> str:
    return f"{n / 2**20:,.0f} MiB"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dataset", default="ml20m-shaped")
    parser.add_argument("--keep", type=int, default=100, help="keep=, k_sim= and implicit's K")
    parser.add_argument("--threads", type=int, default=0, help="0: every core")
    parser.add_argument("--users", type=int, default=100_000, help="users to recommend for")
    parser.add_argument("--skip", nargs="*", default=[], choices=["full", "kept", "implicit"])
    parser.add_argument(
        "--swing-cap", type=int, default=1000, help="Swing's max_users_per_item (0: no Swing fit)"
    )
    parser.add_argument("--step", nargs=3, help=argparse.SUPPRESS)
    parser.add_argument("--npz", help=argparse.SUPPRESS)
    parser.add_argument("--workdir", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.step:
        step, model, keep = args.step
        x = sp.load_npz(args.npz).tocsr()
        result = STEPS[step](x, args, model, int(keep) or None)
        print(json.dumps(result))
        return

    import datagen

    print(f"load average before: {os.getloadavg()}")
    t = time.perf_counter()
    x = datagen.load(args.dataset).tocsr()
    print(f"{args.dataset}: {datagen.describe(x)} (generated in {time.perf_counter() - t:.1f} s)")
    with tempfile.TemporaryDirectory() as workdir:
        args.workdir = workdir
        args.npz = os.path.join(workdir, "data.npz")
        sp.save_npz(args.npz, x, compressed=False)
        del x
        k = args.keep
        rows: list[tuple[str, dict]] = []
        for model in ("ItemCF", "UserCF"):
            est = run_step(args, "estimate", model, None)
            rows.append((f"{model} full: memory estimate", est))
        if "full" not in args.skip:
            rows.append(("ItemCF fit full", run_step(args, "fit", "ItemCF", None)))
            rows.append(("ItemCF full: load + recommend", run_step(args, "serve", "ItemCF", None)))
        if "kept" not in args.skip:
            rows.append((f"ItemCF fit keep={k}", run_step(args, "fit", "ItemCF", k)))
            rows.append(
                (f"ItemCF keep={k}: load + recommend", run_step(args, "serve", "ItemCF", k))
            )
            rows.append((f"UserCF fit keep={k}", run_step(args, "fit", "UserCF", k)))
            rows.append(
                (f"UserCF keep={k}: load + recommend", run_step(args, "serve", "UserCF", k))
            )
        if args.swing_cap:
            cap = args.swing_cap
            rows.append((f"Swing fit, {cap} users per item", run_step(args, "swing", "Swing", cap)))
        if "implicit" not in args.skip:
            try:
                import implicit  # noqa: F401

                rows.append(
                    (f"implicit CosineRecommender K={k}", run_step(args, "implicit", "", None))
                )
            except ImportError:
                print("implicit is not installed: no comparison with it")
    report(rows, args)
    print(f"load average after: {os.getloadavg()}")


def report(rows: list[tuple[str, dict]], args: argparse.Namespace) -> None:
    results = dict(rows)
    anchor = results.get(f"ItemCF fit keep={args.keep}", {})
    print(f"\nthreads: {args.threads or os.cpu_count()}; users served: {args.users:,}")
    for name, r in rows:
        if "error" in r:
            print(f"{name:42} failed: {r['error']}")
        elif "estimate" in r:
            sample = (
                f"sampled {r['sampled_entities']:,} of {r['entities']:,} entities in "
                f"{r['sampled_seconds']:.2f} s"
            )
            verdict = "refused" if r["refused"] else "allowed"
            print(
                f"{name:42} {mib(r['estimate'])} (upper bound {mib(r['bound'])}; {sample}); "
                f"available {mib(r['available'])}: {verdict}, the check took "
                f"{r['check_seconds']:.2f} s{' with a sample' if r['used_sample'] else ''}"
            )
        else:
            line = f"{name:42} {r['seconds']:8.2f} s  peak {mib(r['peak'])} "
            line += f"(+{mib(r['peak'] - r['base'])})"
            if "engine_seconds" in r:
                line += f"  (engine {r['engine_seconds']:.2f} s)"
            if "recommend_seconds" in r:
                line += f"  recommend {r['recommend_seconds']:.2f} s"
            if "save_seconds" in r:
                line += f"  save {r['save_seconds']:.2f} s, {mib(r['file_bytes'])}"
            print(line)
    if "seconds" in anchor:
        print("\nratios to the kept ItemCF fit (time, extra memory):")
        for name, r in rows:
            if "seconds" in r and ("fit" in name or "implicit" in name):
                extra = (r["peak"] - r["base"]) / max(anchor["peak"] - anchor["base"], 1)
                print(f"  {name:40} {r['seconds'] / anchor['seconds']:6.2f}x  {extra:6.2f}x")
    full = results.get("ItemCF fit full", {})
    est = results.get("ItemCF full: memory estimate", {})
    if "seconds" in full and "estimate" in est and "seconds" in anchor:
        # The kept fit reads and converts the same input: what the full one holds beyond it
        # is its state.
        state = (full["peak"] - full["base"]) - (anchor["peak"] - anchor["base"])
        print(
            f"\nItemCF full: estimated state {mib(est['estimate'])}, measured (extra peak less "
            f"the kept fit's) {mib(state)}, estimate / measured {est['estimate'] / state:.2f}; "
            "sampled "
            f"estimate took {est['sampled_seconds'] / full['seconds']:.1%} of the fit's time, "
            f"the default check {est['check_seconds'] / full['seconds']:.1%}"
        )


if __name__ == "__main__":
    main()
