// The media agent's progress lines on standard output, printed only when asked (--progress 1):
// "session <s> served item <k>" at the 1st, 10th, 100th... item one answer serves, and "session <s>
// fault after <k> items" when an injected fault strikes. They are the events tests wait on instead of
// time. Any thread; each line is written whole.
#pragma once

#include <cstdint>
#include <string>

namespace mediaagent {

void setProgressLines(bool on);
// An answer of `session` that had served `before` items has now served `after`.
void reportServed(const std::string& session, uint64_t before, uint64_t after);
void reportFault(const std::string& session, uint64_t items);

}  // namespace mediaagent
