#include "platform/threads/threadid.h"

#include <sys/syscall.h>
#include <unistd.h>

int32_t GetCurrentThreadId() {
    // A narrowed pthread_self() can collide between live threads; the kernel id cannot, and
    // pid_max keeps it well inside 32 bits.
    thread_local const int32_t id = static_cast<int32_t>(::syscall(SYS_gettid));
    return id;
}
