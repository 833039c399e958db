#include "platform/entities/sourcepathkeeper.h"

#include "platform/entities/fssubclientconf.h"
#include "platform/tasks/evrestoretask.h"

namespace {

// ASCII letters folded to lower case; multi-byte UTF-8 sequences are copied as they are. False for
// bytes that do not form UTF-8 (a stray continuation byte, a cut or overlong sequence).
bool foldCase(const std::string& in, std::string& out) {
    out.clear();
    out.reserve(in.size());
    for (size_t i = 0; i < in.size();) {
        const auto c = static_cast<unsigned char>(in[i]);
        size_t len = c < 0x80             ? 1
                     : (c & 0xE0) == 0xC0 ? 2
                     : (c & 0xF0) == 0xE0 ? 3
                     : (c & 0xF8) == 0xF0 ? 4
                                          : 0;
        if (len == 0 || i + len > in.size()) return false;
        if (len == 2 && c < 0xC2) return false;  // overlong
        for (size_t k = 1; k < len; ++k)
            if ((static_cast<unsigned char>(in[i + k]) & 0xC0) != 0x80) return false;
        if (len == 1)
            out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c));
        else
            out.append(in, i, len);
        i += len;
    }
    return true;
}

}  // namespace

void SourcePathKeeper::preset(EvRestoreTask* task) {
    m_paths.clear();
    m_next = 0;
    if (task == nullptr) return;
    for (const char* p = task->getFirstPath(EvRestoreTask::kBrowsePathList); p;
         p = task->getNextPath(EvRestoreTask::kBrowsePathList))
        m_paths.emplace_back(p);
}

int SourcePathKeeper::set(EvRestoreTask* /*task*/, const FSSubclientConf& conf, bool convert) {
    m_next = 0;
    if (!convert || conf.isCaseSensitive()) return 0;
    std::vector<std::string> folded(m_paths.size());
    for (size_t i = 0; i < m_paths.size(); ++i) {
        if (!foldCase(m_paths[i], folded[i])) {
            m_paths.clear();
            return -1;
        }
    }
    m_paths.swap(folded);
    return 0;
}

const char* SourcePathKeeper::getFirstPath() {
    m_next = 0;
    return getNextPath();
}

const char* SourcePathKeeper::getNextPath() {
    if (m_next >= m_paths.size()) return nullptr;
    return m_paths[m_next++].c_str();
}
