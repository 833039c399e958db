// What the platform's own tables (rights, install-manager, entity configuration) have in common beside
// their columns: an integer serial key "id", ordered by it. Data only; any thread.
#pragma once

#include "platform/db/rowfamily.h"

namespace zyent {

template <const char* Header>
struct PlatformTableDesc : zydb::TableDesc {
    static constexpr const char* revision = "1.0";
    static constexpr const char* header = Header;
    static constexpr int errorLine = 0;
    static constexpr const char* serialColumn = "id";
    static constexpr const char* orderBy = "id";
    static constexpr auto primaryKeys = zydb::keys("id");
};

}  // namespace zyent

// The descriptor of platform table X, declared in header H (a constexpr char array naming it).
#define ZYENT_TABLE_DESC(X, H)                        \
    struct X##_desc : ::zyent::PlatformTableDesc<H> { \
        static constexpr const char* className = #X;  \
        static constexpr const char* dbName = #X;     \
    };
