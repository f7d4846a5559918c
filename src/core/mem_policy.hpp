// How the core gets its memory: which allocation path serves what, and why.
// The paths live in the other mem_* files; this header holds no code.
//
// 1. Everything else: the global operator new (mem_operators.cpp). It stays on
//    malloc and free, and asks for transparent huge pages on the aligned
//    interior of blocks of 4 MiB and more. Large vectors that are filled and
//    read back soon (matrices, per-worker scratch) spend most of their build
//    time faulting pages in, and huge pages cut the faults where the host
//    still holds the memory. The operators serve this extension only (the
//    link hides them); sanitizer builds keep the runtime's.
//
// 2. Fresh blocks (mem_fresh_blocks.hpp): data a computation writes once,
//    front to back, and keeps: neighbour lists, pair records, partition state,
//    Swing's pair-cache chunks. malloc with the huge-page advice undone, and
//    the pages made present a chunk at a time ahead of the writer
//    (Prefaulter). This guest returns freed memory to the host, after which
//    a fresh huge page is the slowest memory to touch and small pages made
//    present in chunks the fastest; these blocks are most of the memory a
//    computation touches for the first time.
//
// 3. Bump room in fresh blocks (BumpCursor, same header): list arenas
//    (mem_list_storage.hpp) and pair block writers carve many small lists or
//    rows from blocks of doubling size, so that a hundred thousand lists do
//    not each fault fresh pages of their own. A list arena's block goes back
//    to the system when its last list is freed, and exact updates, whose
//    replaced lists leave dead space behind, move the lists of mostly dead
//    blocks to storage of their own (exact_update.cpp); pair blocks live as
//    long as the pair records that point into them. Lists allocated outside an
//    arena's scope, very large lists, and every list of a sanitizer build
//    (so each one's bounds are checked) take path 1.
//
// 4. Zeroed arrays (mem_zeroed_array.hpp): dense per-id scratch over a whole
//    catalogue that one call may touch only in part (inference, Swing
//    accumulators). calloc hands large ones over as zero pages straight from
//    the system, so only the pages a call touches are committed.
//
// Memory crossing between these paths and the C++ runtime always pairs up:
// every path ends in malloc, calloc or free.
#pragma once
