// How the host process sets up its allocator, before its first thread: the host and the load benchmark,
// which plays the host, call it first thing in main; and how it gives back what the allocator keeps
// free (the host each time it comes to rest, the media agent's main thread once a minute).
#pragma once

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

// glibc gives each new thread an arena of its own, up to eight per core, and keeps what each arena once
// held: with a thread per peer connection, memory freed in one arena cannot serve another's, and the
// process grows with every burst of load. One arena per core (at least four) keeps allocation fast
// without that spread; at most eight, since a trim gives back neither the free top of an arena other
// than the first (up to the trim threshold below) nor the pages where what lives on (caches first filled
// by a burst's threads, the threads' own small caches) lies among what was freed: each arena beyond
// those serves few allocations the threads' caches do not, and keeps hundreds of KB once idle. The buffers of
// a browse's answers (pages of items, hundreds of KB) come and go with each browse: glibc's moving threshold
// soon puts such blocks in the arenas, where blocks of ever different sizes leave holes; a fixed threshold
// maps them and gives them back when they are freed. Fixing it also fixes the arenas' trim threshold at
// glibc's 128 KB, below the blocks they still serve (an answer's XML, its joined frames): each browse's
// buffers, freed at the top of a thread's arena, gave their pages back and the next browse faulted them in
// again (a tenth of the media agent's CPU per browse). Twice the mapping threshold, as glibc's own moving
// rule sets it; the trim below still gives back what stays free.
inline void limitHostAllocatorArenas() {
    constexpr int kMappedFromBytes = 256 * 1024;
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    mallopt(M_ARENA_MAX, static_cast<int>(std::clamp(cores, 4L, 8L)));
    mallopt(M_MMAP_THRESHOLD, kMappedFromBytes);
    mallopt(M_TRIM_THRESHOLD, 2 * kMappedFromBytes);
}

// How often the media agent gives the allocator's free pages back.
constexpr int kHostTrimIntervalMs = 60000;

// The heap in use stays flat under a steady load, but the pages freed in each arena stay resident:
// after a burst, or as sizes shift, the process grows and never shrinks. Giving them back (every
// arena's) keeps the resident memory to what is in use (plus the holes of partly used pages).
inline void trimHostMemory() {
    malloc_trim(0);
}

// The process's resident memory in KB (0: unreadable).
inline long long residentMemoryKb() {
    long long kb = 0;
    if (FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, status))
            if (sscanf(line, "VmRSS: %lld", &kb) == 1) break;
        std::fclose(status);
    }
    return kb;
}

// On SIGUSR1 the host and the media agent give free pages back and say what their allocator holds,
// in KB: in use (live allocations, the threads' small caches included), free in its arenas, and the
// process's resident memory; what a memory benchmark or a test reads from the process itself.
inline void printHostMemory(const char* program) {
    trimHostMemory();
    const struct mallinfo2 m = mallinfo2();
    std::printf("%s: memory: in use %zu KB, free in the allocator %zu KB, resident %lld KB\n", program,
                (m.uordblks + m.hblkhd) / 1024, m.fordblks / 1024, residentMemoryKb());
    std::fflush(stdout);
}

// When the host comes to rest (no server's thread left, no database connection kept; see
// platform/threads/processrest.h), what its work left free goes back to the system, and it says so in
// one line per idle period: its resident memory before and after, and what is in use, in KB.
inline void giveBackAtRest(const char* program) {
    const long long before = residentMemoryKb();
    trimHostMemory();
    const struct mallinfo2 m = mallinfo2();
    std::printf("%s: at rest: free memory given back, resident %lld KB -> %lld KB, in use %zu KB\n", program,
                before, residentMemoryKb(), (m.uordblks + m.hblkhd) / 1024);
    std::fflush(stdout);
}
