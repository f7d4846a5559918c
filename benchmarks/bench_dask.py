"""The distributed fit (quibrel.dask) on a local cluster against the single-process fit.

    python benchmarks/bench_dask.py --dataset synthetic-2.5m --models ItemCF Swing
    python benchmarks/bench_dask.py --dataset movielens --models UserCF --check

Time: `quibrel.dask.fit` on a LocalCluster of --workers worker processes (one thread each),
on a dask DataFrame of the raw-id interactions (--partitions partitions, persisted on the
workers first), against `Recommender.fit` on the same pandas DataFrame with --threads threads
in a process of its own (the worker pool is sized once per process). The two alternate,
--repeat times, so that both see the same load on a shared machine; medians and their ratio
are printed with the load average.

Memory: the state a computation holds beyond its inputs, as the peak resident set (VmHWM,
reset once the inputs are in place) less the resident set at that moment. Single process:
around the engine's computation, in a fresh process whose model holds its matrices. Workers:
around the computation of their ranges, in a fresh cluster whose workers hold the matrices
and the engine model built from them; the ranges' results stay on a worker until the client
has fetched them, so they count. Client: around the gathering and the completion (for the
cosine models, building the lists from the gathered pair records), its model's matrices in
place.

--check compares the distributed model with a local fit bit for bit (their model files).

--worker-malloc glibc starts the workers without the MALLOC_TRIM_THRESHOLD_=65536 Dask's
nanny gives them by default, so that they keep freed memory for reuse as the single process
does (docs/scale.md).
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import time

import dask
import dask.dataframe as dd
import quibrel.dask as qd
from bench_library import frame
from distributed import Client, LocalCluster, wait
from quibrel import _native
from quibrel._data import both_orientations, read_interactions, to_dense
from quibrel._files import engine_bytes
from quibrel._ids import IdMap
from quibrel.recommenders import ItemCFRecommender, SwingRecommender, UserCFRecommender

CLASSES = {"ItemCF": ItemCFRecommender, "UserCF": UserCFRecommender, "Swing": SwingRecommender}
HERE = os.path.dirname(os.path.abspath(__file__))


def resident() -> tuple[int, int]:
    """(VmRSS, VmHWM) of this process, bytes."""
    fields = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                fields[key] = int(value.split()[0]) * 1024
    return fields["VmRSS"], fields["VmHWM"]


def reset_peak() -> int:
    """Resets VmHWM to the current resident set; returns that."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    return resident()[0]


def state_peak(before: int) -> int:
    return resident()[1] - before


def cpu_seconds() -> float:
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


# ---- the single process ------------------------------------------------------------------


def local_time(model: str, dataset: str, threads: int) -> dict:
    df = frame(dataset)
    rec = CLASSES[model](num_threads=threads)
    t, c = time.perf_counter(), cpu_seconds()
    rec.fit(df, value_col="value")
    return {"seconds": time.perf_counter() - t, "cpu": cpu_seconds() - c}


def local_memory(model: str, dataset: str, threads: int) -> dict:
    df = frame(dataset)
    rec = CLASSES[model](num_threads=threads)
    batch = read_interactions(df, "user", "item", "value")
    users, items = IdMap("user"), IdMap("item")
    dense = to_dense(batch, users, items)
    by_user, by_item = both_orientations(dense, len(users), len(items))
    del df, batch, dense
    engine = rec._new_engine_model(len(users), len(items), by_user, by_item)
    _native.pool_size()
    before = reset_peak()
    rec._compute(engine)
    after = resident()[0]
    return {"state_peak": state_peak(before), "state_after": after - before}


def in_own_process(mode: str, model: str, args: argparse.Namespace) -> dict:
    out = subprocess.run(
        [
            sys.executable,
            __file__,
            f"--{mode}",
            model,
            "--dataset",
            args.dataset,
            "--threads",
            str(args.threads),
        ],
        check=True,
        capture_output=True,
        text=True,
        cwd=HERE,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
    )
    return json.loads(out.stdout.strip().splitlines()[-1])


# ---- the cluster -------------------------------------------------------------------------


def cluster(workers: int, worker_malloc: str = "dask") -> tuple[LocalCluster, Client]:
    environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ"))
    if worker_malloc == "glibc":
        # Dask's nanny has the workers' malloc give freed memory back at 64 KiB, which also
        # fixes glibc's mmap threshold at 128 KiB; without it they keep freed memory for
        # reuse, as the single process does.
        environ.pop("MALLOC_TRIM_THRESHOLD_", None)
    with dask.config.set({"distributed.nanny.pre-spawn-environ": environ}):
        c = LocalCluster(
            n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None
        )
    return c, Client(c)


def _build_model(shared) -> None:
    shared.model()


def worker_memory(model: str, ddf_source, args: argparse.Namespace) -> list[dict]:
    c, client = cluster(args.workers, args.worker_malloc)
    try:
        ddf = dd.from_pandas(ddf_source, npartitions=args.partitions).persist()
        wait(ddf)
        rec = CLASSES[model]()
        # As a full fit computes: pair records alone for the cosine models.
        pairs = rec._engine_class != "Swing"
        stage = qd._prepare(client, rec, ddf, "user", "item", "value", pairs=pairs)
        # Every worker holds the matrices and the engine model before the peaks are reset,
        # and so does the client.
        wait(
            [
                client.submit(_build_model, stage.matrices, workers=[w], pure=False)
                for w in client.nthreads()
            ]
        )
        stage.built()
        before = client.run(reset_peak)
        mine = reset_peak()
        qd._gather_lists(client, stage, None, None, None)
        stage.matrices.release()
        peaks = client.run(resident)
        if pairs:
            _native.complete_from_pairs(stage.model, 0)
        else:
            _native.complete_state(stage.model)
        out = [{"worker": w, "state_peak": peaks[w][1] - before[w]} for w in sorted(before)]
        return out + [{"worker": "client", "state_peak": state_peak(mine)}]
    finally:
        client.close()
        c.close()


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--dataset", default="synthetic-2.5m")
    parser.add_argument("--models", nargs="+", default=["ItemCF", "Swing"])
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--partitions", type=int, default=8)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--check", action="store_true")
    parser.add_argument("--worker-malloc", choices=["dask", "glibc"], default="dask")
    parser.add_argument("--local-time", dest="local_time")
    parser.add_argument("--local-memory", dest="local_memory")
    args = parser.parse_args()
    if args.local_time:
        print(json.dumps(local_time(args.local_time, args.dataset, args.threads)))
        return
    if args.local_memory:
        print(json.dumps(local_memory(args.local_memory, args.dataset, args.threads)))
        return

    df = frame(args.dataset)
    print(
        f"{args.dataset}: {len(df):,} interactions; {args.workers} workers x 1 thread against "
        f"1 process x {args.threads} threads; {os.cpu_count()} cores; worker malloc: "
        f"{args.worker_malloc}"
    )
    for name in args.models:
        c, client = cluster(args.workers, args.worker_malloc)
        try:
            ddf = dd.from_pandas(df, npartitions=args.partitions).persist()
            wait(ddf)
            qd.fit(CLASSES[name](), ddf, value_col="value")  # warm-up: imports, pools
            local, distributed, loads, cpu_local, cpu_client, cpu_workers = [], [], [], [], [], []
            for _ in range(args.repeat):
                run = in_own_process("local-time", name, args)
                local.append(run["seconds"])
                cpu_local.append(run["cpu"])
                w0, c0 = client.run(cpu_seconds), cpu_seconds()
                t = time.perf_counter()
                rec = qd.fit(CLASSES[name](), ddf, value_col="value")
                distributed.append(time.perf_counter() - t)
                c1, w1 = cpu_seconds(), client.run(cpu_seconds)
                cpu_client.append(c1 - c0)
                cpu_workers.append(sum(w1[w] - w0[w] for w in w0))
                loads.append(os.getloadavg()[0])
            if args.check:
                ref = CLASSES[name]().fit(df, value_col="value")
                same = engine_bytes(ref._model) == engine_bytes(rec._model) and list(
                    ref.item_ids
                ) == list(rec.item_ids)
                print(f"  {name}: distributed model equals the local fit: {same}")
            del rec
        finally:
            client.close()
            c.close()
        tl, td = statistics.median(local), statistics.median(distributed)
        print(
            f"  {name} fit: single process {tl:.2f} s, distributed {td:.2f} s, ratio "
            f"{td / tl:.2f} (runs: {', '.join(f'{x:.2f}' for x in local)} | "
            f"{', '.join(f'{x:.2f}' for x in distributed)}; load average "
            f"{min(loads):.1f}-{max(loads):.1f})"
        )
        print(
            f"  {name} processor time (medians): single process "
            f"{statistics.median(cpu_local):.2f} s; distributed: client "
            f"{statistics.median(cpu_client):.2f} s + workers "
            f"{statistics.median(cpu_workers):.2f} s"
        )
        single = in_own_process("local-memory", name, args)
        *workers, mine = worker_memory(name, df, args)
        mib = 1 << 20
        print(
            f"  {name} state: single process peak {single['state_peak'] / mib:.0f} MiB "
            f"(held after: {single['state_after'] / mib:.0f} MiB); per worker peak "
            + ", ".join(f"{w['state_peak'] / mib:.0f} MiB" for w in workers)
            + f"; largest worker / single = "
            f"{max(w['state_peak'] for w in workers) / single['state_peak']:.2f}; client peak "
            f"{mine['state_peak'] / mib:.0f} MiB"
        )


if __name__ == "__main__":
    main()
