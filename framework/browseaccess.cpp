#include "framework/browseaccess.h"

#include <boost/algorithm/string/predicate.hpp>

#include "platform/errors/evmessagecontainer.h"
#include "platform/errors/evmessageids.h"
#include "platform/security/evalertex.h"
#include "platform/security/evsecuritymgr.h"
#include "platform/tasks/evrestoretask.h"

namespace {

constexpr long kBrowseAccessAlert = 3002;
constexpr long kBrowseAccessCondition = 4;
constexpr int64_t kTokenFlagType = 2;

}  // namespace

std::string browseAccessText(databrowse::BrowseRequest& request) {
    pstring* text = request.getpstringobject(databrowse::BrowseRequest::f::credential);
    return text ? text->str() : std::string();
}

std::vector<CNMessageBase>* requestAdditionalFlags(databrowse::BrowseRequest& request) {
    if (!request.isSet(databrowse::BrowseRequest::f::advOptions)) return nullptr;
    CNMessageBase* advanced = request.getObjectAccessor(databrowse::BrowseRequest::f::advOptions, false);
    if (!advanced || !advanced->isSet(databrowse::Msg63::f::advancedConfig)) return nullptr;
    CNMessageBase* settings = advanced->getObjectAccessor(databrowse::Msg63::f::advancedConfig, false);
    if (!settings || !settings->isSet(databrowse::BrowseAdvancedConfig::f::flagBlock)) return nullptr;
    CNMessageBase* block = settings->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::flagBlock, false);
    return block ? block->getlistobject(databrowse::Msg9::f::additionalFlags, false) : nullptr;
}

bool isTokenFlag(const CNMessageBase& flag) {
    return flag.getint64(databrowse::AdditionalFlag::f::flagType) == kTokenFlagType ||
           boost::algorithm::iequals(flag.getstring(databrowse::AdditionalFlag::f::flagName), "token");
}

void dropCallerToken(databrowse::BrowseRequest& request) {
    request.clearField(databrowse::BrowseRequest::f::token.tag, databrowse::BrowseRequest::f::token.code);
    if (std::vector<CNMessageBase>* flags = requestAdditionalFlags(request))
        std::erase_if(*flags, isTokenFlag);
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
    alert.setappTypeId(apptype::code(task.getAppType()), nullptr);
    alert.setBackupsetId(task.getBackupSetId(), nullptr);
    alert.setWhomId(userId, nullptr);
    alert.fmtMsgString("\n%s\n", explanation ? explanation : "");
    alert.sendAlert(0, 0, 0);
}
