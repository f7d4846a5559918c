"""Model-file save and load against Python's gzip on the same body bytes, in one run.

For each model kind: save time against gzip.compress(body, 1) and load time
against gzip.decompress(file bytes), where body is the decompressed content of
the file just saved; then the peak memory of a load in a fresh process
against the memory the loaded model keeps.

    python benchmarks/bench_model_files.py [dataset] [--repeats N]

dataset: a datagen preset or "movielens" (default). Models are computed when
the build can; otherwise they are saved with their interactions only.
"""

from __future__ import annotations

import argparse
import gzip
import os
import pathlib
import subprocess
import sys
import tempfile
import textwrap
import time

import numpy as np

import quibrel

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import datagen  # noqa: E402


class Interactions:
    def __init__(self, m):
        m = m.tocsr()
        m.sort_indices()
        self.sparse_indices = m.indices.astype(np.int32)
        self.sparse_indptr = m.indptr.astype(np.int64)
        self.sparse_data = m.data.astype(np.float32)


def build(kind, x):
    n_users, n_items = x.shape
    ui, ii = Interactions(x), Interactions(x.T)
    consumed = {u: x.indices[x.indptr[u] : x.indptr[u + 1]].tolist() for u in range(n_users)}
    if kind == "Swing":
        model = quibrel.Swing(20, 1.0, 100_000, n_users, n_items, ui, ii, consumed, 0.0)
        compute = lambda: model.compute_swing(2)  # noqa: E731
    else:
        cls = quibrel.ItemCF if kind == "ItemCF" else quibrel.UserCF
        model = cls("ranking", 20, n_users, n_items, 1, ui, ii, consumed, 0.0)
        compute = lambda: model.compute_similarities(False, 2)  # noqa: E731
    try:
        compute()
        return model, True
    except BaseException as e:  # the placeholder panic is not an Exception subclass
        if "not implemented" not in str(e):
            raise
        return model, False


SAVE = {"ItemCF": quibrel.save_item_cf, "UserCF": quibrel.save_user_cf, "Swing": quibrel.save_swing}
LOAD = {"ItemCF": "load_item_cf", "UserCF": "load_user_cf", "Swing": "load_swing"}


def best(repeats, f):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        f()
        times.append(time.perf_counter() - start)
    return min(times)


def quiet(f):
    """Run f with the process's stdout sent to /dev/null (the save/load lines)."""
    sys.stdout.flush()
    saved = os.dup(1)
    with open(os.devnull, "w") as null:
        os.dup2(null.fileno(), 1)
        try:
            return f()
        finally:
            os.dup2(saved, 1)
            os.close(saved)


# Peak resident memory comes from VmHWM: ru_maxrss would carry this parent's
# peak across exec into the child.
MEMORY_SCRIPT = textwrap.dedent(
    """
    import gc, sys, quibrel
    def status(field):
        with open("/proc/self/status") as f:
            return int(f.read().split(field + ":")[1].split()[0]) * 1024
    gc.collect()
    before, peak_before = status("VmRSS"), status("VmHWM")
    model = getattr(quibrel, sys.argv[1])(sys.argv[2], sys.argv[3])
    print(before, peak_before, status("VmRSS"), status("VmHWM"))
    """
)


def memory(kind, directory):
    out = subprocess.run(
        [sys.executable, "-c", MEMORY_SCRIPT, LOAD[kind], directory, kind],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.split()
    before, peak_before, after, peak = map(int, out[-4:])
    return after - before, peak - before


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("dataset", nargs="?", default="movielens")
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    x = datagen.movielens() if args.dataset == "movielens" else datagen.load(args.dataset)
    print(f"{args.dataset}: {x.shape[0]} users, {x.shape[1]} items, {x.nnz} interactions")
    with tempfile.TemporaryDirectory() as directory:
        for kind in ["ItemCF", "UserCF", "Swing"]:
            model, computed = build(kind, x)
            path = os.path.join(directory, kind + ".gz")
            save = best(args.repeats, lambda: quiet(lambda: SAVE[kind](model, directory, kind)))
            raw = pathlib.Path(path).read_bytes()
            body = gzip.decompress(raw)
            py_save = best(args.repeats, lambda: gzip.compress(body, 1))
            load = best(
                args.repeats, lambda: quiet(lambda: getattr(quibrel, LOAD[kind])(directory, kind))
            )
            py_load = best(args.repeats, lambda: gzip.decompress(raw))
            kept, peak = memory(kind, directory)
            mb = len(body) / 1e6
            print(
                f"{kind:6s} {'computed' if computed else 'interactions only'}: "
                f"body {mb:.1f} MB, file {len(raw) / 1e6:.1f} MB\n"
                f"  save {save * 1e3:8.1f} ms ({mb / save:6.0f} MB/s)  gzip.compress(body, 1) "
                f"{py_save * 1e3:8.1f} ms  ratio {py_save / save:.2f}x\n"
                f"  load {load * 1e3:8.1f} ms ({mb / load:6.0f} MB/s)  gzip.decompress(file) "
                f"{py_load * 1e3:8.1f} ms  ratio {py_load / load:.2f}x\n"
                f"  load memory: model keeps {kept / 1e6:.1f} MB, peak growth {peak / 1e6:.1f} MB, "
                f"peak/kept {peak / kept:.2f}"
            )
            del model


if __name__ == "__main__":
    main()
