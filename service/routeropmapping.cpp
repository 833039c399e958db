#include "service/routeropmapping.h"

#include "fbDebug/fbdebug.h"
#include "framework/filesystemtypes.h"
#include "platform/tasks/taskoptions.h"
#include "service/directtaskprep.h"
#include "service/routerfields.h"

void mapRoutedOperation(TDirectTask& t) {
    using R = databrowse::BrowseRequest::f;
    if (!routerfields::has(&t.request, R::opType)) return;
    const auto operation = static_cast<uint32_t>(t.request.getint64(R::opType));
    const TOperationRow& row = operationRow(operation);
    if (!row.setsOperation) {
        CBrowseLog("FBHMROUTER")
            .debugLvl(0, "Safety check. Should not be printed. Unsupported Browse operation [%u].",
                      operation);
        return;
    }
    t.browseFlags |= row.flags;
    if (row.recallUnlessFileSystem &&
        !isFileSystemAppType(apptype::of(static_cast<long>(routerfields::intOf(
            routerfields::entity(t.request), ZyEntities::GenericEntity::f::applicationId)))))
        t.browseFlags |= taskoption::kRecall;
    t.task->setBrowseOpType(static_cast<databrowse::BrowseOperation>(operation));
    if (row.clearsEmFunction) t.task->setEmFunction(0);
}
