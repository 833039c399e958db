// The row-family machinery: from one descriptor per table or stored procedure X (its columns as an
// X-macro X_COLUMNS and a descriptor struct X_desc) come the record X_t, the schema object X_t2 and
// the access object X, and the table's DDL. A family header writes only its data and ZYDB_FAMILY(X).
// Records and access objects belong to one thread; schema statics are built once, under a lock.
//
//   #define ArchFile_COLUMNS(COL) COL(id, i) COL(name, uN<8193>) ...
//   struct ArchFile_desc : zydb::TableDesc { static constexpr const char* className = "ArchFile"; ... };
//   ZYDB_FAMILY(ArchFile)
//
// Column types, as the schema type string writes them: i (int32), b (int64), x (a time, int64),
// sN<N> / uN<N> (char[N], at most N-1 bytes), s / u (an owned char*, null when empty).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/db/dbtable.h"
#include "platform/db/zydbrowbase.h"
#include "platform/db/zydbtypes.h"

namespace zydb {

namespace col {
template <char Code, class Storage>
struct number {
    static constexpr char code = Code;
    static constexpr int width = 0;
    using storage = Storage;
};
template <char Code, int N>
struct fixedText {
    static_assert(N > 1, "a fixed text holds at least one byte and the NUL");
    static constexpr char code = Code;
    static constexpr int width = N;
    using storage = char[N];
};
template <char Code>
struct ownedText {
    static constexpr char code = Code;
    static constexpr int width = 0;
    using storage = char*;
};
using i = number<'i', int>;
using b = number<'b', long long>;
using x = number<'x', long long>;
template <int N>
using sN = fixedText<'s', N>;
template <int N>
using uN = fixedText<'u', N>;
using s = ownedText<'s'>;
using u = ownedText<'u'>;
}  // namespace col

// One result column of a family, as its record holds it.
struct ColumnInfo {
    const char* name;
    char code;      // i b x s u
    int width;      // N of sN/uN; 0 for numbers and owned text
    size_t offset;  // of the member in the record
};

// One column pair of a foreign key; consecutive pairs with the same `key` form one key.
struct FkPair {
    int key;
    const char* refTable;
    const char* local;
    const char* ref;
};

template <class... T>
constexpr auto keys(T... k) {
    return std::array<const char*, sizeof...(T)>{k...};
}
template <class... T>
constexpr auto fks(T... k) {
    return std::array<FkPair, sizeof...(T)>{k...};
}

template <class... A>
struct ArgList {};

struct FamilyDefaults {
    static constexpr const char* serialColumn = "";
    static constexpr const char* orderBy = "";
    static constexpr std::array<const char*, 0> primaryKeys{};
    static constexpr std::array<FkPair, 0> foreignKeys{};
    using Args = ArgList<>;
    static constexpr const char* argFormat = "";
};
struct TableDesc : FamilyDefaults {
    static constexpr int kind = 1;
};
struct ProcDesc : FamilyDefaults {
    static constexpr int kind = 2;
};
// A procedure that takes one request XML as its only argument.
struct XmlProcDesc : ProcDesc {
    using Args = ArgList<const char*>;
    static constexpr const char* argFormat = "'%s'";
};

// The family's text forms, built from the column list.
std::string typeStringOf(const ColumnInfo* cols, size_t n);  // "i|s257|"
std::string columnListOf(const ColumnInfo* cols, size_t n);  // "id, name"
ZYDBDataTypeBase* newValueObject(char code);

// Record members: release, copy.
inline void releaseOwned(char*& p) {
    delete[] p;
    p = nullptr;
}
template <class T>
void releaseOwned(T&) {}

template <class T>
void copyColumn(T& d, const T& s) {
    d = s;
}
template <size_t N>
void copyColumn(char (&d)[N], const char (&s)[N]) {
    size_t n = strnlen(s, N - 1);
    std::memcpy(d, s, n);
    d[n] = 0;
}
// Owned text is copied deeply: each record frees its own buffer exactly once.
inline void copyColumn(char*& d, char* const& s) {
    char* n = nullptr;
    if (s != nullptr) {
        size_t len = std::strlen(s);
        n = new char[len + 1];
        std::memcpy(n, s, len + 1);
    }
    delete[] d;
    d = n;
}

// ---- the schema object X_t2 --------------------------------------------------------------------------

template <class Desc, class Rec>
class RowSchema : public ZYDBRowBase {
public:
    // The family's description, shared by its objects, filled once per process.
    inline static std::vector<std::string> m_staticColumnVec;
    inline static std::string m_name;
    inline static int m_type = 0;
    inline static std::string structSchema;
    inline static ForeignKeyMap m_foreignKeyMap;
    inline static std::atomic<bool> s_isInitialized{false};

    RowSchema() {
        m_isGenerated = true;
        size_t n = 0;
        const ColumnInfo* cols = Rec::columnInfo(&n);
        if (!s_isInitialized.load(std::memory_order_acquire)) {
            lock();
            struct Unlock {
                RowSchema* s;
                ~Unlock() { s->unLock(); }
            } unlockOnExit{this};
            if (!s_isInitialized.load(std::memory_order_relaxed)) fillStatics(cols, n);
        }
        if constexpr (Desc::kind == DBtable::kTable) {
            for (const char* key : Desc::primaryKeys) m_primaryKeys.emplace_back(key);
            m_serialColName = Desc::serialColumn;
        }
    }

    // The value objects, one per column, are made when first asked for: an access object runs its
    // queries without them, and most never ask.
    std::vector<ZYDBDataTypeBase*> getData() override {
        makeValues();
        return ZYDBRowBase::getData();
    }

    int getSerialColNum() override {
        if (m_serialColName.empty()) return -1;
        for (size_t k = 0; k < m_staticColumnVec.size(); ++k)
            if (m_staticColumnVec[k] == m_serialColName) return static_cast<int>(k);
        return -1;
    }
    std::string getTableName() override { return m_name; }
    std::string getPrimaryWhere() override {
        std::string w;
        for (size_t k = 0; k < m_primaryKeys.size(); ++k) {
            w += m_primaryKeys[k] + " = ?";
            if (k + 1 < m_primaryKeys.size()) w += "AND ";
        }
        return w;
    }
    // A new vector, owned by the caller; the value objects stay the schema object's.
    std::vector<ZYDBDataTypeBase*>* getPrimaryData() override {
        makeValues();
        auto* v = new std::vector<ZYDBDataTypeBase*>;
        // Found by name among the family's columns: a few keys, asked rarely, so no per-object map.
        size_t n = 0;
        const ColumnInfo* cols = Rec::columnInfo(&n);
        for (const std::string& key : m_primaryKeys) {
            ZYDBDataTypeBase* value = nullptr;
            for (size_t k = 0; k < n && k < m_columnVec.size(); ++k)
                if (key == cols[k].name) {
                    value = m_columnVec[k];
                    break;
                }
            v->push_back(value);
        }
        return v;
    }
    std::string getStructDef() override { return structSchema; }
    // The description is written only by its one-time fill; later renames are refused.
    void setTableName(std::string name) override {
        log_error(Desc::header, __LINE__,
                  "%s: refused to rename the family to [%s] after its description was built", Desc::className,
                  name.c_str());
    }
    const char* getColumnName_t2(const int& position) const override {
        if (position < 0 || static_cast<size_t>(position) >= m_staticColumnVec.size()) return "";
        return m_staticColumnVec[static_cast<size_t>(position)].c_str();
    }
    void pushColumnName(const char* name) override {
        log_error(Desc::header, __LINE__, "%s: refused to add column [%s] after its description was built",
                  Desc::className, name ? name : "");
    }
    int getHeaderType() override { return m_type; }
    virtual ForeignKeyMap getForeignKeyMap() { return m_foreignKeyMap; }

    // The generated type string before fillForTime (it may hold 'x').
    static const std::string& generatedTypeString() {
        static const std::string t = [] {
            size_t n = 0;
            const ColumnInfo* c = Rec::columnInfo(&n);
            return typeStringOf(c, n);
        }();
        return t;
    }

private:
    void makeValues() {
        if (!m_columnVec.empty()) return;
        size_t n = 0;
        const ColumnInfo* cols = Rec::columnInfo(&n);
        m_columnVec.reserve(n);
        for (size_t k = 0; k < n; ++k) m_columnVec.push_back(newValueObject(cols[k].code));  // reserved
    }

    // Built aside and published in one step: a failure leaves the statics as they were.
    static void fillStatics(const ColumnInfo* cols, size_t n) {
        std::string name = Desc::className;
        std::string schema = fillForTime(generatedTypeString().c_str());
        ForeignKeyMap fk;
        if constexpr (Desc::kind == DBtable::kTable) {
            const auto& keys = Desc::foreignKeys;
            for (size_t k = 0; k < keys.size();) {
                std::map<std::string, std::string> pairs;
                size_t e = k;
                for (; e < keys.size() && keys[e].key == keys[k].key; ++e) pairs[keys[e].local] = keys[e].ref;
                fk[keys[k].refTable] = std::move(pairs);  // a later key to the same table replaces it
                k = e;
            }
        }
        std::vector<std::string> names;
        names.reserve(n);
        for (size_t k = 0; k < n; ++k) names.emplace_back(cols[k].name);
        m_name.swap(name);
        m_type = Desc::kind;
        structSchema.swap(schema);
        m_foreignKeyMap.swap(fk);
        m_staticColumnVec.swap(names);
        s_isInitialized.store(true, std::memory_order_release);
    }
};

// ---- the access object X ------------------------------------------------------------------------------

template <class A>
struct ValueOf;
template <>
struct ValueOf<int> {
    using type = ZYDB_int;
};
template <>
struct ValueOf<long long> {
    using type = ZYDB_int64;
};
template <>
struct ValueOf<const char*> {
    using type = ZYDB_string;
};

// The text of a text argument; a null pointer is taken as empty and logged, never read.
const char* argTextOrEmpty(const char* text, const char* family, int position);

template <class Desc, class Rec, class Schema>
class AccessBase : public DBtable {
public:
    using Descriptor = Desc;
    using Record = Rec;
    using SchemaObject = Schema;

    explicit AccessBase(DBtran* tran) : AccessBase(0, tran) {}
    AccessBase(int dbArg, DBtran* tran) : DBtable(Desc::dbName, dbArg, tran) {
        setKind(Desc::kind);
        setColumnList(family().columnList.c_str());
        setDescription(family().description.c_str());
        if constexpr (Desc::kind == kTable) {
            m_headerRevision = Desc::revision;
            int* serial = nullptr;
            if (family().serialOffset != SIZE_MAX)
                serial = reinterpret_cast<int*>(reinterpret_cast<char*>(&m_record) + family().serialOffset);
            setSerialColumn(serial ? Desc::serialColumn : "", serial);
            setOrderBy(Desc::orderBy);
        } else {
            setSerialColumn(nullptr, nullptr);
        }
        dataBindClearFirstTime();
        if constexpr (Rec::kColumnCount > 0) setExtIndicatorArray(m_indicators.data());
        if (b_newDBBase) {
            m_schemaObject = std::make_unique<Schema>();
            setSchemaObject(m_schemaObject.get());
        }
        if constexpr (Desc::kind == kProcedure) setHeaderRevision(Desc::revision);
        joinTransaction(tran);
    }
    ~AccessBase() override {
        if constexpr (Desc::kind == kTable) dataBindClear();
        setSchemaObject(nullptr);
    }

    Rec* getDataPtr() { return &m_record; }

    // Binds the record's members as the result columns.
    void dataBindClearFirstTime() {
        clearResultColumns();
        size_t n = 0;
        const ColumnInfo* cols = Rec::columnInfo(&n);
        for (size_t k = 0; k < n; ++k)
            bindResultColumn(cols[k].code, cols[k].width,
                             reinterpret_cast<char*>(&m_record) + cols[k].offset);
    }
    void dataBindClear() { clearResultColumns(); }

    const char* getHeaderRevisionText() const { return m_headerRevision; }
    const long long* getIndicators() const { return m_indicators.data(); }

private:
    struct Family {
        std::string columnList;
        std::string description;
        size_t serialOffset = SIZE_MAX;
    };
    static const Family& family() {
        static const Family f = [] {
            Family r;
            size_t n = 0;
            const ColumnInfo* cols = Rec::columnInfo(&n);
            r.columnList = columnListOf(cols, n);
            r.description = std::string(Desc::kind == kTable ? "Table " : "Procedure ") + Desc::className;
            for (size_t k = 0; k < n; ++k)
                if (Desc::kind == kTable && std::strcmp(cols[k].name, Desc::serialColumn) == 0)
                    r.serialOffset = cols[k].offset;
            return r;
        }();
        return f;
    }

    void joinTransaction(DBtran* tran) {
        if (!lockRegistration()) {
            // Registration cannot be done safely; with a transaction the object must not run at all.
            if (tran != nullptr) markRegistrationFailed();
            return;
        }
        if (tran != nullptr) {
            try {
                tran->addObject(this);
            } catch (...) {
                std::string fmt = std::string(Desc::className) + " Constructor [0x%08x], caught an exception";
                log_error(Desc::header, Desc::errorLine, fmt.c_str(),
                          static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(this)));
                markRegistrationFailed();
            }
        }
        unlockRegistration();
    }

protected:
    const char* m_headerRevision = nullptr;  // tables
    Rec m_record;
    std::array<long long, Rec::kColumnCount> m_indicators{};
    std::unique_ptr<Schema> m_schemaObject;
};

template <class Desc, class Rec, class Schema, class Args = typename Desc::Args>
class AccessFamily;

template <class Desc, class Rec, class Schema>
class AccessFamily<Desc, Rec, Schema, ArgList<>> : public AccessBase<Desc, Rec, Schema> {
public:
    using AccessBase<Desc, Rec, Schema>::AccessBase;
};

// Procedures with arguments: setValues binds them (new base) or prints the values clause.
template <class Desc, class Rec, class Schema, class... A>
class AccessFamily<Desc, Rec, Schema, ArgList<A...>> : public AccessBase<Desc, Rec, Schema> {
    static_assert(Desc::kind == DBtable::kProcedure, "only procedures take arguments");

public:
    using AccessBase<Desc, Rec, Schema>::AccessBase;

    void setValues(A... a) { setValuesAt(std::index_sequence_for<A...>{}, a...); }

    void setZYDBValues(typename ValueOf<A>::type*... v) {
        this->ClearBoundInputs();
        (this->BindInput(v), ...);
        this->setInputsBound(true);
    }

    // The reserved length of the printed clause: the format, 12 per int, 22 per 64-bit, each text.
    static unsigned long capacity(A... a) {
        return static_cast<unsigned long>(std::strlen(Desc::argFormat)) + (0ul + ... + argAllowance(a));
    }

private:
    template <size_t... I>
    void setValuesAt(std::index_sequence<I...>, A... a) {
        if (DBtable::b_newDBBase) {
            std::tuple<std::unique_ptr<typename ValueOf<A>::type>...> values{
                makeValue(a, Desc::className, static_cast<int>(I) + 1)...};
            std::apply([this](auto&... v) { setZYDBValues(v.release()...); }, values);
        } else {
            this->valuesClauseCheck(capacity(a...));
            this->CallDBsprintfWrapper(Desc::argFormat,
                                       printable(a, Desc::className, static_cast<int>(I) + 1)...);
        }
    }

    static unsigned long argAllowance(int) { return 12; }
    static unsigned long argAllowance(long long) { return 22; }
    static unsigned long argAllowance(const char* t) {
        return t ? static_cast<unsigned long>(std::strlen(t)) : 0;
    }

    static std::unique_ptr<ZYDB_int> makeValue(int v, const char*, int) {
        return std::make_unique<ZYDB_int>(v);
    }
    static std::unique_ptr<ZYDB_int64> makeValue(long long v, const char*, int) {
        return std::make_unique<ZYDB_int64>(v);
    }
    static std::unique_ptr<ZYDB_string> makeValue(const char* t, const char* family, int position) {
        return std::make_unique<ZYDB_string>(argTextOrEmpty(t, family, position));
    }
    template <class T>
    static T printable(T v, const char*, int) {
        return v;
    }
    static const char* printable(const char* t, const char* family, int position) {
        return argTextOrEmpty(t, family, position);
    }
};

}  // namespace zydb

// A procedure family's names: the class X, the database object X, the header Db/Proc/X.
#define ZYDB_PROC_NAMES(X)                       \
    static constexpr const char* className = #X; \
    static constexpr const char* dbName = #X;    \
    static constexpr const char* header = "Db/Proc/" #X;

// A procedure family whose only argument is the request XML, from X_COLUMNS.
#define ZYDB_XML_PROCEDURE(X, revisionText, line)             \
    struct X##_desc : ::zydb::XmlProcDesc {                   \
        ZYDB_PROC_NAMES(X)                                    \
        static constexpr const char* revision = revisionText; \
        static constexpr int errorLine = line;                \
    };                                                        \
    ZYDB_FAMILY(X)

// ---- generation from a family's data ------------------------------------------------------------------

#define ZYDB_REC_MEMBER(name, type) ::zydb::col::type::storage name{};
#define ZYDB_REC_RELEASE(name, type) ::zydb::releaseOwned(name);
#define ZYDB_REC_COPY(name, type) ::zydb::copyColumn(name, o.name);
#define ZYDB_REC_COUNT(name, type) +1
#define ZYDB_REC_INFO(name, type) \
    ::zydb::ColumnInfo{#name, ::zydb::col::type::code, ::zydb::col::type::width, offsetof(Self, name)},

// The record X_t: one member per column; owned text freed once; copies are bounded or deep.
#define ZYDB_RECORD(X)                                                                                     \
    struct X##_t {                                                                                         \
        X##_COLUMNS(ZYDB_REC_MEMBER) static constexpr size_t kColumnCount = 0 X##_COLUMNS(ZYDB_REC_COUNT); \
        X##_t() = default;                                                                                 \
        ~X##_t(){X##_COLUMNS(ZYDB_REC_RELEASE)} X                                                          \
            ##_t([[maybe_unused]] const X##_t& o){X##_COLUMNS(ZYDB_REC_COPY)} X##_t&                       \
            operator=([[maybe_unused]] const X##_t& o) {                                                   \
            if (this != &o) {                                                                              \
                X##_COLUMNS(ZYDB_REC_COPY)                                                                 \
            }                                                                                              \
            return *this;                                                                                  \
        }                                                                                                  \
        static const ::zydb::ColumnInfo* columnInfo(size_t* count) {                                       \
            using Self [[maybe_unused]] = X##_t;                                                           \
            static const ::zydb::ColumnInfo cols[] = {X##_COLUMNS(ZYDB_REC_INFO){}};                       \
            *count = sizeof(cols) / sizeof(cols[0]) - 1;                                                   \
            return cols;                                                                                   \
        }                                                                                                  \
    };

// The whole family X from X_COLUMNS and X_desc.
#define ZYDB_FAMILY(X)                                               \
    ZYDB_RECORD(X)                                                   \
    class X##_t2 : public ::zydb::RowSchema<X##_desc, X##_t> {};     \
    class X : public ::zydb::AccessFamily<X##_desc, X##_t, X##_t2> { \
    public:                                                          \
        explicit X(DBtran* tran) : AccessFamily(tran) {}             \
    };

// A family whose constructor also takes the DBtable int argument: X(int, DBtran*).
#define ZYDB_FAMILY_WITH_ARG(X)                                      \
    ZYDB_RECORD(X)                                                   \
    class X##_t2 : public ::zydb::RowSchema<X##_desc, X##_t> {};     \
    class X : public ::zydb::AccessFamily<X##_desc, X##_t, X##_t2> { \
    public:                                                          \
        X(int dbArg, DBtran* tran) : AccessFamily(dbArg, tran) {}    \
    };
