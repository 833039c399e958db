// How the paths of a file-system application type compare: the agents of file systems whose names
// ignore letter case index their paths without regard to case.
#include "platform/entities/apptypes.h"
#include "platform/entities/fssubclientconf.h"

int FSSubclientConf::checkCaseSensitivity(apptype::EAppType appType, bool& caseSensitive) const {
    caseSensitive = !apptype::in(apptype::family::kCaseInsensitive, appType);
    return 0;
}
