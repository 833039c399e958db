// Registration of the procedures of familiesb_procs.def.
#include "platform/hubdb/familiesb_procs.h"

namespace hubdb {

std::string activityControlProperty(int activityType) { return "Disable Activity " + std::to_string(activityType); }

void registerFamiliesBProcedures() {
#define HUB_PROCEDURE(name, handler) zydb::CProcRegistry::add(name, handler);
#include "platform/hubdb/familiesb_procs.def"
#undef HUB_PROCEDURE
}

}  // namespace hubdb
