#include "framework/filesystemtypes.h"

#include "platform/entities/apptypes.h"

bool isFileSystemAppType(apptype::EAppType appType) {
    return apptype::in(apptype::family::kFileSystem, appType);
}
