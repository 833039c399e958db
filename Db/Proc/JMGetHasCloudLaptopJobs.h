// JMGetHasCloudLaptopJobs: whether a backup set has cloud-laptop backup jobs up to a time. Record,
// schema and access object come from this data; made on the calling thread's stack for one call.
#pragma once

#include "platform/db/rowfamily.h"

#define JMGetHasCloudLaptopJobs_COLUMNS(COL) COL(o_hasCloudLaptopJobs, i)

struct JMGetHasCloudLaptopJobs_desc : zydb::ProcDesc {
    static constexpr const char* className = "JMGetHasCloudLaptopJobs";
    static constexpr const char* dbName = "JMGetHasCloudLaptopJobs";
    static constexpr const char* revision = "00010001000400020000";
    static constexpr const char* header = "Db/Proc/JMGetHasCloudLaptopJobs";
    static constexpr int errorLine = 366;
    using Args = zydb::ArgList<int, int>;  // backup set id, time
    static constexpr const char* argFormat = "%d,%d";
};

ZYDB_FAMILY(JMGetHasCloudLaptopJobs)
