// Two small families used only by the database-layer tests: a table with every column kind and a
// procedure that echoes its arguments. Each test uses them on its own thread.
#pragma once

#include "platform/db/ddl.h"
#include "platform/db/procregistry.h"
#include "platform/db/rowfamily.h"

#define Gadget_COLUMNS(COL) \
    COL(id, i)              \
    COL(label, sN<8>)       \
    COL(note, s)            \
    COL(stamp, x)           \
    COL(size, b)            \
    COL(wide, uN<6>)

struct Gadget_desc : zydb::TableDesc {
    static constexpr const char* className = "Gadget";
    static constexpr const char* dbName = "gadget";
    static constexpr const char* revision = "1.2.3";
    static constexpr const char* header = "tests/Gadget";
    static constexpr int errorLine = 17;
    static constexpr const char* serialColumn = "id";
    static constexpr const char* orderBy = "id";
    static constexpr auto primaryKeys = zydb::keys("id");
    static constexpr auto foreignKeys =
        zydb::fks(zydb::FkPair{0, "owner", "label", "name"}, zydb::FkPair{1, "part", "id", "gadgetId"},
                  zydb::FkPair{1, "part", "stamp", "made"}, zydb::FkPair{2, "owner", "size", "id"});
};
ZYDB_FAMILY(Gadget)

#define GadgetEcho_COLUMNS(COL) \
    COL(r_n, i)                 \
    COL(r_big, b)               \
    COL(r_text, s)

struct GadgetEcho_desc : zydb::ProcDesc {
    static constexpr const char* className = "GadgetEcho";
    static constexpr const char* dbName = "gadgetEcho";
    static constexpr const char* revision = "000100020003000400050006";  // longer than the field
    static constexpr const char* header = "tests/GadgetEcho";
    static constexpr int errorLine = 33;
    using Args = zydb::ArgList<int, long long, const char*>;
    static constexpr const char* argFormat = "%d,%lld,N'%s'";
};
ZYDB_FAMILY(GadgetEcho)

#define GadgetStatus_COLUMNS(COL)
struct GadgetStatus_desc : zydb::ProcDesc {
    static constexpr const char* className = "GadgetStatus";
    static constexpr const char* dbName = "GadgetStatus";
    static constexpr const char* revision = "00d:0000000000000000";
    static constexpr const char* header = "tests/GadgetStatus";
    static constexpr int errorLine = 44;
};
ZYDB_FAMILY(GadgetStatus)

// GadgetEcho(n, big, text): n rows (k, big, text); n < 0 fails the way a procedure reports trouble.
inline int gadgetEchoHandler(zydb::CProcCall& call) {
    long long n = call.argInt(0);
    if (n < 0) {
        call.setError("negative count");
        return zydb::DB_ERR_PROCEDURE;
    }
    for (long long k = 0; k < n; ++k)
        call.addRow({zydb::DbValue::ofInt(k), call.args()[1], zydb::DbValue::ofText(call.argText(2))});
    return zydb::DB_OK;
}

// GadgetStatus: answers with an XML text and no columns, in two pieces.
inline int gadgetStatusHandler(zydb::CProcCall& call) {
    call.addRow({zydb::DbValue::ofText("<Status ")});
    call.addRow({zydb::DbValue::ofText("ok=\"1\"/>")});
    return zydb::DB_OK;
}
