// ZYDBRowBase: base of every schema object X_t2 (the per-object column value objects, and access to
// the family's description, built once per process). ZYSimpleDBSem is the lock of that one-time build.
// A schema object is used by one thread at a time; the shared description is read without a lock once
// it is announced.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/db/zydbtypes.h"

class ZySemaphore;

class ZYSimpleDBSem {
public:
    explicit ZYSimpleDBSem(int initialCount);
    ~ZYSimpleDBSem();
    ZYSimpleDBSem(const ZYSimpleDBSem&) = delete;
    ZYSimpleDBSem& operator=(const ZYSimpleDBSem&) = delete;

    void wait();
    void release(int count);

private:
    std::unique_ptr<ZySemaphore> m_sem;
};

class ZYDBRowBase {
public:
    using ForeignKeyMap = std::map<std::string, std::map<std::string, std::string>>;

    ZYDBRowBase() = default;
    // The value objects are owned through raw pointers: a copy would free them twice.
    ZYDBRowBase(const ZYDBRowBase&) = delete;

    virtual void lock();
    virtual void unLock();
    virtual ~ZYDBRowBase();
    virtual std::string getColumnName(const int& position);
    virtual std::vector<ZYDBDataTypeBase*> getData();
    virtual int getSerialColNum() = 0;
    virtual std::string getTableName() = 0;
    virtual std::string getPrimaryWhere() = 0;
    virtual std::vector<ZYDBDataTypeBase*>* getPrimaryData() = 0;
    virtual std::string getStructDef() { return std::string(); }
    virtual void setTableName(std::string name) = 0;
    virtual const char* getColumnName_t2(const int& position) const = 0;
    virtual void pushColumnName(const char* name) = 0;
    virtual int getHeaderType() { return -1; }
    virtual int searchForeignKey(std::string) { return 0; }
    // Copies nothing: the value objects belong to each object.
    virtual ZYDBRowBase& operator=(ZYDBRowBase&) { return *this; }

    // Replaces every 'x' (a time) by 'b' (the 64-bit integer it is carried as).
    static std::string fillForTime(const char* typeString);

    // The one-time-build lock of every family (one permit), made on first use.
    static ZYSimpleDBSem* s_semColumnVec;
    static ZYSimpleDBSem* columnVecSem();

protected:
    bool m_isGenerated = false;
    std::vector<ZYDBDataTypeBase*> m_columnVec;  // owned
    std::string m_serialColName;
    std::vector<std::string> m_primaryKeys;
};
