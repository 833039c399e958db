// What the procedures of familiesb_procs.def share beyond their handlers.
#include "platform/hubdb/familiesb_procs.h"

namespace hubdb {

std::string activityControlProperty(int activityType) {
    return "Disable Activity " + std::to_string(activityType);
}

}  // namespace hubdb
