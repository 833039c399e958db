// DBtable, DBtran, TranWrapper and log_error over the narrow backend.
#include "platform/db/dbtable.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/config/zyformat.h"
#include "platform/db/dbenv.h"
#include "platform/db/dialect.h"
#include "platform/db/procregistry.h"
#include "platform/db/requestscope.h"
#include "platform/log/evdebug.h"
#include "platform/threads/fxcriticalsection.h"

using zydb::DbValue;

bool DBtable::b_newDBBase = true;
FXCriticalSection DBtable::DBCriticalSection;

bool DBtable::lockRegistration() {
    return DBCriticalSection.Lock();
}

void DBtable::unlockRegistration() {
    DBCriticalSection.Unlock();
}

namespace {

constexpr const char* kTag = "DBLAYER";

// A procedure's materialised row seen through the same interface as a statement's.
class ValueRow final : public zydb::IDbRow {
public:
    explicit ValueRow(const std::vector<DbValue>& v) : m_v(v) {}
    int columnCount() const override { return static_cast<int>(m_v.size()); }
    bool columnIsNull(int c) const override { return m_v[c].isNull(); }
    long long columnInt64(int c) const override { return m_v[c].asInt(); }
    std::string_view columnText(int c) const override {
        const DbValue& v = m_v[c];
        if (v.kind == DbValue::Text) return v.s;
        m_scratch = v.asText();
        return m_scratch;
    }
    bool readInt64(int c, long long& out) const override {
        const DbValue& v = m_v[c];
        if (v.isNull()) return false;
        out = v.kind == DbValue::Int ? v.i : v.asInt();
        return true;
    }
    bool readText(int c, std::string_view& out) const override {
        if (m_v[c].isNull()) return false;
        out = columnText(c);
        return true;
    }

private:
    const std::vector<DbValue>& m_v;
    mutable std::string m_scratch;
};

// Cuts at most `limit` bytes without splitting a UTF-8 sequence.
size_t cutUtf8(std::string_view t, size_t limit) {
    if (t.size() <= limit) return t.size();
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(t[cut]) & 0xC0) == 0x80) --cut;
    return cut;
}

}  // namespace

void log_error(const char* file, int line, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const std::string text = zyFormatV(fmt, ap);  // no format: an empty text
    va_end(ap);
    evTaggedLog(kTag, -1, true, "%s(%d): %s", file ? file : "?", line, text.c_str());
}

DBtable::DBtable(const char* name, int dbArg, DBtran* tran)
    : m_name(name ? name : ""), m_dbArg(dbArg), m_tran(tran) {}

DBtable::~DBtable() {
    resetCursor();
    if (m_tran != nullptr && (m_state & kStateJoined)) {
        // The transaction and its objects share one thread, so leaving its list cannot wait for the
        // lock: a dangling entry would be worse than an unordered removal.
        bool locked = DBCriticalSection.Lock();
        m_tran->removeObject(this);
        if (locked) DBCriticalSection.Unlock();
    }
}

void DBtable::setHeaderRevision(const char* revision) {
    // A 21-byte field: 20 characters and the NUL.
    std::snprintf(m_revision, sizeof m_revision, "%s", revision ? revision : "");
}

void DBtable::setSerialColumn(const char* name, int* member) {
    m_serialName = name;
    m_serialPtr = member;
}

void DBtable::bindResultColumn(char code, int width, void* member) {
    m_columns.push_back(Column{code, width, member});
}

void DBtable::logNotes(const zydb::BoundSql& b) {
    for (const std::string& n : b.notes) {
        EvDebug log(nullptr);
        log.setPrefixMessage(kTag);
        log.debugLvl(0, "%s: %s", m_name.c_str(), n.c_str());
    }
}

void DBtable::setWhereArgs(const char* fmt, const zydb::SqlArg* args, size_t count) {
    resetCursor();
    zydb::bindSqlFormat(fmt, args, count, m_where);
    logNotes(m_where);
    m_hasWhere = true;
    if (m_where.rc != zydb::DB_OK) {
        EvDebug log(nullptr);
        log.setPrefixMessage(kTag);
        log.error("%s: where clause refused: %s", m_name.c_str(), m_where.error.c_str());
    }
}

void DBtable::setWhereRaw(std::string_view clause) {
    resetCursor();
    zydb::rawSqlClause(clause, m_where);
    m_hasWhere = true;
    if (m_where.rc != zydb::DB_OK) {
        EvDebug log(nullptr);
        log.setPrefixMessage(kTag);
        log.error("%s: raw where clause refused: %s", m_name.c_str(), m_where.error.c_str());
    }
}

void DBtable::setOrderBy(const char* order) {
    resetCursor();
    m_orderBy = order ? order : "";
}

void DBtable::setTop(int n) {
    resetCursor();
    m_top = n > 0 ? n : 0;
}

int DBtable::fail(int code, const std::string& text) {
    m_lastError = code;
    m_lastErrorText = text;
    return code;
}

int DBtable::connection(std::shared_ptr<zydb::IDbConnection>& out) {
    if (m_state & kStateRegistrationFailed)
        return fail(zydb::DB_ERR_STATE,
                    "the object could not join its transaction; refusing to run outside it");
    if (m_tran != nullptr || (m_state & kStateJoined)) {
        if (!(m_state & kStateJoined) || m_tran == nullptr)
            return fail(zydb::DB_ERR_STATE, "the object's transaction is not joined or is gone");
        out = m_tran->tranConnection();
        if (!out) return fail(zydb::DB_ERR_NOT_OPEN, "the transaction has no connection");
        return zydb::DB_OK;
    }
    int rc = 0;
    std::string err;
    out = zydb::CDbEnv::threadConnection(&rc, &err);
    if (!out) return fail(rc, err);
    return zydb::DB_OK;
}

void DBtable::resetCursor() {
    m_stmt.reset();
    m_conn.reset();
    m_procRows.clear();
    m_procShared.reset();
    m_procNext = 0;
    m_resultObject.reset();
    m_stickyError = 0;
    m_state &= ~(kStateCursorOpen | kStateAtEnd | kStateError);
}

int DBtable::openCursor() {
    resetCursor();
    int rc = m_kind == kProcedure ? openProcedure() : openTable();
    if (rc != zydb::DB_OK) {
        m_stmt.reset();
        m_conn.reset();
        m_stickyError = rc;
        m_state |= kStateError;
        EvDebug log(nullptr);
        log.setPrefixMessage(kTag);
        log.error("%s: query failed [%d] %s [%s]", m_name.c_str(), rc, m_lastErrorText.c_str(),
                  m_lastSql.c_str());
        return rc;
    }
    m_state |= kStateCursorOpen;
    return zydb::DB_OK;
}

int DBtable::openTable() {
    if (m_hasWhere && m_where.rc != zydb::DB_OK) return fail(m_where.rc, m_where.error);
    std::string sql =
        "SELECT " + (m_columnList.empty() ? std::string("*") : m_columnList) + " FROM " + m_name;
    if (m_hasWhere && !m_where.text.empty()) sql += " WHERE " + m_where.text;
    if (!m_orderBy.empty()) sql += " ORDER BY " + m_orderBy;
    if (m_top > 0) sql += " LIMIT " + std::to_string(m_top);
    m_lastSql = zydb::normalizeDialect(sql);
    int rc = connection(m_conn);
    if (rc != zydb::DB_OK) return rc;
    rc = zydb::prepareBound(*m_conn, m_lastSql, m_where.params, m_stmt);
    if (rc != zydb::DB_OK) return fail(rc, m_conn->lastError());
    return zydb::DB_OK;
}

int DBtable::procedureArgs(std::vector<DbValue>& out) {
    out.clear();
    if (m_argError != 0) return fail(m_argError, m_argErrorText);
    if (m_inputsBound || !m_inputs.empty()) {
        out.reserve(m_inputs.size());
        // The kinds are told by their type code: each code is of one value class only.
        for (const auto& in : m_inputs) {
            if (in->isNull()) {
                out.emplace_back();
                continue;
            }
            switch (in->getDataType()) {
                case ZYDB_int::kTypeCode:
                    out.push_back(DbValue::ofInt(static_cast<const ZYDB_int&>(*in).getValue()));
                    break;
                case ZYDB_int64::kTypeCode:
                    out.push_back(DbValue::ofInt(static_cast<const ZYDB_int64&>(*in).getValue()));
                    break;
                case ZYDB_string::kTypeCode:
                    out.push_back(DbValue::ofText(static_cast<const ZYDB_string&>(*in).getValue()));
                    break;
                default:
                    return fail(zydb::DB_ERR_ARGUMENT, "an argument of an unknown kind");
            }
        }
        return zydb::DB_OK;
    }
    if (m_valuesPrinted && !zydb::parseValuesClause(m_valuesClause, out))
        return fail(zydb::DB_ERR_ARGUMENT, "the printed values clause does not parse: " + m_valuesClause);
    return zydb::DB_OK;
}

int DBtable::openProcedure() {
    m_lastSql = "EXEC " + m_name + " " + m_valuesClause;
    zydb::ProcHandler handler = zydb::CProcRegistry::find(m_name);
    if (handler == nullptr) return fail(zydb::DB_ERR_NO_PROCEDURE, "no stored procedure " + m_name);
    std::vector<DbValue> args;
    int rc = procedureArgs(args);
    if (rc != zydb::DB_OK) return rc;
    rc = connection(m_conn);
    if (rc != zydb::DB_OK) return rc;
    zydb::CProcCall call(*m_conn, std::move(args), std::move(m_argObject));
    rc = handler(call);
    if (rc != zydb::DB_OK) {
        std::string why = call.error().empty() ? m_conn->lastError() : call.error();
        return fail(rc == zydb::DB_NO_DATA ? zydb::DB_ERR_PROCEDURE : rc, m_name + ": " + why);
    }
    m_procRows = std::move(call.rows());
    m_procShared = call.takeSharedRows();
    m_procNext = 0;
    if (procRows().size() == 1) m_resultObject = call.takeResultObject();
    return zydb::DB_OK;
}

template <class Row>
int DBtable::fillRecord(const Row& row) {
    const int have = row.columnCount();
    if (have < static_cast<int>(m_columns.size()))
        return fail(zydb::DB_ERR_SCHEMA, m_name + ": a row has " + std::to_string(have) +
                                             " columns, the record " + std::to_string(m_columns.size()));
    long long* ind = m_connObject.indicators();
    const int n = static_cast<int>(m_columns.size());
    for (int c = 0; c < n; ++c) {
        const Column& col = m_columns[c];
        long long indicator = -1;
        switch (col.code) {
            case 'i': {
                long long v = 0;
                if (row.readInt64(c, v)) indicator = sizeof(int);
                // A 32-bit column holds a signed or an unsigned 32-bit value; anything wider would be cut.
                if (v < INT32_MIN || v > static_cast<long long>(UINT32_MAX))
                    return fail(zydb::DB_ERR_SCHEMA, m_name + ": value " + std::to_string(v) + " of column " +
                                                         std::to_string(c + 1) + " does not fit 32 bits");
                *static_cast<int*>(col.member) = static_cast<int>(v);
                break;
            }
            case 'b':
            case 'x': {
                long long v = 0;
                if (row.readInt64(c, v)) indicator = sizeof(long long);
                *static_cast<long long*>(col.member) = v;
                break;
            }
            default: {  // s, u
                std::string_view t;
                if (row.readText(c, t)) indicator = static_cast<long long>(t.size());
                if (col.width > 0) {
                    // Fixed text: at most width - 1 bytes and always the NUL.
                    char* dst = static_cast<char*>(col.member);
                    size_t len = cutUtf8(t, static_cast<size_t>(col.width - 1));
                    if (len) std::memcpy(dst, t.data(), len);
                    dst[len] = 0;
                } else {
                    char*& dst = *static_cast<char**>(col.member);
                    delete[] dst;
                    dst = nullptr;
                    if (!t.empty()) {
                        dst = new char[t.size() + 1];
                        std::memcpy(dst, t.data(), t.size());
                        dst[t.size()] = 0;
                    }
                }
            }
        }
        if (ind) ind[c] = indicator;
    }
    return zydb::DB_OK;
}

int DBtable::fetchCursor(bool) {
    if (m_stickyError != 0) return m_stickyError;
    if (!(m_state & kStateCursorOpen)) {
        int rc = openCursor();
        if (rc != zydb::DB_OK) return rc;
    }
    if (m_state & kStateAtEnd) return zydb::DB_NO_DATA;
    int rc;
    if (m_kind == kProcedure) {
        const auto& rows = procRows();
        if (m_procNext >= rows.size()) {
            rc = zydb::DB_NO_DATA;
        } else {
            rc = fillRecord(ValueRow(rows[m_procNext++]));
        }
    } else {
        rc = m_stmt->step();
        if (rc == zydb::DB_OK) {
            rc = fillRecord<zydb::IDbRow>(*m_stmt);
        } else if (rc != zydb::DB_NO_DATA) {
            fail(rc, m_conn->lastError());
        }
    }
    if (rc == zydb::DB_NO_DATA) {
        // Done: the statement goes now so that it holds no snapshot of the database.
        m_stmt.reset();
        m_conn.reset();
        m_state |= kStateAtEnd;
        return rc;
    }
    if (rc != zydb::DB_OK) {
        m_stickyError = rc;
        m_state |= kStateError;
        m_stmt.reset();
        m_conn.reset();
        EvDebug log(nullptr);
        log.setPrefixMessage(kTag);
        log.error("%s: fetch failed [%d] %s", m_name.c_str(), rc, m_lastErrorText.c_str());
    }
    return rc;
}

int DBtable::closeCursor() {
    resetCursor();
    return zydb::DB_OK;
}

int DBtable::getCursorText(std::string& out) {
    out.clear();
    if (m_stickyError != 0) return m_stickyError;
    if (!(m_state & kStateCursorOpen)) return fail(zydb::DB_ERR_STATE, "no open cursor");
    if (m_kind == kProcedure) {
        const auto& rows = procRows();
        for (; m_procNext < rows.size(); ++m_procNext) {
            const auto& row = rows[m_procNext];
            if (!row.empty()) out += row[0].asText();
        }
    } else if (m_stmt) {
        int rc;
        while ((rc = m_stmt->step()) == zydb::DB_OK) {
            std::string_view t = m_stmt->columnText(0);
            out.append(t.data(), t.size());
        }
        if (rc != zydb::DB_NO_DATA) return fail(rc, m_conn->lastError());
    }
    m_state |= kStateAtEnd;
    return zydb::DB_OK;
}

int DBtable::getNextRow(DBtable* t, int* rows, int a, int b) {
    return ::getNextRow(t ? t : this, rows, a, b);
}
int DBtable::getOneRow(DBtable* t, bool keepOpen, int a, int b) {
    return ::getOneRow(t ? t : this, keepOpen, a, b);
}

int getNextRow(DBtable* t, int* rows, int, int) {
    if (t == nullptr) return zydb::DB_ERR_STATE;
    int rc = t->fetchCursor(false);
    if (rc == zydb::DB_OK && rows != nullptr) ++*rows;
    return rc;
}

int getOneRow(DBtable* t, bool keepOpen, int, int) {
    if (t == nullptr) return zydb::DB_ERR_STATE;
    int rc = t->openCursor();
    if (rc != zydb::DB_OK) return rc;
    rc = t->fetchCursor(false);
    if (!keepOpen) t->closeCursor();
    return rc;
}

const char* DBtable::getErrorStr(int code) {
    if (code == m_lastError && !m_lastErrorText.empty()) {
        m_errorStr = std::string(zydb::dbResultText(code)) + ": " + m_lastErrorText;
    } else {
        m_errorStr = zydb::dbResultText(code);
    }
    return m_errorStr.c_str();
}

int DBtable::rowUpdateArgs(const char* fmt, const zydb::SqlArg* args, size_t count) {
    resetCursor();
    zydb::BoundSql set;
    zydb::bindSqlFormat(fmt, args, count, set);
    logNotes(set);
    if (set.rc != zydb::DB_OK) return fail(set.rc, set.error);
    if (m_hasWhere && m_where.rc != zydb::DB_OK) return fail(m_where.rc, m_where.error);
    if (!m_hasWhere || m_where.text.empty())
        return fail(zydb::DB_ERR_STATE, "an update without a where clause is refused");
    std::string sql = "UPDATE " + m_name + " SET " + set.text + " WHERE " + m_where.text;
    m_lastSql = zydb::normalizeDialect(sql);
    std::vector<DbValue> params = set.params;
    params.insert(params.end(), m_where.params.begin(), m_where.params.end());
    std::shared_ptr<zydb::IDbConnection> conn;
    int rc = connection(conn);
    if (rc != zydb::DB_OK) return rc;
    rc = zydb::execBound(*conn, m_lastSql, params);
    if (rc != zydb::DB_OK) {
        fail(rc, conn->lastError());
        EvDebug log(nullptr);
        log.setPrefixMessage(kTag);
        log.error("%s: update failed [%d] %s [%s]", m_name.c_str(), rc, m_lastErrorText.c_str(),
                  m_lastSql.c_str());
        return rc;
    }
    return conn->changes() > 0 ? zydb::DB_OK : zydb::DB_NO_DATA;
}

void DBtable::valuesClauseCheck(unsigned long capacity) {
    m_valuesCapacity = capacity;
    m_valuesClause.clear();
    m_valuesClause.reserve(capacity);
}

int DBtable::printValues(const char* fmt, const zydb::SqlArg* args, size_t count) {
    resetCursor();
    zydb::BoundSql printed;
    zydb::printSqlFormat(fmt, args, count, printed);
    logNotes(printed);
    m_valuesPrinted = true;
    if (printed.rc != zydb::DB_OK) {
        m_argError = printed.rc;
        m_argErrorText = printed.error;
        m_valuesClause.clear();
        return printed.rc;
    }
    m_argError = 0;
    // The reservation counts raw text; escaped quotes make the clause longer, and it is never cut.
    if (printed.text.size() > m_valuesCapacity) m_valuesCapacity = printed.text.size();
    m_valuesClause = std::move(printed.text);
    return zydb::DB_OK;
}

void DBtable::ClearBoundInputs() {
    resetCursor();
    m_argObject.reset();
    m_inputs.clear();
    m_inputsBound = false;
    m_argError = 0;
}

void DBtable::BindInput(ZYDBDataTypeBase* value) {
    if (value == nullptr) return;
    m_inputs.emplace_back(value);
}

void DBtable::detachFromTran() {
    resetCursor();
    m_tran = nullptr;
    m_state &= ~kStateJoined;
    // Running on without the transaction would silently leave it: fail instead.
    m_state |= kStateRegistrationFailed;
}

// ---------------------------------------------------------------------------------------------------

DBtran::DBtran(bool startNow) : DBtable("DBtran", 0, nullptr), m_ownerThread(std::this_thread::get_id()) {
    if (startNow) startTran();
}

const std::shared_ptr<zydb::IDbConnection>& DBtran::connectionNow() const {
    if (!m_connectionAsked) {
        m_connectionAsked = true;
        int rc = 0;
        m_tconn = zydb::CDbEnv::newConnection(&rc, &m_openError);
    }
    return m_tconn;
}

DBtran::~DBtran() {
    if (isOpen()) rollbackTran();
    bool locked = DBCriticalSection.Lock();
    for (DBtable* t : m_objects) t->detachFromTran();
    m_objects.clear();
    if (locked) DBCriticalSection.Unlock();
}

int DBtran::run(const char* sql, int setBits, int clearBits) {
    if (!connectionNow()) return fail(zydb::DB_ERR_NOT_OPEN, m_openError);
    int rc = m_tconn->exec(sql);
    if (rc != zydb::DB_OK) {
        fail(rc, m_tconn->lastError());
        log_error(__FILE__, __LINE__, "%s failed [%d] %s", sql, rc, m_tconn->lastError().c_str());
        return rc;
    }
    m_state = (m_state | setBits) & ~clearBits;
    return zydb::DB_OK;
}

int DBtran::startTran() {
    if (isOpen()) return zydb::DB_OK;
    return run("BEGIN", kStateTranOpen, 0);
}

int DBtran::commitTran() {
    if (!isOpen()) return fail(zydb::DB_ERR_STATE, "no open transaction to commit");
    // Statements of registered objects would keep the commit from finishing its write.
    for (DBtable* t : m_objects) t->resetCursor();
    const int rc = run("COMMIT", 0, kStateTranOpen);
    zydb::readAfresh();  // this thread's next read sees what it just committed
    return rc;
}

int DBtran::rollbackTran() {
    if (!isOpen()) return zydb::DB_OK;
    for (DBtable* t : m_objects) t->resetCursor();
    return run("ROLLBACK", 0, kStateTranOpen);
}

void DBtran::addObject(DBtable* t) {
    if (t == nullptr) throw "DBtran::addObject: null object";
    if (!connectionNow()) throw "DBtran::addObject: the transaction has no connection";
    if (std::this_thread::get_id() != m_ownerThread)
        throw "DBtran::addObject: the transaction belongs to another thread";
    if (std::find(m_objects.begin(), m_objects.end(), t) == m_objects.end()) m_objects.push_back(t);
    t->m_tran = this;
    t->m_state |= kStateJoined;
}

void DBtran::removeObject(DBtable* t) {
    m_objects.erase(std::remove(m_objects.begin(), m_objects.end(), t), m_objects.end());
}

// ---------------------------------------------------------------------------------------------------

TranWrapper::TranWrapper(DBtran* tran, const std::string& name) : m_tran(tran), m_name(name) {}

TranWrapper::~TranWrapper() {
    if (m_own && m_own->isOpen()) m_own->rollbackTran();
}

int TranWrapper::ensureTran(std::string& error) {
    if (m_tran != nullptr) return zydb::DB_OK;
    m_own = std::make_unique<DBtran>(false);
    int rc = m_own->startTran();
    if (rc != zydb::DB_OK) {
        error = m_name + ": " + m_own->getErrorStr(rc);
        m_own.reset();
        return rc;
    }
    m_tran = m_own.get();
    return zydb::DB_OK;
}

int TranWrapper::commitIfOwnTran() {
    if (!m_own || !m_own->isOpen()) return zydb::DB_OK;
    return m_own->commitTran();
}

int TranWrapper::rollbackIfOwnTran() {
    if (!m_own || !m_own->isOpen()) return zydb::DB_OK;
    return m_own->rollbackTran();
}
