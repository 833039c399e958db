// instrseam: preloaded into the host by the instruction benchmark's check (--seam) and by nothing else.
// It adds a known number of instructions to the browse whose connection the host accepts next, as the
// benchmark asks through a shared page (HUB_INSTR_SEAM names its file), so that the check can show that
// a regression landing on some browses only fails it as one on every browse does.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>

namespace {

std::atomic<uint64_t>* g_asked = nullptr;  // instructions to add at the next accepted connection

[[gnu::constructor]] void mapPage() {
    const char* file = std::getenv("HUB_INSTR_SEAM");
    if (file == nullptr) return;
    const int fd = open(file, O_RDWR | O_CLOEXEC);
    if (fd < 0) return;
    void* page = mmap(nullptr, sizeof(uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (page != MAP_FAILED) g_asked = static_cast<std::atomic<uint64_t>*>(page);
}

// Exactly `instructions` (rounded down to an even number): two a turn of the loop.
void spend(uint64_t instructions) {
    uint64_t turns = instructions / 2;
    if (turns == 0) return;
    asm volatile("1: dec %0\n\tjnz 1b" : "+r"(turns) : : "cc");
}

}  // namespace

extern "C" int accept4(int fd, sockaddr* address, socklen_t* length, int flags) {
    using Accept = int (*)(int, sockaddr*, socklen_t*, int);
    static const auto real = reinterpret_cast<Accept>(dlsym(RTLD_NEXT, "accept4"));
    const int accepted = real(fd, address, length, flags);
    if (accepted >= 0 && g_asked != nullptr)
        if (const uint64_t asked = g_asked->exchange(0); asked > 0) spend(asked);
    return accepted;
}
