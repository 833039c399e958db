// The procedure registry: a map under a mutex, keys folded to lower case.
#include "platform/db/procregistry.h"

#include <cctype>
#include <map>

#include "platform/threads/hubmutex.h"

namespace zydb {

namespace {

struct Registry {
    CHubMutex mutex;
    std::map<std::string, ProcHandler> map GUARDED_BY(mutex);
};

Registry& registry() {
    static Registry* r = new Registry;  // never destroyed: fetches may run during exit
    return *r;
}

std::string fold(const std::string& s) {
    std::string k = s;
    for (char& c : k) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return k;
}

}  // namespace

void CProcRegistry::add(const std::string& name, ProcHandler handler) {
    CHubMutexLock g(registry().mutex);
    registry().map[fold(name)] = handler;
}

ProcHandler CProcRegistry::find(const std::string& name) {
    CHubMutexLock g(registry().mutex);
    auto it = registry().map.find(fold(name));
    return it == registry().map.end() ? nullptr : it->second;
}

}  // namespace zydb
