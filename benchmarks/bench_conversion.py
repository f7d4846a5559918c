"""Sequence conversion: a 10-million-element int64 numpy array read through a constructor,
by the buffer fast path and by the element-by-element path, in one process.

    python benchmarks/bench_conversion.py [n]
"""

import sys
import time

import numpy as np
import quibrel


class Matrix:
    def __init__(self, indices, indptr, data):
        self.sparse_indices = indices
        self.sparse_indptr = indptr
        self.sparse_data = data


class NoBuffer:
    """The same array seen only as a sequence, so conversion goes element by element."""

    def __init__(self, array):
        self.array = array

    def __len__(self):
        return len(self.array)

    def __getitem__(self, i):
        return self.array[i]

    def __iter__(self):
        return iter(self.array)


def construct(indices, indptr, data):
    empty = Matrix([], [], [])
    start = time.perf_counter()
    quibrel.ItemCF("ranking", 1, 1, 1, 1, Matrix(indices, indptr, data), empty, {}, 0.0)
    return time.perf_counter() - start


def best_of(repeats, f):
    return min(f() for _ in range(repeats))


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000_000
    rng = np.random.default_rng(0)
    indices = rng.integers(0, 2**31 - 1, n, dtype=np.int64)
    indptr = np.array([0, n], dtype=np.int64)
    data = np.ones(n, dtype=np.float32)
    small = np.array([0], dtype=np.int64)
    small_data = np.ones(1, dtype=np.float32)

    fast = best_of(3, lambda: construct(indices, indptr, small_data))
    as_list = indices.tolist()
    list_path = best_of(1, lambda: construct(as_list, indptr, small_data))
    element = best_of(1, lambda: construct(NoBuffer(indices), indptr, small_data))
    fast_f32 = best_of(3, lambda: construct(small, indptr, data))
    element_f32 = best_of(1, lambda: construct(small, indptr, NoBuffer(data)))

    print(f"n = {n:,} int64 indices -> i32")
    print(f"  buffer fast path         {fast * 1e3:9.1f} ms")
    print(f"  element path (ndarray)   {element * 1e3:9.1f} ms   ratio {element / fast:6.1f}x")
    print(f"  element path (list)      {list_path * 1e3:9.1f} ms   ratio {list_path / fast:6.1f}x")
    print(f"n = {n:,} float32 data -> f32")
    print(f"  buffer fast path         {fast_f32 * 1e3:9.1f} ms")
    ratio = element_f32 / fast_f32
    print(f"  element path (ndarray)   {element_f32 * 1e3:9.1f} ms   ratio {ratio:6.1f}x")


if __name__ == "__main__":
    main()
