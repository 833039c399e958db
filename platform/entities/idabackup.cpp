#include "platform/entities/idabackup.h"

#include "platform/msg/app_execute_sp.h"
#include "platform/msg/msg_classes.h"

int IdaBackup::getVSMemberServers(unsigned int, std::string& xml) {
    std::string answer;
    int rc =
        App_ExecuteSP().executeStoredProcedure(App::GetVSMemberServersRequest::TAG, xml, answer, nullptr);
    if (rc == 0) xml = std::move(answer);
    return rc;
}
