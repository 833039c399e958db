// The lines a thread makes between two waits, kept and written together: by the thread before it waits
// on anything (the wait point, platform/waits), when it ends, when it forks, and, for every thread, at a
// crash (a fatal signal, an abort) and at the process's exit. So each line is in its file before its
// thread waits, aborts or crashes, and a browse's lines cost one write(2) rather than one each. A forked
// child keeps none: it writes each line at once. Internal to the log (platform/log); each thread keeps its
// own lines.
#pragma once

#include <cstddef>

namespace evdebug_detail {

class LogFile;

// Room for `size` more bytes of whole lines bound for `file` in the calling thread's kept lines (lines
// kept for another file are written first; so are they when the new ones would pass the file's share,
// LogFile::keepBytes()). The room is the caller's until kept(). Null when the thread keeps no lines (it is
// ending, it is a forked child, or `size` is beyond the share): the caller writes its lines itself.
char* keepRoom(LogFile& file, size_t size);
// The room's first `size` bytes hold whole lines now.
void kept(size_t size);

// Writes the lines the calling thread kept (none: nothing happens).
void writeKept();

}  // namespace evdebug_detail
