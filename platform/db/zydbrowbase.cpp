// ZYDBRowBase and ZYSimpleDBSem.
#include "platform/db/zydbrowbase.h"

#include "platform/threads/zysemaphore.h"

ZYSimpleDBSem::ZYSimpleDBSem(int initialCount) : m_sem(std::make_unique<ZySemaphore>(initialCount)) {}
ZYSimpleDBSem::~ZYSimpleDBSem() = default;
void ZYSimpleDBSem::wait() {
    m_sem->wait();
}
void ZYSimpleDBSem::release(int count) {
    m_sem->release(count);
}

ZYSimpleDBSem* ZYDBRowBase::s_semColumnVec = nullptr;

ZYSimpleDBSem* ZYDBRowBase::columnVecSem() {
    // Made once, before any family's first build, whatever the order of static initialisation.
    static ZYSimpleDBSem* sem = s_semColumnVec = new ZYSimpleDBSem(1);
    return sem;
}

void ZYDBRowBase::lock() {
    columnVecSem()->wait();
}
void ZYDBRowBase::unLock() {
    columnVecSem()->release(1);
}

ZYDBRowBase::~ZYDBRowBase() {
    for (ZYDBDataTypeBase* v : m_columnVec) delete v;
}

std::string ZYDBRowBase::getColumnName(const int& position) {
    return std::string(getColumnName_t2(position));
}

std::vector<ZYDBDataTypeBase*> ZYDBRowBase::getData() {
    return m_columnVec;
}

std::string ZYDBRowBase::fillForTime(const char* typeString) {
    std::string s = typeString ? typeString : "";
    for (char& c : s)
        if (c == 'x') c = 'b';
    return s;
}
