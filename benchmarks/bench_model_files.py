"""Model-file save and load against Python's gzip on the same body bytes, in one run.

For each model kind: save time against gzip.compress(body, 1) and load time
against gzip.decompress(file bytes), where body is the decompressed content of
the file just saved (wall and process CPU seconds, best of N, the two run
alternately); then, each in a fresh process, the peak memory growth of a load
against the memory the loaded model keeps, and the peak growth during a save
of that model.

Saves compress on two helper threads besides the calling thread and loads
inflate on up to two; neither uses the worker pool, so the thread count needs
no separate processes. A save includes writing the file and flushing it to the
device; gzip.compress works in memory only.

    python benchmarks/bench_model_files.py [dataset] [--repeats N] [--kinds ItemCF ...]

The first line says whether the build compresses with ISA-L or with zlib (a build
configured with -DQUIBREL_WITH_ISAL=OFF, or made where ISA-L was not found).

dataset: a datagen preset or "movielens" (default). Models are computed when
the build can; otherwise they are saved with their interactions only.
"""

from __future__ import annotations

import argparse
import gzip
import os

# Idle OpenBLAS threads (numpy builds the data) spin for a while after each call and would take
# CPU from the helper threads being measured.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
import pathlib
import subprocess
import sys
import tempfile
import textwrap
import time

import numpy as np
import quibrel

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import datagen


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

        def compute():
            return model.compute_swing(2)
    else:
        cls = quibrel.ItemCF if kind == "ItemCF" else quibrel.UserCF
        model = cls("ranking", 20, n_users, n_items, 1, ui, ii, consumed, 0.0)

        def compute():
            return model.compute_similarities(False, 2)

    try:
        compute()
        return model, True
    except BaseException as e:  # the placeholder panic is not an Exception subclass
        if "not implemented" not in str(e):
            raise
        return model, False


SAVE = {"ItemCF": quibrel.save_item_cf, "UserCF": quibrel.save_user_cf, "Swing": quibrel.save_swing}
LOAD = {"ItemCF": "load_item_cf", "UserCF": "load_user_cf", "Swing": "load_swing"}


def interleaved(repeats, ours, theirs):
    """Best (wall, CPU) seconds of two functions run alternately, so background load hits
    both alike."""
    a, b = [], []
    for _ in range(repeats):
        for f, times in ((ours, a), (theirs, b)):
            start, cpu = time.perf_counter(), time.process_time()
            f()
            times.append((time.perf_counter() - start, time.process_time() - cpu))
    return min(a), min(b)


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
# The save's peak is measured from a reset of VmHWM (clear_refs) once the model is loaded.
MEMORY_SCRIPT = textwrap.dedent(
    """
    import gc, sys, quibrel
    def status(field):
        with open("/proc/self/status") as f:
            return int(f.read().split(field + ":")[1].split()[0]) * 1024
    gc.collect()
    before = status("VmRSS")
    model = getattr(quibrel, "load_" + sys.argv[1])(sys.argv[2], sys.argv[3])
    kept, load_peak = status("VmRSS") - before, status("VmHWM") - before
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before_save = status("VmRSS")
    getattr(quibrel, "save_" + sys.argv[1])(model, sys.argv[2], sys.argv[3] + "-copy")
    print(kept, load_peak, status("VmHWM") - before_save)
    """
)


def memory(kind, directory):
    out = subprocess.run(
        [sys.executable, "-c", MEMORY_SCRIPT, LOAD[kind][5:], directory, kind],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.split()
    return tuple(map(int, out[-3:]))


def bench(kind, x, directory, repeats):
    model, computed = build(kind, x)

    def save_model():
        return SAVE[kind](model, directory, kind)

    quiet(save_model)
    raw = pathlib.Path(directory, kind + ".gz").read_bytes()
    body = gzip.decompress(raw)
    save, py_save = interleaved(repeats, lambda: quiet(save_model), lambda: gzip.compress(body, 1))
    load_model = getattr(quibrel, LOAD[kind])
    load, py_load = interleaved(
        repeats, lambda: quiet(lambda: load_model(directory, kind)), lambda: gzip.decompress(raw)
    )
    kept, load_peak, save_peak = memory(kind, directory)
    mb = len(body) / 1e6

    def line(name, ours, peer, peer_name):
        return (
            f"  {name} {ours[0] * 1e3:8.1f} ms ({mb / ours[0]:5.0f} MB/s,"
            f" CPU {ours[1] * 1e3:7.1f} ms)"
            f"  {peer_name} {peer[0] * 1e3:8.1f} ms (CPU {peer[1] * 1e3:7.1f} ms)"
            f"  gzip/quibrel time {peer[0] / ours[0]:.2f}"
        )

    print(
        f"{kind:6s} {'computed' if computed else 'interactions only'}: "
        f"body {mb:.1f} MB, file {len(raw) / 1e6:.1f} MB\n"
        + line("save", save, py_save, "gzip.compress(body, 1)")
        + "\n"
        + line("load", load, py_load, "gzip.decompress(file) ")
        + f"\n  memory: model keeps {kept / 1e6:.1f} MB; load peak growth {load_peak / 1e6:.1f} MB"
        f" (peak/kept {load_peak / kept:.2f}); save peak growth {save_peak / 1e6:.1f} MB"
        f" ((kept + growth)/kept {(kept + save_peak) / kept:.2f})"
    )


def codec():
    """ISA-L when the extension links it (its file then names the library), else zlib."""
    (extension,) = pathlib.Path(quibrel.__file__).parent.glob("quibrel*.so")
    return "ISA-L" if b"libisal.so" in extension.read_bytes() else "zlib"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("dataset", nargs="?", default="movielens")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--kinds", nargs="+", choices=list(SAVE), default=list(SAVE))
    args = parser.parse_args()
    print(f"quibrel from {pathlib.Path(quibrel.__file__).parent}, model files by {codec()}")
    x = datagen.movielens() if args.dataset == "movielens" else datagen.load(args.dataset)
    print(f"{args.dataset}: {x.shape[0]} users, {x.shape[1]} items, {x.nnz} interactions")
    with tempfile.TemporaryDirectory() as directory:
        for kind in args.kinds:
            bench(kind, x, directory, args.repeats)


if __name__ == "__main__":
    main()
