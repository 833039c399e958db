// SourcePathKeeper: the source paths of a browse or restore task, rewritten for how the data's file
// system compares names (a case-insensitive one gets its paths in lower case, so that they match the
// index whatever case the user typed). Made on one thread's stack for one task.
#pragma once

#include <string>
#include <vector>

class EvRestoreTask;
class FSSubclientConf;

class SourcePathKeeper {
public:
    SourcePathKeeper() = default;

    // Takes the task's browse paths (list 1), in order, as they are.
    void preset(EvRestoreTask* task);
    // Rewrites the kept paths for `conf` (lower case when it is case-insensitive; `convert` false leaves
    // them as they are). 0 on success. A path that is not valid UTF-8 cannot be rewritten: -1, and the
    // keeper then holds no path at all (callers keep the task's own paths).
    int set(EvRestoreTask* task, const FSSubclientConf& conf, bool convert);

    // Walks the kept paths; null past the last.
    const char* getFirstPath();
    const char* getNextPath();
    size_t size() const { return m_paths.size(); }

private:
    std::vector<std::string> m_paths;
    size_t m_next = 0;
};
