"""Recommender files against the engine's own model file, in one run.

For one full ItemCF model: the wall time of `save` / `quibrel.recommenders.load` over that of
the engine's `save_item_cf` / `load_item_cf` of the same model (best of --repeats, the variants
run in turn so that background load hits them alike; all saves, then all loads), then, each in
a fresh process, the peak resident memory (VmHWM) of every load and save over the memory the
loaded model keeps.

    python benchmarks/bench_recommender_files.py                         # synthetic-2.5m
    python benchmarks/bench_recommender_files.py --before main           # and main's file code
    python benchmarks/bench_recommender_files.py --dataset ml20m-shaped --repeats 1

--before REV adds the library's file code as it is at REV (its src/quibrel/_files.py, taken
from git and run on this build's engine), so the figures before and after a change of that
code come from one run on one model. Every save ends with its file synced to the device, as
the engine's own does; loads read files the saves just wrote (so from the page cache).
"""

from __future__ import annotations

import argparse
import gc
import importlib.util
import json
import os
import subprocess
import sys
import tempfile
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # idle BLAS threads would spin beside us

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
from bench_scale import reset_peak, status  # noqa: E402


def before_module(rev: str):
    """quibrel._files as it is at `rev`, importable beside this build's."""
    source = subprocess.run(
        ["git", "-C", ROOT, "show", f"{rev}:src/quibrel/_files.py"],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    name = "quibrel._files_before"
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(name, loader=None))
    module.__package__ = "quibrel"
    sys.modules[name] = module
    exec(compile(source, f"{rev}:src/quibrel/_files.py", "exec"), module.__dict__)
    return module


def variants(rev: str | None):
    """name -> (save(rec, directory), load(directory)) for the engine's file and the
    recommender files."""
    import quibrel
    from quibrel import _files, recommenders

    classes = {c.__name__: c for c in (recommenders.ItemCFRecommender,)}

    def engine_save(rec, d):
        _files._quiet(quibrel.save_item_cf, rec._model, d, "engine")

    def engine_load(d):
        return _files._quiet(quibrel.load_item_cf, d, "engine")

    out = {
        "engine": (engine_save, engine_load),
        "recommender": (
            lambda rec, d: rec.save(os.path.join(d, "now.qb")),
            lambda d: recommenders.load(os.path.join(d, "now.qb")),
        ),
    }
    if rev is not None:
        old = before_module(rev)
        out[f"recommender@{rev}"] = (
            lambda rec, d: old.save_recommender(rec, os.path.join(d, "before.qb")),
            lambda d: old.load_recommender(os.path.join(d, "before.qb"), classes),
        )
    return out


def memory_step(args: argparse.Namespace) -> None:
    """In a fresh process: the peak of one load, then of one save of what was loaded."""
    name, directory = args.memory
    table = variants(args.before)
    save, load = table[name]
    gc.collect()
    base = status()["VmRSS"]
    loaded = load(directory)
    after = status()
    rec = loaded
    if name == "engine":

        class Holder:  # the engine's save takes the model itself
            _model = loaded

        rec = Holder()
    gc.collect()
    start = reset_peak()
    with tempfile.TemporaryDirectory(dir=directory) as out:
        save(rec, out)
    print(
        json.dumps(
            {
                "kept": after["VmRSS"] - base,
                "load_peak": after["VmHWM"] - base,
                "save_growth": status()["VmHWM"] - start,
            }
        )
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dataset", default="synthetic-2.5m")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--threads", type=int, default=2, help="for the fit only")
    parser.add_argument("--before", metavar="REV", help="also time _files.py as it is at REV")
    parser.add_argument("--memory", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory:
        memory_step(args)
        return

    import datagen
    from quibrel.recommenders import ItemCFRecommender

    print(f"load average before: {os.getloadavg()}")
    x = datagen.load(args.dataset).tocsr()
    t = time.perf_counter()
    rec = ItemCFRecommender(num_threads=args.threads).fit(x)
    print(
        f"{args.dataset}: {x.shape[0]} users x {x.shape[1]} items, {x.nnz} interactions; "
        f"ItemCF fit in {time.perf_counter() - t:.1f} s"
    )
    table = variants(args.before)
    times: dict[str, dict[str, list[float]]] = {n: {"save": [], "load": []} for n in table}
    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR", "/tmp")) as d:
        # All saves first: the fitted model is let go before any load, so that no more than
        # one model is in memory at a time.
        for what in ("save", "load"):
            for _ in range(args.repeats):
                for name, (save, load) in table.items():
                    gc.collect()
                    t = time.perf_counter()
                    loaded = save(rec, d) if what == "save" else load(d)
                    times[name][what].append(time.perf_counter() - t)
                    del loaded
            rec = None
        sizes = {n: os.path.getsize(os.path.join(d, f)) for n, f in
                 (("engine", "engine.gz"), ("recommender", "now.qb"))}  # fmt: skip
        print(f"files: engine {sizes['engine'] / 2**20:.1f} MiB, recommender "
              f"{sizes['recommender'] / 2**20:.1f} MiB")  # fmt: skip
        gc.collect()
        memory = {}
        for name in table:
            cmd = [sys.executable, __file__, "--memory", name, d]
            if args.before:
                cmd += ["--before", args.before]
            done = subprocess.run(cmd, capture_output=True, text=True, check=True)
            memory[name] = json.loads(done.stdout.strip().splitlines()[-1])
    print(f"wall seconds, best of {args.repeats}; ratio over the engine's own file")
    for what in ("save", "load"):
        base = min(times["engine"][what])
        for name in table:
            best = min(times[name][what])
            print(f"  {what} {name:24s} {best:8.2f} s  x{best / base:.3f}")
    print("memory (MiB): kept by the loaded model, load peak, save peak growth")
    for name, m in memory.items():
        print(
            f"  {name:24s} kept {m['kept'] / 2**20:8.1f}  load peak {m['load_peak'] / 2**20:8.1f}"
            f" ({m['load_peak'] / m['kept']:.2f}x)  save growth {m['save_growth'] / 2**20:8.1f}"
        )
    print(f"load average after: {os.getloadavg()}")


if __name__ == "__main__":
    main()
