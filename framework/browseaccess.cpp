#include "framework/browseaccess.h"

#include "platform/errors/evmessagecontainer.h"
#include "platform/security/evalertex.h"
#include "platform/security/evsecuritymgr.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/errors/evmessageids.h"

namespace {

constexpr long kBrowseAccessAlert = 3002;
constexpr long kBrowseAccessCondition = 4;

}  // namespace

std::string browseAccessText(databrowse::BrowseRequest& request) {
    pstring* text = request.getpstringobject(databrowse::BrowseRequest::f::credential);
    return text ? text->str() : std::string();
}

TBrowseDenial browseDenialError(EvSecurityMgr& checker, unsigned long locale) {
    TBrowseDenial denial;
    int code = 0;
    unsigned long messageId = 0;
    std::string text;
    if (checker.getBrowseErrorStringAndGuiMessageId(code, text, messageId)) {
        denial.code = static_cast<databrowse::BrowseErrorCode>(code);
        denial.text = text;
        return denial;
    }
    EvMessageContainer message;
    message.SetMessageID(evmsg::kBrowseAccessDenied, true);
    denial.code = databrowse::BROWSE_ERR_PERMISSION;
    denial.text = getErrorMsgContainer(message, locale);
    return denial;
}

void raiseBrowseAccessAlert(const EvRestoreTask& task, long userId, const char* explanation) {
    EvAlertEx alert;
    alert.setAlert(kBrowseAccessAlert, nullptr);
    alert.setCondition(kBrowseAccessCondition);
    alert.setKelmarchId(task.getKelmarchId(), nullptr);
    alert.setClientId(task.getClientId(), nullptr);
    alert.setInstanceId(task.getInstanceId(), nullptr);
    alert.setappTypeId(task.getAppType(), nullptr);
    alert.setBackupsetId(task.getBackupSetId(), nullptr);
    alert.setWhomId(userId, nullptr);
    alert.fmtMsgString("\n%s\n", explanation ? explanation : "");
    alert.sendAlert(0, 0, 0);
}
