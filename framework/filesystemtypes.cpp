#include "framework/filesystemtypes.h"

#include "platform/entities/apptypes.h"

bool isFileSystemAppType(long appType) {
    return apptype::in(apptype::family::kFileSystem, appType);
}
