// Procedure registration and opening of the Hubmaster database.
#include "platform/hubdb/hubdb.h"

#include "platform/db/dbenv.h"
#include "platform/db/procregistry.h"
#include "platform/hubdb/appbrowseprocs.h"
#include "platform/hubdb/archprocs.h"
#include "platform/hubdb/familiesb_procs.h"
#include "platform/hubdb/jobinfotagproc.h"
#include "platform/hubdb/multiclientfindproc.h"
#include "platform/hubdb/proc_archfileinfo.h"
#include "platform/hubdb/proc_jobs.h"
#include "platform/hubdb/retentionprocs.h"
#include "platform/hubdb/tagprocs.h"
#include "platform/hubdb/usageprocs.h"
#include "platform/hubdb/vsatagprocs.h"
#include "platform/hubdb/xmlprocs.h"
#include "platform/msg/app_execute_sp.h"
#include "platform/msg/msg_classes.h"

namespace hubdb {

void registerHubProcedures() {
#define HUB_PROCEDURE(name, handler) zydb::CProcRegistry::add(name, handler);
#include "platform/hubdb/families_a_procs.def"
#include "platform/hubdb/familiesb_procs.def"
#include "platform/hubdb/hubprocs.def"
#undef HUB_PROCEDURE
#define HUB_TAG_PROCEDURE(Request, name, handler) \
    App_ExecuteSP::registerProcedure(Request::TAG, name, handler);
#include "platform/hubdb/hubtagprocs.def"
#undef HUB_TAG_PROCEDURE
}

int openHubDatabase(const std::string& path, std::string* error, const CHubClock& clock) {
    registerHubProcedures();
    return zydb::CDbEnv::open(path, zydb::DbOpenOptions{}, error, clock);
}

}  // namespace hubdb
