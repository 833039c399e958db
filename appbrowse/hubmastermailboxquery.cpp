// Hubmaster-database mailbox query: a query of type 3 names a mailbox by its owner's user GUID and is
// answered from the application manager's mailbox information (app id, quota limit, usage) before
// the browse is planned. A member of CWorkerThreadHM run by intake under the worker's lock.
#include "fbDebug/fbdebug.h"
#include "platform/msg/app_execute_sp.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

constexpr int64_t kMailboxParametersKind = 0;

}  // namespace

bool CWorkerThreadHM::processHubmasterQuery(CNMessageBase& query, CBrowseLog* log) {
    using P = databrowse::Msg75::f;
    using M = databrowse::Msg74::f;
    CNMessageBase* parameters = query.getObjectAccessor(databrowse::Query::f::hubmasterParams, false);
    if (!parameters || !parameters->isSet(P::kind)) {
        log->debugLvl(0, "Error reading the Hubmaster parameters in browse query.");
        return false;
    }
    if (parameters->getint64(P::kind) != kMailboxParametersKind) return false;
    CNMessageBase* mailbox = parameters->getObjectAccessor(P::at2_2, false);
    if (!mailbox || !mailbox->isSet(M::userGuid)) {
        log->debugLvl(0, "Error reading the mailbox parameters in browse query.");
        return false;
    }

    App::MailboxInfoQuery request;
    request.setstring(App::MailboxInfoQuery::f::userGuid, mailbox->getstring(M::userGuid));
    if (mailbox->isSet(M::appId))
        request.setint64(App::MailboxInfoQuery::f::appId, mailbox->getint64(M::appId));
    std::string requestXml, answerXml;
    if (request.serialize(requestXml) != 0) {
        log->debugLvl(0, "Failed to serialize 'mailbox information query' request message.");
        return false;
    }
    if (App_ExecuteSP().executeStoredProcedure(App::MailboxInfoQuery::TAG, requestXml, answerXml, nullptr) !=
        0) {
        log->debugLvl(0,
                      "Failed to execute the stored procedure. Mailbox information could not be retrieved.");
        return false;
    }
    App::MailboxUsages answer;
    if (answer.unserialize(answerXml) != 0) {
        App::GenericEntityResponse error;
        if (error.unserialize(answerXml) == 0)
            log->debugLvl(0, "Received error response while fetching mailbox information.");
        else
            log->debugLvl(0, "Failed to unserialize 'mailbox information query' response message.");
        return false;
    }
    using U = App::MailboxUsages::f;
    using E = App::MailboxUsageEntity::f;
    const auto* usages = answer.getlistobject(U::mailboxes, false);
    if (!answer.isSet(U::subclientId) || !answer.isSet(U::quotaLimit) || !usages || usages->size() != 1 ||
        !usages->front().isSet(E::mailboxGuid) || !usages->front().isSet(E::sizeChange)) {
        log->debugLvl(0, "Received invalid 'mailbox information query' response.");
        return false;
    }
    log->debugLvl(0, "Mailbox information was successfully queries from the Hubmaster database.");
    mailbox->setint64(M::appId, answer.getint64(U::subclientId));
    mailbox->setint64(M::quotaLimit, answer.getint64(U::quotaLimit));
    mailbox->setstring(M::userGuid, usages->front().getstring(E::mailboxGuid));
    mailbox->setint64(M::usageValue, usages->front().getint64(E::sizeChange));
    return true;
}
