// JMJobDataLink: links between a parent job and its child jobs (link type 7: a hypervisor job and the
// jobs of its virtual machines). Record, schema and access object come from this data; made on the
// calling thread's stack for one query.
#pragma once

#include "platform/db/rowfamily.h"

#define JMJobDataLink_COLUMNS(COL) \
    COL(kelmarchId, i)             \
    COL(parentJobId, i)            \
    COL(childJobId, i)             \
    COL(parentAppid, i)            \
    COL(childAppid, i)             \
    COL(linkType, i)               \
    COL(childJobStatus, i)

struct JMJobDataLink_desc : zydb::TableDesc {
    static constexpr const char* className = "JMJobDataLink";
    static constexpr const char* dbName = "JMJobDataLink";
    static constexpr const char* revision = "1.13.302.2";
    static constexpr const char* header = "Db/Tbl/JMJobDataLink";
    static constexpr int errorLine = 515;
    static constexpr const char* orderBy = "kelmarchId, parentJobId, childJobId";
    static constexpr auto primaryKeys = zydb::keys("kelmarchId", "parentJobId", "childJobId");
    // Both job keys reference JMJobStats; the child's, built last, is the one the map keeps.
    static constexpr auto foreignKeys = zydb::fks(zydb::FkPair{0, "APP_Kelmarch", "kelmarchId", "id"},
                                                  zydb::FkPair{1, "JMJobStats", "parentJobId", "jobId"},
                                                  zydb::FkPair{1, "JMJobStats", "kelmarchId", "kelmarchId"},
                                                  zydb::FkPair{2, "JMJobStats", "childJobId", "jobId"},
                                                  zydb::FkPair{2, "JMJobStats", "kelmarchId", "kelmarchId"});
};

ZYDB_FAMILY(JMJobDataLink)
