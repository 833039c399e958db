// How the host process sets up its allocator, before its first thread: the host and the load benchmark,
// which plays the host, call it first thing in main; and how it gives back what the allocator keeps
// free (the host's main thread, once a minute).
#pragma once

#include <malloc.h>
#include <unistd.h>

#include <algorithm>

// glibc gives each new thread an arena of its own, up to eight per core, and keeps what each arena once
// held: with a thread per peer connection, memory freed in one arena cannot serve another's, and the
// process grows with every burst of load. One arena per core (at least four) keeps allocation fast
// without that spread. The buffers of a browse's answers (pages of items, hundreds of KB) come and go
// with each browse: glibc's moving threshold soon puts such blocks in the arenas, where blocks of ever
// different sizes leave holes; a fixed threshold maps them and gives them back when they are freed.
inline void limitHostAllocatorArenas() {
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    mallopt(M_ARENA_MAX, static_cast<int>(std::max(4L, cores)));
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
}

// How often the host gives the allocator's free pages back.
constexpr int kHostTrimIntervalMs = 60000;

// The heap in use stays flat under a steady load, but the pages freed in each arena stay resident:
// after a burst, or as sizes shift, the process grows and never shrinks. Giving them back keeps the
// resident memory to what is in use (plus the holes of partly used pages).
inline void trimHostMemory() {
    malloc_trim(0);
}
