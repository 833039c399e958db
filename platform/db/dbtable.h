// DBtable: the cursor under every row family (a table or a stored procedure of the Hubmaster
// database), with where/order/top, fetches into the family's record, updates, procedure arguments and
// transactions (DBtran, TranWrapper). An object is used by the thread that made it; fetches return 0
// for a row, 100 at the end, anything else for an error (zydb::DbResult).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/db/dbbackend.h"
#include "platform/db/dbresult.h"
#include "platform/db/procregistry.h"
#include "platform/db/sqlformat.h"
#include "platform/db/zydbtypes.h"

class DBtran;
class ZYDBRowBase;
class FXCriticalSection;

// Error line of the database layer: "<file>(<line>): <text>", always written.
void log_error(const char* file, int line, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

// The connection-side state of an access object: where each fetch reports its columns' indicators
// (the value's length, -1 for NULL).
class ZYSimpleDBConnObject {
public:
    void setExtIndicatorArray(void* indicators) { m_indicators = static_cast<long long*>(indicators); }
    long long* indicators() const { return m_indicators; }

private:
    long long* m_indicators = nullptr;  // the family's array, one entry per result column
};

class DBtable {
public:
    // State bits reported by getState().
    enum : int {
        kStateCursorOpen = 0x01,
        kStateAtEnd = 0x02,
        kStateError = 0x04,
        kStateTranOpen = 0x10,            // DBtran: a transaction is open (bit 4)
        kStateJoined = 0x20,              // registered with its transaction
        kStateRegistrationFailed = 0x40,  // a transaction was given but could not be joined
    };
    enum Kind : int { kTable = 1, kProcedure = 2 };

    DBtable(const char* name, int dbArg, DBtran* tran);
    // The int argument the family was made with (0 for every family so far).
    int dbArg() const { return m_dbArg; }
    virtual ~DBtable();
    DBtable(const DBtable&) = delete;
    DBtable& operator=(const DBtable&) = delete;

    // The new database base: schema objects exist and procedure arguments are bound values.
    static bool b_newDBBase;
    // Taken while an access object registers with its transaction (recursive). Its type stays out of
    // this header, which every row family includes: the lock's headers are costly to compile.
    static FXCriticalSection DBCriticalSection;
    static bool lockRegistration();
    static void unlockRegistration();

    void setExtIndicatorArray(void* indicators) {
        if (b_newDBBase) m_connObject.setExtIndicatorArray(indicators);
    }
    const char* getTableName() { return m_name.c_str(); }
    int getState() { return m_state; }
    int stateBits() const { return m_state; }

    // What a family's constructor describes.
    void setKind(int kind) { m_kind = kind; }
    void setColumnList(const char* columns) { m_columnList = columns ? columns : ""; }
    void setDescription(const char* text) { m_description = text ? text : ""; }
    void setHeaderRevision(const char* revision);  // procedures keep at most 20 characters
    const char* getHeaderRevision() const { return m_revision; }
    void setSerialColumn(const char* name, int* member);
    const char* getSerialColumnName() const { return m_serialName; }
    int* getSerialColumnPtr() const { return m_serialPtr; }
    void setSchemaObject(ZYDBRowBase* schema) { m_schema = schema; }
    ZYDBRowBase* getSchemaObject() const { return m_schema; }
    const std::string& getDescription() const { return m_description; }
    const std::string& getColumnList() const { return m_columnList; }
    int getKind() const { return m_kind; }

    // Result columns in order: the type code (i b x s u), the width of a fixed text (0: an owned
    // pointer) and the record member that each fetch fills.
    void bindResultColumn(char code, int width, void* member);
    void clearResultColumns() { m_columns.clear(); }

    // The next query. A '%s' inside quotes is bound, never pasted (see sqlformat.h).
    template <class... A>
    void setWhere(const char* fmt, const A&... args) {
        zydb::SqlArg list[sizeof...(A) + 1] = {zydb::toSqlArg(args)...};
        setWhereArgs(fmt, list, sizeof...(A));
    }
    // A where clause built by the caller and used as it is, for clauses of numbers, names and
    // operators only (a clause with text values goes through setWhere, whose quoted '%s' is bound). A
    // quote, a comment, a statement end, a parameter marker or a NUL in it is refused: the next fetch
    // fails with DB_ERR_ARGUMENT. Its own name keeps a char buffer from landing here by overload.
    void setWhereRaw(std::string_view clause);
    void setOrderBy(const char* order);
    void setTop(int n);
    // Every type reads the last committed state: WAL readers never wait for a writer.
    void setIsolationType(unsigned int type) { m_isolation = type; }

    // Updates the rows of the where clause: 0 when rows changed, 100 when none matched. An update
    // without a where clause is refused rather than rewriting the whole table.
    template <class... A>
    int rowUpdate(const char* fmt, const A&... args) {
        zydb::SqlArg list[sizeof...(A) + 1] = {zydb::toSqlArg(args)...};
        return rowUpdateArgs(fmt, list, sizeof...(A));
    }

    // `t` names the object to fetch (callers pass the object itself); rows counts the rows fetched.
    int getNextRow(DBtable* t, int* rows, int, int);
    // One row. keepOpen leaves the cursor open for closeCursor; otherwise it is closed at once.
    int getOneRow(DBtable* t, bool keepOpen, int, int);

    virtual int openCursor();
    virtual int fetchCursor(bool);
    virtual int closeCursor();
    // The open cursor's remaining result as one text: the first column of every row, in order (the
    // way XML-answering procedures hand out their document).
    virtual int getCursorText(std::string& out);
    // Text of a code; the engine's own words when `code` is this object's last error. Valid until
    // the next call on this object.
    const char* getErrorStr(int code);

    // Procedure arguments, printed form (new base off).
    void valuesClauseCheck(unsigned long capacity);
    template <class... A>
    int CallDBsprintfWrapper(const char* fmt, const A&... args) {
        zydb::SqlArg list[sizeof...(A) + 1] = {zydb::toSqlArg(args)...};
        return printValues(fmt, list, sizeof...(A));
    }
    const std::string& getValuesClause() const { return m_valuesClause; }
    unsigned long getValuesCapacity() const { return m_valuesCapacity; }
    // Procedure arguments, bound form (new base on). BindInput takes ownership.
    void ClearBoundInputs();
    void BindInput(ZYDBDataTypeBase* value);
    // Beside the first argument's text, the object it was written from, for a procedure of this process
    // that takes it (zydb::CProcCall::takeArgObject); given to the next run only. Bound after setValues,
    // which clears it.
    void bindArgObject(std::unique_ptr<zydb::CProcObject> object) { m_argObject = std::move(object); }
    // After a procedure run: the object its only result row was written from, when it gave one; the
    // row's text stays readable. Taken once; gone when the cursor closes.
    std::unique_ptr<zydb::CProcObject> takeResultObject() { return std::move(m_resultObject); }
    void setInputsBound(bool bound) { m_inputsBound = bound; }
    bool getInputsBound() const { return m_inputsBound; }
    size_t boundInputCount() const { return m_inputs.size(); }

    // Set by a family constructor when its transaction refused it: every fetch then fails.
    void markRegistrationFailed() { m_state |= kStateRegistrationFailed; }
    DBtran* getTran() const { return m_tran; }

    // The SQL of the last query run (after the dialect), for logs and tests.
    const std::string& lastSql() const { return m_lastSql; }

protected:
    int fail(int code, const std::string& text);

private:
    friend class DBtran;
    struct Column {
        char code;
        int width;
        void* member;
    };

    void setWhereArgs(const char* fmt, const zydb::SqlArg* args, size_t count);
    int rowUpdateArgs(const char* fmt, const zydb::SqlArg* args, size_t count);
    int printValues(const char* fmt, const zydb::SqlArg* args, size_t count);
    void resetCursor();
    int connection(std::shared_ptr<zydb::IDbConnection>& out);
    int openTable();
    int openProcedure();
    int procedureArgs(std::vector<zydb::DbValue>& out);
    // Row: the source's own class where it is known (a procedure's rows), so that reading a column
    // is a plain call.
    template <class Row>
    int fillRecord(const Row& row);
    const std::vector<std::vector<zydb::DbValue>>& procRows() const {
        return m_procShared ? *m_procShared : m_procRows;
    }
    void detachFromTran();  // the transaction is going away
    void logNotes(const zydb::BoundSql& b);

    std::string m_name;
    int m_dbArg;
    DBtran* m_tran;  // not owned; null once it is gone
    int m_kind = kTable;
    int m_state = 0;
    std::string m_columnList;
    std::string m_description;
    char m_revision[21] = {};
    const char* m_serialName = nullptr;
    int* m_serialPtr = nullptr;
    ZYDBRowBase* m_schema = nullptr;  // owned by the family object
    ZYSimpleDBConnObject m_connObject;
    std::vector<Column> m_columns;

    zydb::BoundSql m_where;
    bool m_hasWhere = false;
    std::string m_orderBy;
    int m_top = 0;
    unsigned int m_isolation = 0;

    std::string m_valuesClause;
    unsigned long m_valuesCapacity = 0;
    bool m_valuesPrinted = false;
    std::vector<std::unique_ptr<ZYDBDataTypeBase>> m_inputs;
    bool m_inputsBound = false;
    int m_argError = 0;
    std::string m_argErrorText;

    std::shared_ptr<zydb::IDbConnection> m_conn;  // held while a cursor is open
    std::unique_ptr<zydb::IDbStatement> m_stmt;
    std::vector<std::vector<zydb::DbValue>> m_procRows;
    std::shared_ptr<const std::vector<std::vector<zydb::DbValue>>> m_procShared;  // in place of m_procRows
    size_t m_procNext = 0;
    std::unique_ptr<zydb::CProcObject> m_argObject;     // for the next procedure run
    std::unique_ptr<zydb::CProcObject> m_resultObject;  // of the last run's only row
    int m_stickyError = 0;

    int m_lastError = 0;
    std::string m_lastErrorText;
    std::string m_errorStr;
    std::string m_lastSql;
};

int getNextRow(DBtable* t, int* rows, int, int);
int getOneRow(DBtable* t, bool keepOpen, int, int);

// A transaction on a connection of its own, so that only the objects registered with it take part.
// Used by the thread that made it.
class DBtran : public DBtable {
public:
    // startNow: begin at once (the same as calling startTran).
    explicit DBtran(bool startNow = false);
    ~DBtran() override;  // rolls back what is still open

    int startTran();
    int commitTran();
    int rollbackTran();
    bool isOpen() const { return (stateBits() & kStateTranOpen) != 0; }

    // Registers an access object: its statements run in this transaction. Throws a text when the
    // transaction has no connection or belongs to another thread.
    void addObject(DBtable* t);
    void removeObject(DBtable* t);

    // The transaction's connection, taken when it is first asked for (null when none can be had).
    std::shared_ptr<zydb::IDbConnection> tranConnection() const { return connectionNow(); }

private:
    int run(const char* sql, int setBits, int clearBits);
    const std::shared_ptr<zydb::IDbConnection>& connectionNow() const;

    // Taken at the first need: a transaction never begun (a question answered from what its request
    // read) holds no connection.
    mutable std::shared_ptr<zydb::IDbConnection> m_tconn;
    mutable bool m_connectionAsked = false;
    mutable std::string m_openError;
    std::thread::id m_ownerThread;
    std::vector<DBtable*> m_objects;  // guarded by DBtable::DBCriticalSection
};

// Holds the caller's transaction or one of its own.
class TranWrapper {
public:
    TranWrapper(DBtran* tran, const std::string& name);
    ~TranWrapper();  // an own transaction still open is rolled back, never committed
    TranWrapper(const TranWrapper&) = delete;
    TranWrapper& operator=(const TranWrapper&) = delete;

    // Opens a transaction of its own when none was given. 0 on success, else the error in `error`.
    int ensureTran(std::string& error);
    int commitIfOwnTran();
    int rollbackIfOwnTran();
    DBtran* getTran() const { return m_tran; }

private:
    DBtran* m_tran;
    std::unique_ptr<DBtran> m_own;
    std::string m_name;
};
