// The wait point: what a thread does before it waits on anything (a lock another thread holds, a
// condition, a peer, a sleep, a join). The log keeps the lines a thread makes between two waits and
// writes them here, so every line is in its file before its thread waits. The platform's wait primitives
// (locks, conditions, events, sleeps, joins, sockets, the database's busy waits) call beforeWait(); so
// does code that waits outside them. Any thread.
#pragma once

namespace hubwait {

// Called by the calling thread before it waits: writes the lines it keeps, if any.
void beforeWait();

// Passes the wait point when the scope ends: an entry point's return to a caller that may wait on
// anything of its own.
class CWaitPointAtReturn {
public:
    CWaitPointAtReturn() = default;
    ~CWaitPointAtReturn() { beforeWait(); }
    CWaitPointAtReturn(const CWaitPointAtReturn&) = delete;
    CWaitPointAtReturn& operator=(const CWaitPointAtReturn&) = delete;
};

// The log's writer of the calling thread's kept lines, set once by the log.
using Flush = void (*)();
void setFlush(Flush flush);

// The calling thread keeps lines (true) or none (false): the log tells, so a wait of a thread without
// lines costs one look.
void setPending(bool pending);

}  // namespace hubwait
